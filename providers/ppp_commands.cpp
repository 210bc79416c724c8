#include "ppp_commands.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <thread>
#include <vector>

extern char** environ;

namespace pelorin {
namespace {

constexpr std::chrono::milliseconds kPollInterval{20};

class SpawnStreams {
 public:
  SpawnStreams() {
    ::posix_spawn_file_actions_init(&actions_);
    for (int stream = 0; stream <= 2; ++stream) {
      ::posix_spawn_file_actions_addopen(&actions_, stream, "/dev/null",
                                         stream == 0 ? O_RDONLY : O_WRONLY, 0);
    }
  }
  ~SpawnStreams() { ::posix_spawn_file_actions_destroy(&actions_); }
  SpawnStreams(const SpawnStreams&) = delete;
  SpawnStreams& operator=(const SpawnStreams&) = delete;
  const posix_spawn_file_actions_t* Actions() const { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

}  // namespace

std::optional<RunningCommand> RunningCommand::Start(const std::string& command,
                                                    const std::string& argument) {
  const SpawnStreams streams;
  std::vector<char*> argv = {const_cast<char*>(command.c_str()),
                             const_cast<char*>(argument.c_str()), nullptr};
  pid_t pid = 0;
  if (::posix_spawnp(&pid, command.c_str(), streams.Actions(), nullptr, argv.data(), environ) !=
      0) {
    return std::nullopt;
  }
  return RunningCommand(pid);
}

std::optional<int> RunningCommand::Ended() {
  if (exitCode_) return exitCode_;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) != pid_) return std::nullopt;
  exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return exitCode_;
}

std::optional<int> RunningCommand::WaitForEnd(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!Ended() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(kPollInterval);
  }
  return Ended();
}

void RunningCommand::Stop(std::chrono::milliseconds limit) {
  if (Ended()) return;
  ::kill(pid_, SIGTERM);
  if (WaitForEnd(limit)) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  exitCode_ = -1;
}

}  // namespace pelorin
