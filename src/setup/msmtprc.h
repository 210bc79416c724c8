// The sending settings of msmtp's default account, read from the text of ~/.msmtprc.
#pragma once

#include <string_view>

#include "setup/mail_setup.h"

namespace pelorin {

// The account named "default" ("account default : name" makes one from another account),
// else the first account: its from, host, port, user, and its security from tls and
// tls_starttls. Settings after "defaults" hold for every account that follows; an account
// inherits the accounts named after its ":". An account without a port uses msmtp's own:
// 465 for TLS without STARTTLS, else none is given.
MailSetup ReadMsmtprc(std::string_view text);

}  // namespace pelorin
