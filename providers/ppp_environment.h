// Where the pppd provider finds what it works with. Each place has the system's default and an
// environment variable that overrides it (tests point them at directories of their own).
#pragma once

#include <chrono>
#include <string>

namespace pelorin {

// The peers, one file per phone-book entry: $PELORIN_PPP_PEERS_DIR or /etc/ppp/peers.
std::string PeersDirectory();
// Where pppd writes its pid files: $PELORIN_PPP_RUN_DIR or /var/run.
std::string PppRunDirectory();
// The network interfaces with their flags: $PELORIN_SYS_NET_DIR or /sys/class/net.
std::string NetworkInterfaceDirectory();
// The process name of pppd: $PELORIN_PPPD_NAME or "pppd".
std::string PppdProcessName();
// How long a dial waits for the link: $PELORIN_PPP_DIAL_TIMEOUT_MS or 60 seconds.
std::chrono::milliseconds DialTimeout();

}  // namespace pelorin
