// What a look-up from an e-mail address found for sending mail: the server, its port, how the
// connection is secured and how the user signs in, and where it was found.
#pragma once

#include <string>
#include <string_view>

#include "transport/smtp_session.h"

namespace pelorin::setup {

enum class SignInMethod { Password, OAuth2 };

// The sources in the order they are asked.
enum class FoundBy { ProviderTable, ServiceRecord, AutoconfigFile, MailExchanger };

struct FoundServer {
  std::string host;
  int port = 0;
  SmtpSecurity security = SmtpSecurity::StartTls;
  SignInMethod signIn = SignInMethod::Password;
  FoundBy source = FoundBy::ProviderTable;
  bool operator==(const FoundServer&) const = default;
};

// "password", "OAuth2".
std::string_view SignInMethodName(SignInMethod method);
// Where it was found, as a sentence goes on after "found in": "the built-in list of providers".
std::string_view FoundByName(FoundBy source);

// A host name the look-up may hand on: letters, digits, hyphens and dots, labels of 1 to 63
// characters, at most 253 in all, no trailing dot.
bool IsPlainHostName(std::string_view host);

}  // namespace pelorin::setup
