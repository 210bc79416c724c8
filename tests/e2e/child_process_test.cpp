// The process layer under the desktop harness, with real processes: what a tool printed and
// how it ended come back, every wait ends in time, and the environment changes reach the child.
#include "e2e/child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "support/read_file.h"

namespace {

using e2e::ChildOptions;
using e2e::ChildProcess;
using e2e::Environment;
using e2e::RunTool;
using e2e::ToolResult;

TEST(RunToolTest, ReportsOutputAndHowTheToolEnded) {
  struct Case {
    const char* script;
    int code;
    const char* output;
    const char* errorOutput;
  };
  const Case cases[] = {
      {"echo out; echo err >&2", 0, "out\n", "err\n"},
      {"printf 'no newline'; exit 3", 3, "no newline", ""},
      {"exit 0", 0, "", ""},
  };
  for (const Case& c : cases) {
    const ToolResult result = RunTool({"sh", "-c", c.script});
    EXPECT_TRUE(result.failure.empty()) << c.script << ": " << result.failure;
    EXPECT_EQ(result.status.code, c.code) << c.script;
    EXPECT_EQ(result.status.signal, 0) << c.script;
    EXPECT_EQ(result.output, c.output) << c.script;
    EXPECT_EQ(result.errorOutput, c.errorOutput) << c.script;
    EXPECT_EQ(result.Ok(), c.code == 0) << c.script;
  }
}

TEST(RunToolTest, ReadsMoreThanAPipeHolds) {
  const ToolResult result = RunTool({"sh", "-c", "head -c 300000 /dev/zero; echo done >&2"});
  ASSERT_TRUE(result.Ok()) << result.Describe();
  EXPECT_EQ(result.output.size(), 300000u);
  EXPECT_EQ(result.errorOutput, "done\n");
}

TEST(RunToolTest, KillsAToolThatDoesNotFinishInTime) {
  const auto started = std::chrono::steady_clock::now();
  const ToolResult result = RunTool({"sleep", "30"}, 300);
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_FALSE(result.Ok());
  EXPECT_NE(result.failure.find("did not finish within 300 ms"), std::string::npos)
      << result.failure;
  EXPECT_LT(took, std::chrono::seconds(10)) << "the wait was not bounded";
}

TEST(RunToolTest, NamesAMissingTool) {
  const ToolResult result = RunTool({"pelorin-no-such-tool", "--help"});
  EXPECT_FALSE(result.Ok());
  EXPECT_NE(result.Describe().find("'pelorin-no-such-tool' is not installed"), std::string::npos)
      << result.Describe();
}

TEST(RunToolTest, EnvironmentChangesReachTheTool) {
  setenv("PELORIN_INHERITED", "kept", 1);
  setenv("PELORIN_REMOVED", "present", 1);
  Environment changes;
  changes.Set("PELORIN_SET", "a value with blanks").Unset("PELORIN_REMOVED");
  const ToolResult result =
      RunTool({"sh", "-c", "echo \"$PELORIN_INHERITED|$PELORIN_SET|${PELORIN_REMOVED-unset}\""},
              e2e::kToolTimeoutMs, changes);
  unsetenv("PELORIN_INHERITED");
  unsetenv("PELORIN_REMOVED");
  ASSERT_TRUE(result.Ok()) << result.Describe();
  EXPECT_EQ(result.output, "kept|a value with blanks|unset\n");
}

TEST(EnvironmentTest, LaterChangesWin) {
  Environment first;
  first.Set("PELORIN_A", "1").Set("PELORIN_B", "1");
  Environment second;
  second.Unset("PELORIN_A").Set("PELORIN_B", "2");
  const std::vector<std::string> applied = first.Merge(second).Applied();
  EXPECT_EQ(std::count(applied.begin(), applied.end(), "PELORIN_B=2"), 1);
  EXPECT_EQ(std::count_if(applied.begin(), applied.end(),
                          [](const std::string& entry) {
                            return entry.starts_with("PELORIN_A=") ||
                                   entry.starts_with("PELORIN_B=1");
                          }),
            0);
}

class ChildProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_ =
        std::filesystem::temp_directory_path() / ("pelorin-child-test-" + std::to_string(getpid()));
    std::filesystem::create_directories(directory_);
  }
  void TearDown() override { std::filesystem::remove_all(directory_); }

  std::string Read(const std::string& name) const {
    return testing_support::ReadFile(directory_ / name);
  }

  std::filesystem::path directory_;
};

TEST_F(ChildProcessTest, RunsInItsDirectoryWithItsLogAndExitCode) {
  ChildOptions options;
  options.workingDirectory = directory_.string();
  options.logFile = (directory_ / "child.log").string();
  ChildProcess child("/bin/sh", {"-c", "pwd; echo oops >&2; exit 7"}, options);
  ASSERT_TRUE(child.Started()) << child.Error();
  const std::optional<e2e::ExitStatus> status = child.WaitForExit(10000);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->code, 7);
  EXPECT_EQ(child.WaitForExit(0)->code, 7) << "the end is kept";
  EXPECT_EQ(Read("child.log"), directory_.string() + "\noops\n");
}

TEST_F(ChildProcessTest, WaitIsBoundedAndTerminateEndsIt) {
  ChildProcess child("/bin/sleep", {"30"});
  ASSERT_TRUE(child.Started()) << child.Error();
  EXPECT_FALSE(child.WaitForExit(100).has_value());
  EXPECT_TRUE(child.Running());
  child.Terminate();
  const std::optional<e2e::ExitStatus> status = child.WaitForExit(0);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->signal, SIGTERM) << status->Describe();
}

TEST_F(ChildProcessTest, ChildKeepsTheOneDescriptorItInherits) {
  int pipeFds[2];
  ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
  ChildOptions options;
  options.inheritedFd = pipeFds[1];
  ChildProcess child("/bin/sh", {"-c", "echo through >&" + std::to_string(pipeFds[1])}, options);
  close(pipeFds[1]);
  ASSERT_TRUE(child.Started()) << child.Error();
  ASSERT_TRUE(child.WaitForExit(10000).has_value());
  char buffer[32] = {};
  EXPECT_EQ(read(pipeFds[0], buffer, sizeof buffer - 1), 8);
  EXPECT_STREQ(buffer, "through\n");
  close(pipeFds[0]);
}

// Gone, or a zombie that only waits for init to collect it.
bool HasEnded(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(stat, text);
  const std::size_t close = text.rfind(')');
  return text.empty() || (close != std::string::npos && text.substr(close + 2, 1) == "Z");
}

TEST_F(ChildProcessTest, ChildEndsWhenTheProcessThatStartedItDies) {
  int pipeFds[2];
  ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
  const pid_t starter = fork();
  if (starter == 0) {
    // Dies at once without ending its child, as a crashing test would.
    ChildProcess child("/bin/sleep", {"30"});
    const pid_t pid = child.Pid();
    (void)!write(pipeFds[1], &pid, sizeof pid);
    _exit(0);
  }
  close(pipeFds[1]);
  pid_t sleeper = 0;
  const ssize_t got = read(pipeFds[0], &sleeper, sizeof sleeper);
  close(pipeFds[0]);
  waitpid(starter, nullptr, 0);
  ASSERT_EQ(got, static_cast<ssize_t>(sizeof sleeper));
  ASSERT_GT(sleeper, 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!HasEnded(sleeper) && std::chrono::steady_clock::now() < deadline) usleep(10000);
  EXPECT_TRUE(HasEnded(sleeper)) << "the child outlived the process that started it";
  if (!HasEnded(sleeper)) kill(sleeper, SIGKILL);
}

TEST_F(ChildProcessTest, AProgramThatCannotRunIsReported) {
  const std::string notExecutable = (directory_ / "plain.txt").string();
  std::ofstream(notExecutable) << "text";
  ChildProcess child(notExecutable, {});
  EXPECT_FALSE(child.Started());
  EXPECT_NE(child.Error().find("cannot run " + notExecutable), std::string::npos) << child.Error();
}

}  // namespace
