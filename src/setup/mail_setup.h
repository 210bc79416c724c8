// What another mail program's settings say about sending mail: the user's address and the
// SMTP server with its port, connection security and user name. Never a password.
#pragma once

#include <string>

namespace pelorin {

struct MailSetup {
  std::string address;
  std::string server;
  std::string port;      // decimal text; empty when the source names none
  std::string security;  // "none", "starttls" or "tls"; empty without a server
  std::string user;
  // The sign-in proposed for the server, as the settings keep it ("oauth2-google"); empty
  // for a password or none.
  std::string signIn = {};
  bool operator==(const MailSetup&) const = default;

  // A source counts once it gives an address or a server.
  bool Found() const { return !address.empty() || !server.empty(); }
};

}  // namespace pelorin
