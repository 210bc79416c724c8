// Helpers for the start-up and configuration tests: a scratch directory, whole-file access
// and a forked child that can run as an unprivileged user. The tests run as root, and root
// ignores file permissions, so every permission case runs in such a child.
#pragma once

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>

#include "support/read_file.h"

namespace app_test {

using testing_support::ReadFile;

// A fresh directory that an unprivileged user can enter, removed with all it holds.
class ScratchDirectory {
 public:
  ScratchDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "pelorin-app-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("mkdtemp failed: " + std::string(std::strerror(errno)));
    }
    path_ = pattern;
    std::filesystem::permissions(path_, std::filesystem::perms(0755));
  }
  ~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  // With the trailing "/", as ProgramDir has it.
  std::string Dir() const { return path_.string() + "/"; }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

  std::set<std::string> Entries() const {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path_)) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }

 private:
  std::filesystem::path path_;
};

inline void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) throw std::runtime_error("cannot write " + path);
}

// What a child reported: its exit code and the text it wrote.
struct ChildReport {
  int exitCode = -1;
  std::string text;
};

enum class ChildUser { Same, Nobody };

constexpr uid_t kNobody = 65534;
constexpr int kChildSetupFailed = 99;

namespace detail {

inline bool DropToNobody(std::string& why) {
  if (::geteuid() != 0) return true;  // already subject to permissions
  if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
      ::setresuid(kNobody, kNobody, kNobody) != 0) {
    why = std::string("cannot drop privileges: ") + std::strerror(errno);
    return false;
  }
  if (::geteuid() == 0) {
    why = "still root after dropping privileges";
    return false;
  }
  return true;
}

inline void WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

[[noreturn]] inline void RunChild(int fd, ChildUser user,
                                  const std::function<std::string()>& body) {
  std::string text;
  int code = 0;
  if (user == ChildUser::Nobody && !DropToNobody(text)) {
    code = kChildSetupFailed;
  } else {
    text = body();
  }
  WriteAll(fd, text);
  ::close(fd);
  ::_exit(code);
}

}  // namespace detail

// Runs `body` in a forked child (as `user`) and returns what it reported. The child must
// not use test assertions: it describes its findings in the text it returns.
inline ChildReport RunInChild(ChildUser user, const std::function<std::string()>& body) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::close(pipeFds[0]);
    detail::RunChild(pipeFds[1], user, body);
  }
  ::close(pipeFds[1]);
  ChildReport report;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0) {
    report.text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  report.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return report;
}

}  // namespace app_test
