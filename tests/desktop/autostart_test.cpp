// The autostart entry in a temporary home: where it goes, that the desktop's validator takes
// it, that its Exec line gives back the program's path whatever characters that holds, and
// that failures name the file.
#include "desktop/autostart.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <sstream>
#include <vector>

#include "app/app_test_support.h"
#include "support/desktop_file_validate.h"
#include "support/scoped_environment.h"

namespace {

namespace fs = std::filesystem;
using app_test::ReadFile;
using app_test::WriteBytes;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// The Exec value of an entry, read back as a desktop (GLib) would: the string escapes first,
// then "%%" as one "%", then the words, quoted or not.
std::string ExecValue(const std::string& entry) {
  std::istringstream lines(entry);
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with("Exec=")) continue;
    std::string value;
    for (std::size_t i = 5; i < line.size(); ++i) {
      if (line[i] == '\\' && i + 1 < line.size()) {
        const char next = line[++i];
        value += next == 's'   ? ' '
                 : next == 't' ? '\t'
                 : next == 'n' ? '\n'
                 : next == 'r' ? '\r'
                               : next;
      } else {
        value += line[i];
      }
    }
    std::string expanded;
    for (std::size_t i = 0; i < value.size(); ++i) {
      expanded += value[i];
      if (value[i] == '%' && i + 1 < value.size() && value[i + 1] == '%') ++i;
    }
    return expanded;
  }
  return "(no Exec line)";
}

std::vector<std::string> ExecWords(const std::string& exec) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  bool quoted = false;
  for (std::size_t i = 0; i < exec.size(); ++i) {
    const char c = exec[i];
    if (quoted) {
      if (c == '"') {
        quoted = false;
      } else if (c == '\\' && i + 1 < exec.size()) {
        word += exec[++i];
      } else {
        word += c;
      }
    } else if (c == ' ') {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
    } else if (c == '"') {
      quoted = inWord = true;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (inWord) words.push_back(word);
  return words;
}

class AutostartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(home_.File("home"));
    environment_.Set("HOME", home_.File("home"));
    environment_.Unset("XDG_CONFIG_HOME");
  }

  app_test::ScratchDirectory home_;
  testing_support::ScopedEnvironment environment_;
};

TEST_F(AutostartTest, EntryStartsTheProgramWithoutArgumentsWhateverItsPathHolds) {
  const std::vector<std::string> programs = {
      "/opt/pelorin/pelorin32",
      "/home/ann/My Programs/pelorin32",
      "/home/ann/odd \"quoted\" $HOME `cmd` back\\slash/pelorin32",
      "/home/ann/100% sure/pelorin32",
      "/home/ann/tab\there;and&more/pelorin32",
      "/home/ann/line\nbreak/pelorin32",
      " /leading blank/pelorin32",
  };
  for (const std::string& program : programs) {
    SCOPED_TRACE(program);
    ASSERT_EQ(os::WriteAutostartEntry(program), "");
    const std::string path = home_.File("home/.config/autostart/pelorin32.desktop");
    EXPECT_EQ(os::AutostartEntryPath(), path);
    ASSERT_TRUE(os::AutostartEntryExists());
    const std::string entry = ReadFile(path);
    EXPECT_THAT(entry, StartsWith("[Desktop Entry]\n"));
    EXPECT_THAT(entry, HasSubstr("\nType=Application\n"));
    EXPECT_THAT(ExecWords(ExecValue(entry)), ::testing::ElementsAre(program))
        << "tray mode: the program alone";
    const testing_support::Validation validation = testing_support::ValidateDesktopFile(path);
    EXPECT_TRUE(validation.valid) << validation.report << "\n" << entry;
  }
}

TEST_F(AutostartTest, RemovingTakesTheEntryAwayAndIsDoneWhenNoneIsThere) {
  EXPECT_FALSE(os::AutostartEntryExists());
  EXPECT_EQ(os::RemoveAutostartEntry(), "");
  ASSERT_EQ(os::WriteAutostartEntry("/opt/pelorin/pelorin32"), "");
  ASSERT_TRUE(os::AutostartEntryExists());
  EXPECT_EQ(os::RemoveAutostartEntry(), "");
  EXPECT_FALSE(os::AutostartEntryExists());
  EXPECT_TRUE(fs::exists(home_.File("home/.config/autostart"))) << "the folder is the desktop's";
}

TEST_F(AutostartTest, FollowsXdgConfigHomeAndIgnoresARelativeOne) {
  ::setenv("XDG_CONFIG_HOME", home_.File("conf").c_str(), 1);
  ASSERT_EQ(os::WriteAutostartEntry("/opt/pelorin/pelorin32"), "");
  EXPECT_TRUE(fs::exists(home_.File("conf/autostart/pelorin32.desktop")));
  ::setenv("XDG_CONFIG_HOME", "relative/conf", 1);
  EXPECT_EQ(os::AutostartEntryPath(), home_.File("home/.config/autostart/pelorin32.desktop"));
  EXPECT_FALSE(os::AutostartEntryExists());
}

TEST_F(AutostartTest, FailuresNameTheFileOrFolder) {
  ::setenv("XDG_CONFIG_HOME", home_.File("blocked").c_str(), 1);
  WriteBytes(home_.File("blocked"), "a file where the folder would be");
  EXPECT_EQ(os::WriteAutostartEntry("/opt/pelorin/pelorin32"),
            "Unable to create the folder " + home_.File("blocked/autostart"));

  ::setenv("XDG_CONFIG_HOME", home_.File("conf").c_str(), 1);
  const std::string entry = home_.File("conf/autostart/pelorin32.desktop");
  fs::create_directories(entry + "/inside");  // a folder in the entry's place
  EXPECT_THAT(os::WriteAutostartEntry("/opt/pelorin/pelorin32"),
              StartsWith("Unable to write " + entry + ": "));
  EXPECT_THAT(os::RemoveAutostartEntry(), StartsWith("Unable to remove " + entry + ": "));
  EXPECT_TRUE(fs::exists(entry + "/inside"));
}

}  // namespace
