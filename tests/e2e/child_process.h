// Programs that an end-to-end test starts: long-running ones (the X server, the tray, the
// program under test), ended by their id when the test is done or when the test process dies
// first, and short tool runs (xdotool, xwininfo, ...) whose output is read back. Every wait is
// bounded.
//
// Children are started from the calling thread; the kernel ends them (SIGTERM) when that thread
// ends, so start them from the test's main thread.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace e2e {

// How a child ended: its exit code, or the signal that ended it.
struct ExitStatus {
  int code = -1;   // exit code when it exited, -1 otherwise
  int signal = 0;  // the signal that ended it, 0 when it exited
  std::string Describe() const;
};

// Variables to set ("NAME" -> value) or, with no value, to remove from the environment a
// child inherits.
class Environment {
 public:
  Environment& Set(const std::string& name, const std::string& value);
  Environment& Unset(const std::string& name);
  // Later changes win.
  Environment& Merge(const Environment& other);
  // The inherited environment with these changes, as "NAME=value" entries.
  std::vector<std::string> Applied() const;
  // Makes the changes in this process's own environment.
  void ApplyToThisProcess() const;

 private:
  std::map<std::string, std::optional<std::string>> changes_;
};

// The full path of an executable found on PATH, or empty.
std::string FindExecutable(const std::string& name);

// The message for a tool that is not installed.
std::string MissingToolMessage(const std::string& name);

// The tools of `tools` that are not on PATH, joined by ", "; empty when all are there.
template <std::size_t N>
std::string MissingTools(const char* const (&tools)[N]) {
  std::string missing;
  for (const char* tool : tools) {
    if (FindExecutable(tool).empty()) missing += std::string(missing.empty() ? "" : ", ") + tool;
  }
  return missing;
}

// One line a starting helper writes to `fd` (without its newline), read a byte at a time so
// that nothing after it is taken; what came when `timeoutMs` passed without a byte.
std::string ReadLineFrom(int fd, int timeoutMs);

// Polls `done` every 50 ms until it holds; false when `timeoutMs` ran out first.
bool WaitUntil(const std::function<bool()>& done, int timeoutMs);

// The last 2000 bytes of a log file, for a failure message.
std::string LogTail(const std::string& path);

struct ChildOptions {
  Environment environment;
  std::string workingDirectory;  // empty: the test's own
  std::string logFile;           // standard output and error go here; empty: discarded
  int inheritedFd = -1;          // one descriptor the child keeps open (for -displayfd)
};

class ChildProcess {
 public:
  // path is the executable's full path; on failure Started() is false and Error() says why.
  ChildProcess(const std::string& path, const std::vector<std::string>& arguments,
               const ChildOptions& options = {});
  ~ChildProcess();  // Terminate()
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Started() const { return pid_ > 0; }
  const std::string& Error() const { return error_; }
  pid_t Pid() const { return pid_; }

  // The child's end, waiting at most timeoutMs; empty while it still runs. Once known, the
  // status is kept and returned again.
  std::optional<ExitStatus> WaitForExit(int timeoutMs);
  bool Running() { return !WaitForExit(0).has_value(); }

  // SIGTERM, and SIGKILL when it has not ended a few seconds later.
  void Terminate();

 private:
  pid_t pid_ = -1;
  std::optional<ExitStatus> status_;
  std::string error_;
};

// A tool run to its end: its exit status and what it printed.
struct ToolResult {
  std::string command;  // for messages
  std::string failure;  // why it did not run or finish: not installed, timed out, ...
  ExitStatus status;
  std::string output;
  std::string errorOutput;

  bool Ok() const { return failure.empty() && status.code == 0; }
  std::string Describe() const;
};

constexpr int kToolTimeoutMs = 15000;

// Runs a tool found on PATH (commandLine[0]) with the test's environment and the given changes,
// and kills it when it has not finished within timeoutMs.
ToolResult RunTool(const std::vector<std::string>& commandLine, int timeoutMs = kToolTimeoutMs,
                   const Environment& environment = {});

}  // namespace e2e
