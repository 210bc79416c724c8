#include "e2e/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "support/read_file.h"

extern char** environ;

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kTerminateGraceMs = 5000;

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

std::string Joined(const std::vector<std::string>& words) {
  std::string text;
  for (const auto& word : words) text += (text.empty() ? "" : " ") + word;
  return text;
}

// Everything the child needs, prepared before the fork: after it, the child may only call
// functions that are safe in a copy of a threaded process.
struct Launch {
  std::string path;
  std::vector<std::string> argumentTexts;
  std::vector<std::string> environmentTexts;
  std::vector<char*> argv;
  std::vector<char*> envp;
  std::string workingDirectory;
  int input = -1;
  int output = -1;
  int errorOutput = -1;
  int inheritedFd = -1;

  Launch(const std::string& executable, const std::vector<std::string>& arguments,
         const Environment& environment)
      : path(executable), environmentTexts(environment.Applied()) {
    argumentTexts.push_back(executable);
    argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
    for (auto& text : argumentTexts) argv.push_back(text.data());
    argv.push_back(nullptr);
    for (auto& text : environmentTexts) envp.push_back(text.data());
    envp.push_back(nullptr);
  }
};

[[noreturn]] void RunChild(const Launch& launch, pid_t parent, int reportFd) {
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) _exit(127);  // the parent is already gone
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGPIPE, SIG_DFL);
  dup2(launch.input, 0);
  dup2(launch.output, 1);
  dup2(launch.errorOutput, 2);
  if (launch.inheritedFd >= 0) {
    fcntl(launch.inheritedFd, F_SETFD, fcntl(launch.inheritedFd, F_GETFD) & ~FD_CLOEXEC);
  }
  if (!launch.workingDirectory.empty() && chdir(launch.workingDirectory.c_str()) != 0) {
    const int error = errno;
    (void)!write(reportFd, &error, sizeof error);
    _exit(127);
  }
  execve(launch.path.c_str(), launch.argv.data(), launch.envp.data());
  const int error = errno;
  (void)!write(reportFd, &error, sizeof error);
  _exit(127);
}

// Forks and executes; the child's failure to execute comes back through a pipe that closes
// when the exec succeeds.
pid_t Spawn(const Launch& launch, std::string* error) {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    *error = std::string("no pipe: ") + std::strerror(errno);
    return -1;
  }
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) RunChild(launch, parent, report[1]);
  close(report[1]);
  int childError = 0;
  ssize_t got = 0;
  do {
    got = read(report[0], &childError, sizeof childError);
  } while (got < 0 && errno == EINTR);
  close(report[0]);
  if (pid < 0) {
    *error = std::string("fork failed: ") + std::strerror(errno);
    return -1;
  }
  if (got == static_cast<ssize_t>(sizeof childError)) {
    waitpid(pid, nullptr, 0);
    *error = "cannot run " + launch.path + ": " + std::strerror(childError);
    return -1;
  }
  return pid;
}

ExitStatus StatusOf(int waitStatus) {
  ExitStatus status;
  if (WIFEXITED(waitStatus)) status.code = WEXITSTATUS(waitStatus);
  if (WIFSIGNALED(waitStatus)) status.signal = WTERMSIG(waitStatus);
  return status;
}

std::optional<ExitStatus> WaitForPid(pid_t pid, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int waitStatus = 0;
    const pid_t done = waitpid(pid, &waitStatus, WNOHANG);
    if (done == pid) return StatusOf(waitStatus);
    if (done < 0 && errno != EINTR) return ExitStatus{};  // reaped elsewhere: unknown end
    if (MillisecondsLeft(deadline) == 0) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void Drain(int fd, std::string* into, bool* open) {
  char buffer[4096];
  const ssize_t got = read(fd, buffer, sizeof buffer);
  if (got > 0) {
    into->append(buffer, static_cast<std::size_t>(got));
  } else if (got == 0 || errno != EINTR) {
    *open = false;
  }
}

// Reads both pipes until the tool closes them or the deadline passes.
bool ReadUntilClosed(int outFd, int errFd, Clock::time_point deadline, ToolResult* result) {
  bool outOpen = true;
  bool errOpen = true;
  while (outOpen || errOpen) {
    const int left = MillisecondsLeft(deadline);
    if (left == 0) return false;
    pollfd fds[2] = {{outOpen ? outFd : -1, POLLIN, 0}, {errOpen ? errFd : -1, POLLIN, 0}};
    if (poll(fds, 2, left) < 0 && errno != EINTR) return false;
    if (fds[0].revents != 0) Drain(outFd, &result->output, &outOpen);
    if (fds[1].revents != 0) Drain(errFd, &result->errorOutput, &errOpen);
  }
  return true;
}

int OpenOrNull(const std::string& path, int flags) {
  return open(path.empty() ? "/dev/null" : path.c_str(), flags | O_CLOEXEC, 0644);
}

}  // namespace

std::string ExitStatus::Describe() const {
  if (signal != 0) return "ended by signal " + std::to_string(signal);
  if (code < 0) return "ended in an unknown way";
  return "exit code " + std::to_string(code);
}

Environment& Environment::Set(const std::string& name, const std::string& value) {
  changes_[name] = value;
  return *this;
}

Environment& Environment::Unset(const std::string& name) {
  changes_[name] = std::nullopt;
  return *this;
}

Environment& Environment::Merge(const Environment& other) {
  for (const auto& [name, value] : other.changes_) changes_[name] = value;
  return *this;
}

std::vector<std::string> Environment::Applied() const {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text(*entry);
    if (changes_.count(text.substr(0, text.find('='))) == 0) entries.push_back(text);
  }
  for (const auto& [name, value] : changes_) {
    if (value) entries.push_back(name + "=" + *value);
  }
  return entries;
}

void Environment::ApplyToThisProcess() const {
  for (const auto& [name, value] : changes_) {
    if (value) {
      setenv(name.c_str(), value->c_str(), 1);
    } else {
      unsetenv(name.c_str());
    }
  }
}

std::string FindExecutable(const std::string& name) {
  if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0 ? name : "";
  const char* path = getenv("PATH");
  std::string directories = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= directories.size()) {
    const std::size_t end = std::min(directories.find(':', start), directories.size());
    const std::string candidate = directories.substr(start, end - start) + "/" + name;
    struct stat info {};
    if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    start = end + 1;
  }
  return "";
}

std::string MissingToolMessage(const std::string& name) {
  return "the tool '" + name +
         "' is not installed (not found on PATH); scripts/install-deps.sh --test installs it";
}

ChildProcess::ChildProcess(const std::string& path, const std::vector<std::string>& arguments,
                           const ChildOptions& options) {
  Launch launch(path, arguments, options.environment);
  launch.workingDirectory = options.workingDirectory;
  launch.inheritedFd = options.inheritedFd;
  launch.input = OpenOrNull("", O_RDONLY);
  launch.output = OpenOrNull(options.logFile, O_WRONLY | O_CREAT | O_APPEND);
  launch.errorOutput = launch.output;
  if (launch.input < 0 || launch.output < 0) {
    error_ = "cannot open " + (options.logFile.empty() ? "/dev/null" : options.logFile);
  } else {
    pid_ = Spawn(launch, &error_);
  }
  if (launch.input >= 0) close(launch.input);
  if (launch.output >= 0) close(launch.output);
}

ChildProcess::~ChildProcess() {
  Terminate();
}

std::optional<ExitStatus> ChildProcess::WaitForExit(int timeoutMs) {
  if (!status_ && pid_ > 0) status_ = WaitForPid(pid_, timeoutMs);
  return status_;
}

void ChildProcess::Terminate() {
  if (pid_ <= 0 || status_) return;
  kill(pid_, SIGTERM);
  if (WaitForExit(kTerminateGraceMs)) return;
  kill(pid_, SIGKILL);
  WaitForExit(kTerminateGraceMs);
}

std::string ToolResult::Describe() const {
  std::string text = command + ": ";
  if (!failure.empty()) return text + failure;
  text += status.Describe();
  if (!errorOutput.empty()) text += "; it said: " + errorOutput;
  return text;
}

ToolResult RunTool(const std::vector<std::string>& commandLine, int timeoutMs,
                   const Environment& environment) {
  ToolResult result;
  result.command = Joined(commandLine);
  const std::string path = commandLine.empty() ? "" : FindExecutable(commandLine[0]);
  if (path.empty()) {
    result.failure = MissingToolMessage(commandLine.empty() ? "" : commandLine[0]);
    return result;
  }
  int out[2];
  int err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    result.failure = std::string("no pipe: ") + std::strerror(errno);
    return result;
  }
  Launch launch(path, {commandLine.begin() + 1, commandLine.end()}, environment);
  launch.input = OpenOrNull("", O_RDONLY);
  launch.output = out[1];
  launch.errorOutput = err[1];
  const pid_t pid = Spawn(launch, &result.failure);
  for (const int fd : {launch.input, out[1], err[1]}) close(fd);
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  const bool closed = pid > 0 && ReadUntilClosed(out[0], err[0], deadline, &result);
  close(out[0]);
  close(err[0]);
  if (pid <= 0) return result;
  std::optional<ExitStatus> status =
      closed ? WaitForPid(pid, MillisecondsLeft(deadline)) : std::nullopt;
  if (!status) {
    kill(pid, SIGKILL);
    WaitForPid(pid, kTerminateGraceMs);
    result.failure = "did not finish within " + std::to_string(timeoutMs) + " ms";
    return result;
  }
  result.status = *status;
  return result;
}

std::string ReadLineFrom(int fd, int timeoutMs) {
  std::string line;
  pollfd waitFor{fd, POLLIN, 0};
  char c = 0;
  while (poll(&waitFor, 1, timeoutMs) == 1 && read(fd, &c, 1) == 1 && c != '\n') line += c;
  return line;
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

std::string LogTail(const std::string& path) {
  const std::string all = testing_support::ReadFileIfThere(path).value_or("");
  return all.size() > 2000 ? all.substr(all.size() - 2000) : all;
}

}  // namespace e2e
