// Dialling a peer with pon and hanging it up with poff. Both block until the link is up or
// down, within their time limits; the results are RAS error codes (0 for success).
#pragma once

#include <cstdint>
#include <string>

#include "os/ras.h"

namespace pelorin {

// Starts the link of `entry` unless it is up already and waits until its interface is up.
// On a time-out the handle is stored as well, so that the caller can hang the attempt up.
std::uint32_t DialPeer(const std::string& entry, os::HRASCONN* handle);

// Stops the link the handle names and waits, briefly, for its pppd to end.
std::uint32_t HangUpLink(os::HRASCONN handle);

}  // namespace pelorin
