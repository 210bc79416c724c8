#include "connection_handles.h"

#include <mutex>
#include <vector>

namespace pelorin {
namespace {

std::mutex g_mutex;
std::vector<HandleTarget> g_targets;  // handle i + 1 names target i

template <typename Matches>
os::HRASCONN HandleFor(const HandleTarget& target, Matches matches) {
  std::lock_guard lock(g_mutex);
  for (std::size_t i = 0; i < g_targets.size(); ++i) {
    if (matches(g_targets[i])) return static_cast<os::HRASCONN>(i + 1);
  }
  g_targets.push_back(target);
  return static_cast<os::HRASCONN>(g_targets.size());
}

}  // namespace

os::HRASCONN HandleForEntry(const std::string& entry) {
  return HandleFor({entry, 0}, [&](const HandleTarget& known) { return known.entry == entry; });
}

os::HRASCONN HandleForProcess(pid_t pid) {
  return HandleFor({"", pid}, [&](const HandleTarget& known) {
    return known.entry.empty() && known.pid == pid;
  });
}

std::optional<HandleTarget> TargetOf(os::HRASCONN handle) {
  std::lock_guard lock(g_mutex);
  if (handle == 0 || handle > g_targets.size()) return std::nullopt;
  return g_targets[handle - 1];
}

}  // namespace pelorin
