// Reads a domain's autoconfig file (the clientConfig format that mail programs publish at
// autoconfig.DOMAIN/mail/config-v1.1.xml): the first outgoing SMTP server it lists that is
// secured (SSL or STARTTLS), with a port and a plain host name once "%EMAILDOMAIN%" is put in.
// The sign-in method is the first of OAuth2 and the password kinds that the server lists, the
// password when it lists neither. A pure function over the file's bytes; anything not well
// formed gives none.
#pragma once

#include <optional>
#include <string_view>

#include "setup/found_server.h"

namespace pelorin::setup {

std::optional<FoundServer> ParseAutoconfig(std::string_view bytes, std::string_view domain);

}  // namespace pelorin::setup
