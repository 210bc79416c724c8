// The sending settings of Thunderbird's default identity, read from the text of a profile's
// prefs.js.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "setup/mail_setup.h"

namespace pelorin {

// Every pref(...), user_pref(...) and sticky_pref(...) of a prefs.js text, by name; strings
// unescaped, numbers and booleans as written. A later setting of a name wins; a statement
// that cannot be read is skipped up to the next ";".
std::map<std::string, std::string> ParsePrefsJs(std::string_view text);

// The default account's first identity: its address, and its SMTP server (the identity's
// own, else the default one) with host name, port, security and user name.
MailSetup ReadThunderbirdPrefs(std::string_view prefsJs);

}  // namespace pelorin
