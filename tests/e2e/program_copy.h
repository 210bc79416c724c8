// The built program run as a user would have it: a copy of it and of the files it finds beside
// itself, in a temporary program directory of the test's own, so that its configuration file
// (kept in the directory of the program file) is the test's and no other test's.
//
// The program runs on the test's desktop (DesktopSession::ProgramEnvironment) with a temporary
// home directory, registry hives in the temporary directory and a working directory that is not
// the program directory, so that nothing of the user's is read or written and a file found only
// through the working directory shows up as missing. What it prints goes to a log (Log()).
// The program is ended, and the directory removed, when the copy is destroyed.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "e2e/child_process.h"

namespace e2e {

class DesktopSession;

constexpr const char* kProgramFileName = "pelorin32";
constexpr const char* kConfigurationFileName = "tessaly32.cfg";
constexpr const char* kIconFileName = "skelmar32.ico";
constexpr const char* kShortcutFileName = "skelmar32.url";
constexpr const char* kDialUpProviderFileName = "librasapi32.so";
constexpr int kExitTimeoutMs = 20000;

class ProgramCopy {
 public:
  // Copies the program, its icon and its internet shortcut from the build's program directory.
  // The dial-up provider is left out: a test that dials copies it (kDialUpProviderFileName)
  // into PathOf() itself.
  explicit ProgramCopy(const DesktopSession& session);
  ~ProgramCopy();
  ProgramCopy(const ProgramCopy&) = delete;
  ProgramCopy& operator=(const ProgramCopy&) = delete;

  // Empty when the copy is in place; otherwise why it is not.
  const std::string& Error() const { return error_; }
  // The program directory, without a trailing slash.
  const std::string& Directory() const { return programDirectory_; }
  // The temporary home directory the program runs with.
  const std::string& HomeDirectory() const { return homeDirectory_; }
  std::string PathOf(const std::string& fileName) const;

  // Files in the program directory (the configuration file, the icon, ...).
  bool WriteFile(const std::string& fileName, const std::string& content);
  std::optional<std::string> ReadFile(const std::string& fileName) const;
  bool RemoveFile(const std::string& fileName);

  // Starts the copied program with these arguments; changes go on top of the environment
  // described above. Fails (and the test with it) while an earlier start still runs.
  bool Start(const std::vector<std::string>& arguments, const Environment& changes = {});
  pid_t Pid() const;
  // Its end, waiting at most timeoutMs; empty while it runs.
  std::optional<ExitStatus> WaitForExit(int timeoutMs = kExitTimeoutMs);
  bool Running();
  // What the program printed so far.
  std::string Log() const;

 private:
  bool CopyBuiltFiles();
  void KeepLog() const;
  Environment DefaultEnvironment() const;

  const DesktopSession& session_;
  std::string root_;
  std::string programDirectory_;
  std::string homeDirectory_;
  std::string workingDirectory_;
  std::unique_ptr<ChildProcess> program_;
  std::string error_;
};

}  // namespace e2e
