// The connection handles the provider gives out: one per peer (or per pppd without a peer),
// kept for the life of the process so that a handle always names the same link.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "os/ras.h"

namespace pelorin {

struct HandleTarget {
  std::string entry;  // the peer, when known
  pid_t pid = 0;      // the pppd, for a link without a known peer
};

os::HRASCONN HandleForEntry(const std::string& entry);
os::HRASCONN HandleForProcess(pid_t pid);
std::optional<HandleTarget> TargetOf(os::HRASCONN handle);

}  // namespace pelorin
