// The key HKEY_LOCAL_MACHINE "\Software\Microsoft\RAS", which the dial-up unit opens for full
// access to learn whether dial-up networking may be used. On Linux it stands for pppd: the key
// opens when pppd, pon and poff are installed, the pppd peers directory exists and the user
// may dial (root, or a member of the group "dip", as Debian's ppp package expects). It holds
// no values.
#pragma once

#include <string>

namespace pelorin {

inline constexpr const char* kDialupKeyPath = "\\Software\\Microsoft\\RAS";

// The directory of the pppd peers, the phone-book entries: $PELORIN_PPP_PEERS_DIR when set and
// not empty, else /etc/ppp/peers.
std::string PppPeersDirectory();

// Why dial-up cannot be used by this user, or empty when it can.
std::string DialupUnusableReason();

// Serves the key from the checks above from now on; read afresh at every open.
void RegisterDialupKey();

}  // namespace pelorin
