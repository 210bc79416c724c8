// The running pppd links: each pppd process, the peer it was called for and whether its network
// interface is up.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace pelorin {

struct PppLink {
  pid_t pid = 0;
  // The peer of "pppd call ENTRY"; empty for a pppd started another way.
  std::string entry;
  // The ppp interface from pppd's pid files; empty while pppd has none yet.
  std::string interfaceName;
  bool up = false;
};

// Every running pppd, dialling or connected, in process order.
std::vector<PppLink> RunningPppLinks();

// The pppd called for `entry`, if one runs.
std::optional<PppLink> PppLinkOf(const std::string& entry);

// Whether the process still exists.
bool ProcessRuns(pid_t pid);

}  // namespace pelorin
