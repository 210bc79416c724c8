#include "e2e/program_copy.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "e2e/desktop_session.h"
#include "e2e/desktop_windows.h"
#include "support/read_file.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

// What the build puts beside the program, as it is installed, but the dial-up provider.
const char* const kFilesBesideProgram[] = {kIconFileName, kShortcutFileName};

}  // namespace

ProgramCopy::ProgramCopy(const DesktopSession& session) : session_(session) {
  char pattern[] = "/tmp/pelorin-program-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    error_ = "cannot create a temporary directory in /tmp";
    return;
  }
  root_ = pattern;
  programDirectory_ = root_ + "/program";
  homeDirectory_ = root_ + "/home";
  workingDirectory_ = root_ + "/work";
  std::error_code failed;
  for (const auto& directory : {programDirectory_, homeDirectory_, workingDirectory_}) {
    fs::create_directory(directory, failed);
    if (failed) {
      error_ = "cannot create " + directory + ": " + failed.message();
      return;
    }
  }
  CopyBuiltFiles();
}

ProgramCopy::~ProgramCopy() {
  program_.reset();
  if (::testing::Test::HasFailure()) KeepLog();
  if (!root_.empty()) {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
}

bool ProgramCopy::CopyBuiltFiles() {
  const fs::path built = PELORIN_E2E_PROGRAM_DIR;
  std::vector<std::string> names = {kProgramFileName};
  names.insert(names.end(), std::begin(kFilesBesideProgram), std::end(kFilesBesideProgram));
  for (const std::string& name : names) {
    std::error_code failed;
    fs::copy_file(built / name, PathOf(name), failed);
    if (failed) {
      error_ = "cannot copy " + (built / name).string() +
               " (is the program built?): " + failed.message();
      return false;
    }
  }
  return true;
}

// A failed test's program log stays among the artifacts, named after the test.
void ProgramCopy::KeepLog() const {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  if (test == nullptr || root_.empty()) return;
  std::string name = std::string(test->test_suite_name()) + "." + test->name();
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  std::error_code ignored;
  fs::copy_file(root_ + "/program.log", ArtifactsDirectory() + "/" + name + ".program.log",
                fs::copy_options::overwrite_existing, ignored);
}

std::string ProgramCopy::PathOf(const std::string& fileName) const {
  return programDirectory_ + "/" + fileName;
}

bool ProgramCopy::WriteFile(const std::string& fileName, const std::string& content) {
  std::ofstream file(PathOf(fileName), std::ios::binary | std::ios::trunc);
  file << content;
  file.close();
  if (!file) ADD_FAILURE() << "cannot write " << PathOf(fileName);
  return static_cast<bool>(file);
}

std::optional<std::string> ProgramCopy::ReadFile(const std::string& fileName) const {
  return testing_support::ReadFileIfThere(PathOf(fileName));
}

bool ProgramCopy::RemoveFile(const std::string& fileName) {
  std::error_code failed;
  const bool removed = fs::remove(PathOf(fileName), failed);
  if (!removed) ADD_FAILURE() << "cannot remove " << PathOf(fileName) << ": " << failed.message();
  return removed;
}

Environment ProgramCopy::DefaultEnvironment() const {
  Environment environment = session_.ProgramEnvironment();
  environment.Set("HOME", homeDirectory_)
      .Unset("XDG_CONFIG_HOME")
      .Unset("XDG_DATA_HOME")
      .Unset("XDG_STATE_HOME")
      .Set("PELORIN_HKCU", root_ + "/hkcu.reg")
      .Set("PELORIN_HKLM", root_ + "/hklm.reg");
  return environment;
}

bool ProgramCopy::Start(const std::vector<std::string>& arguments, const Environment& changes) {
  if (!error_.empty()) {
    ADD_FAILURE() << error_;
    return false;
  }
  if (program_ && program_->Running()) {
    ADD_FAILURE() << "the program is still running from an earlier start";
    return false;
  }
  ChildOptions options;
  options.environment = DefaultEnvironment().Merge(changes);
  options.workingDirectory = workingDirectory_;
  options.logFile = root_ + "/program.log";
  program_ = std::make_unique<ChildProcess>(PathOf(kProgramFileName), arguments, options);
  if (!program_->Started()) ADD_FAILURE() << program_->Error();
  return program_->Started();
}

pid_t ProgramCopy::Pid() const {
  return program_ ? program_->Pid() : 0;
}

std::optional<ExitStatus> ProgramCopy::WaitForExit(int timeoutMs) {
  if (!program_) return std::nullopt;
  return program_->WaitForExit(timeoutMs);
}

bool ProgramCopy::Running() {
  return program_ && program_->Running();
}

std::string ProgramCopy::Log() const {
  return testing_support::ReadFileIfThere(root_ + "/program.log").value_or("");
}

}  // namespace e2e
