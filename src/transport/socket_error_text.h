// The descriptions of Winsock's error codes that the socket component reports.
#pragma once

#include <string>

namespace pelorin {

// The description of a Winsock error code, or "Not a WinSock error" for any other value.
std::string SocketErrorText(int error);

}  // namespace pelorin
