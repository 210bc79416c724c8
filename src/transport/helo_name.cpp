#include "transport/helo_name.h"

#include <arpa/inet.h>
#include <sys/socket.h>

namespace pelorin {
namespace {

bool IsFullyQualified(std::string_view name) {
  const std::size_t dot = name.find('.');
  return dot != std::string_view::npos && dot != 0 && name.back() != '.';
}

}  // namespace

std::string HeloName(std::string_view hostName, std::string_view localAddressLiteral) {
  if (IsFullyQualified(hostName) || localAddressLiteral.empty()) return std::string(hostName);
  return std::string(localAddressLiteral);
}

std::string AddressLiteral(std::span<const unsigned char> address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.size() == 4 && ::inet_ntop(AF_INET, address.data(), text, sizeof text)) {
    return "[" + std::string(text) + "]";
  }
  if (address.size() == 16 && ::inet_ntop(AF_INET6, address.data(), text, sizeof text)) {
    return "[IPv6:" + std::string(text) + "]";
  }
  return {};
}

}  // namespace pelorin
