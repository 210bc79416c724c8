// The biggest mail providers' submission servers, kept as data: which address domains belong
// to each, which mail exchangers mark a custom domain hosted there, and the server, port,
// security and sign-in method its users need.
#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "setup/found_server.h"

namespace pelorin::setup {

struct ProviderRow {
  std::string_view provider;
  std::string_view domains;     // blank-separated, lower case; a subdomain of one belongs too
  std::string_view exchangers;  // blank-separated host suffixes of its mail exchangers
  std::string_view host;
  int port;
  SmtpSecurity security;
  SignInMethod signIn;
};

std::span<const ProviderRow> ProviderTable();

// The row whose domains hold `domain` (any letter case), or none.
const ProviderRow* ProviderForDomain(std::string_view domain);
// The row one of whose exchanger suffixes ends `exchanger` at a label boundary, or none.
const ProviderRow* ProviderForExchanger(std::string_view exchanger);
// The row whose submission server is `host`, for the sign-in method a DNS answer lacks.
const ProviderRow* ProviderForHost(std::string_view host);

FoundServer FoundIn(const ProviderRow& row, FoundBy source);

// Calls `visit` with each word of a blank-separated list.
template <typename Visit>
void ForEachWord(std::string_view words, Visit visit) {
  while (!words.empty()) {
    const std::size_t blank = words.find(' ');
    if (blank != 0) visit(words.substr(0, blank));
    if (blank == std::string_view::npos) break;
    words.remove_prefix(blank + 1);
  }
}

}  // namespace pelorin::setup
