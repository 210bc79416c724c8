// The commands of the ppp package that start and stop a link: "pon ENTRY" and "poff ENTRY",
// found on PATH.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>

namespace pelorin {

// A command started in the background, its standard streams on /dev/null.
class RunningCommand {
 public:
  // Nothing when the command cannot be found or started.
  static std::optional<RunningCommand> Start(const std::string& command,
                                             const std::string& argument);
  // The exit code once the command has ended, -1 when a signal ended it; nothing while it runs.
  std::optional<int> Ended();
  // Waits for the end, at most `limit`.
  std::optional<int> WaitForEnd(std::chrono::milliseconds limit);
  // Ends the command if it still runs: asked to, then, after `limit`, forced.
  void Stop(std::chrono::milliseconds limit);

 private:
  explicit RunningCommand(pid_t pid) : pid_(pid) {}
  pid_t pid_;
  std::optional<int> exitCode_;
};

}  // namespace pelorin
