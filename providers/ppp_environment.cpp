#include "ppp_environment.h"

#include <cstdlib>

namespace pelorin {
namespace {

std::string Setting(const char* variable, const char* fallback) {
  const char* value = std::getenv(variable);
  return value != nullptr && *value != '\0' ? value : fallback;
}

constexpr std::chrono::milliseconds kDefaultDialTimeout{60000};

}  // namespace

std::string PeersDirectory() {
  return Setting("PELORIN_PPP_PEERS_DIR", "/etc/ppp/peers");
}

std::string PppRunDirectory() {
  return Setting("PELORIN_PPP_RUN_DIR", "/var/run");
}

std::string NetworkInterfaceDirectory() {
  return Setting("PELORIN_SYS_NET_DIR", "/sys/class/net");
}

std::string PppdProcessName() {
  return Setting("PELORIN_PPPD_NAME", "pppd");
}

std::chrono::milliseconds DialTimeout() {
  const std::string text = Setting("PELORIN_PPP_DIAL_TIMEOUT_MS", "");
  char* end = nullptr;
  const long long ms = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || ms <= 0) return kDefaultDialTimeout;
  return std::chrono::milliseconds(ms);
}

}  // namespace pelorin
