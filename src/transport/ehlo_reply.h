// What a server's reply to EHLO announces: its extensions (RFC 5321), of which the program
// uses STARTTLS, AUTH with its methods, 8BITMIME and PIPELINING. A pure function over the
// reply's bytes, so that tests and the fuzzer feed it text.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace pelorin {

struct EhloExtensions {
  std::set<std::string> keywords;        // upper case, e.g. "STARTTLS", "8BITMIME"
  std::vector<std::string> authMethods;  // upper case, in the server's order
  std::uint64_t sizeLimit = 0;           // "SIZE n" (RFC 1870): the largest message; 0 for none
  bool Has(std::string_view keyword) const { return keywords.count(std::string(keyword)) != 0; }
  bool operator==(const EhloExtensions&) const = default;
};

// Reads the lines after the first (the greeting line names the server, not an extension).
// "AUTH=LOGIN" lines, which old servers send, count as AUTH too.
EhloExtensions ParseEhloReply(std::string_view reply);

// The method to sign in with: PLAIN, else LOGIN; empty when the server offers neither.
std::string ChooseAuthMethod(const EhloExtensions& extensions);
// The method to sign in with an OAuth2 token: OAUTHBEARER, else XOAUTH2; empty for neither.
std::string ChooseTokenAuthMethod(const EhloExtensions& extensions);

}  // namespace pelorin
