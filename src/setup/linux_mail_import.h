// The user's address and SMTP server as the mail programs of a Linux desktop already know
// them: Thunderbird's default profile, Evolution's accounts, msmtp, and git for the address.
#pragma once

#include <string>

#include "setup/mail_setup.h"

namespace pelorin {

struct MailSetupPlaces {
  std::string home;           // $HOME
  std::string xdgConfigHome;  // $XDG_CONFIG_HOME; ~/.config when empty or not absolute

  static MailSetupPlaces FromEnvironment();
};

// Looks at ~/.thunderbird (profiles.ini, then the default profile's prefs.js), the Evolution
// sources in the configuration directory, ~/.msmtprc, then ~/.gitconfig and the
// configuration directory's git/config (address only), and gives the first that names an
// address or a server. Files that are missing, unreadable or unparsable are passed over;
// values that are not one line of UTF-8 (or a port that is not a number) count as not given.
MailSetup FindLinuxMailSetup(const MailSetupPlaces& places);

}  // namespace pelorin
