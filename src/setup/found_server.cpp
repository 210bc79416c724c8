#include "setup/found_server.h"

#include <array>

namespace pelorin::setup {
namespace {

// In the order of the enums.
constexpr std::array<std::string_view, 2> kSignInNames = {"password", "OAuth2"};
constexpr std::array<std::string_view, 4> kSourceNames = {
    "the built-in list of providers", "the domain's DNS service records",
    "the domain's autoconfig file", "the domain's mail exchanger"};

bool IsHostCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

bool IsLabel(std::string_view label) {
  if (label.empty() || label.size() > 63) return false;
  for (char c : label) {
    if (!IsHostCharacter(c)) return false;
  }
  return label.front() != '-' && label.back() != '-';
}

}  // namespace

std::string_view SignInMethodName(SignInMethod method) {
  return kSignInNames.at(static_cast<std::size_t>(method));
}

std::string_view FoundByName(FoundBy source) {
  return kSourceNames.at(static_cast<std::size_t>(source));
}

bool IsPlainHostName(std::string_view host) {
  if (host.empty() || host.size() > 253) return false;
  std::size_t start = 0;
  while (true) {
    const std::size_t dot = host.find('.', start);
    if (!IsLabel(host.substr(start, dot - start))) return false;
    if (dot == std::string_view::npos) return true;
    start = dot + 1;
  }
}

}  // namespace pelorin::setup
