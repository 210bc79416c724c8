// The mailto: association: the desktop entry and mimeapps.list texts, and the registry key
// that writes them into XDG directories of a temporary home.
#include "desktop/mailto_association.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>

#include "app/app_test_support.h"
#include "desktop/desktop_entry.h"
#include "desktop/mimeapps_list.h"
#include "os/registry_class.h"
#include "support/scoped_environment.h"

namespace {

namespace fs = std::filesystem;
using app_test::ReadFile;
using app_test::WriteBytes;

// ---- Splitting the registry's command ---------------------------------------------------

struct SplitCase {
  const char* command;
  std::set<std::string> existingFiles;
  os::CommandLine expected;
};

TEST(SplitCommand, FindsTheProgramAsTheWindowsShellDoes) {
  const std::vector<SplitCase> cases = {
      {"/opt/p/pelorin32 /u %1 %2", {"/opt/p/pelorin32"}, {"/opt/p/pelorin32", {"/u", "%1", "%2"}}},
      {"/opt/My Apps/pelorin32 /u %1 %2",
       {"/opt/My Apps/pelorin32"},
       {"/opt/My Apps/pelorin32", {"/u", "%1", "%2"}}},
      // The shortest beginning that names a file wins, as on Windows.
      {"/opt/My Apps/p /u", {"/opt/My", "/opt/My Apps/p"}, {"/opt/My", {"Apps/p", "/u"}}},
      {"\"/opt/My Apps/p\" /u  %1", {}, {"/opt/My Apps/p", {"/u", "%1"}}},
      {"\"/opt/unclosed quote", {}, {"/opt/unclosed quote", {}}},
      {"/opt/My Apps/p", {"/opt/My Apps/p"}, {"/opt/My Apps/p", {}}},
      {"  /nowhere/p /u %1", {}, {"/nowhere/p", {"/u", "%1"}}},
      {"", {}, {}},
  };
  for (const SplitCase& c : cases) {
    SCOPED_TRACE(c.command);
    const auto exists = [&c](const std::string& path) { return c.existingFiles.contains(path); };
    EXPECT_EQ(os::SplitCommand(c.command, exists), c.expected);
  }
}

// ---- The Exec line --------------------------------------------------------------------

TEST(ExecLine, TakesTheLinkAsUrlDropsTheOtherPlaceholdersAndQuotesWhatNeedsIt) {
  const std::vector<std::pair<os::CommandLine, std::string>> cases = {
      {{"/opt/p/pelorin32", {"/u", "%1", "%2"}}, "/opt/p/pelorin32 /u %u"},
      {{"/opt/My Apps/pelorin32", {"/u", "%1", "%2"}}, "\"/opt/My Apps/pelorin32\" /u %u"},
      {{"/opt/p", {"%1", "%3", "%*", "-x"}}, "/opt/p %u -x"},
      {{"/opt/100%/p", {"50%"}}, "/opt/100%%/p 50%%"},
      {{"/opt/a\\b$c\"d`e/p", {}}, "\"/opt/a\\\\b\\$c\\\"d\\`e/p\""},
      {{"/opt/p", {"a;b", "(x)", "it's"}}, "/opt/p \"a;b\" \"(x)\" \"it's\""},
      {{"/opt/p", {""}}, "/opt/p \"\""},
  };
  for (const auto& [command, exec] : cases) {
    SCOPED_TRACE(exec);
    EXPECT_EQ(os::ExecLineFor(command), exec);
  }
}

TEST(DesktopEntry, HasTheApplicationLinesAndEscapesItsValues) {
  const std::string command = " /opt/a\\b/pelorin32 /u %1 %2";
  const std::string text = os::DesktopEntryText(command, "\"/opt/a\\\\b/pelorin32\" /u %u");
  EXPECT_EQ(text,
            "[Desktop Entry]\n"
            "Type=Application\n"
            "Name=Pelorin 32\n"
            "Comment=Send a short e-mail\n"
            "Exec=\"/opt/a\\\\\\\\b/pelorin32\" /u %u\n"
            "MimeType=x-scheme-handler/mailto;\n"
            "NoDisplay=true\n"
            "X-Pelorin-Command=\\s/opt/a\\\\b/pelorin32 /u %1 %2\n");
  EXPECT_EQ(os::CommandOfDesktopEntry(text), command);
}

// A line end in a path must not end the value and start a key of its own.
TEST(DesktopEntry, ControlCharactersInAPathStayInsideTheirValue) {
  const std::string command = "/opt/a\nInjected=1\tx\r/pelorin32 /u %1";
  const std::string text = os::DesktopEntryText(command, "\"/opt/a\nInjected=1\tx\r/p\" /u %u");
  EXPECT_THAT(text, ::testing::HasSubstr("\nExec=\"/opt/a\\nInjected=1\\tx\\r/p\" /u %u\n"));
  EXPECT_THAT(text, ::testing::Not(::testing::HasSubstr("\nInjected=1")));
  EXPECT_EQ(os::CommandOfDesktopEntry(text), command);
}

TEST(DesktopEntry, CommandIsFoundInEntriesWithOtherLineEnds) {
  EXPECT_EQ(os::CommandOfDesktopEntry("[Desktop Entry]\r\nX-Pelorin-Command= /p /u %1\r\n"),
            "/p /u %1");
  EXPECT_EQ(os::CommandOfDesktopEntry("[Desktop Entry]\nExec=/p\n"), std::nullopt);
}

// ---- mimeapps.list ---------------------------------------------------------------------

struct ListCase {
  const char* name;
  const char* before;
  const char* after;
};

TEST(MimeAppsList, ReplacesOnlyTheMailtoDefaultAndKeepsEveryOtherLine) {
  const char* kOurs = "x-scheme-handler/mailto=pelorin32.desktop;\n";
  const std::vector<ListCase> cases = {
      {"empty", "", "[Default Applications]\nx-scheme-handler/mailto=pelorin32.desktop;\n"},
      {"no defaults section", "[Added Associations]\ntext/plain=ed.desktop;",
       "[Added Associations]\ntext/plain=ed.desktop;\n\n[Default Applications]\n"
       "x-scheme-handler/mailto=pelorin32.desktop;\n"},
      {"another handler replaced",
       "# mine\n[Default Applications]\ntext/html=web.desktop\n"
       "x-scheme-handler/mailto = thunder.desktop;other.desktop;\nimage/png=view.desktop\n"
       "[Added Associations]\nx-scheme-handler/mailto=thunder.desktop;\n",
       "# mine\n[Default Applications]\nx-scheme-handler/mailto=pelorin32.desktop;\n"
       "text/html=web.desktop\nimage/png=view.desktop\n"
       "[Added Associations]\nx-scheme-handler/mailto=thunder.desktop;\n"},
      {"heading without line end", "[Default Applications]",
       "[Default Applications]\nx-scheme-handler/mailto=pelorin32.desktop;\n"},
      {"CR LF lines kept as they are", "[Default Applications]\r\ntext/html=web.desktop\r\n",
       "[Default Applications]\r\nx-scheme-handler/mailto=pelorin32.desktop;\n"
       "text/html=web.desktop\r\n"},
  };
  for (const ListCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string once =
        os::WithDefaultApplication(c.before, "x-scheme-handler/mailto", "pelorin32.desktop");
    EXPECT_EQ(once, c.after);
    EXPECT_EQ(os::WithDefaultApplication(once, "x-scheme-handler/mailto", "pelorin32.desktop"),
              once)
        << "written twice";
    EXPECT_THAT(once, ::testing::HasSubstr(kOurs));
  }
}

TEST(MimeAppsList, DefaultApplicationIsTheFirstNamedInTheDefaultsSection) {
  EXPECT_EQ(os::DefaultApplication("[Added Associations]\nx=a.desktop;\n[Default Applications]\n"
                                   "x = b.desktop;c.desktop\n",
                                   "x"),
            "b.desktop");
  EXPECT_EQ(os::DefaultApplication("[Added Associations]\nx=a.desktop;\n", "x"), std::nullopt);
  EXPECT_EQ(os::DefaultApplication("[Default Applications]\nx=\n", "x"), std::nullopt);
}

// ---- The registry key ------------------------------------------------------------------

constexpr const char* kCommand = "/opt/pelorin/pelorin32 /u %1 %2";

// A temporary home without XDG variables, the association registered behind the key.
class MailtoKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    environment_.Set("HOME", home_.File(""));
    environment_.Unset("XDG_DATA_HOME");
    environment_.Unset("XDG_CONFIG_HOME");
    os::RegisterMailtoAssociation();
  }
  void TearDown() override {
    os::RegisterVirtualKey(os::HKEY_LOCAL_MACHINE, os::kMailtoCommandKey, nullptr);
  }

  std::string EntryPath() const {
    return home_.File(".local/share/applications/pelorin32.desktop");
  }
  std::string ListPath() const { return home_.File(".config/mimeapps.list"); }

  static os::LSTATUS OpenStatus(os::REGSAM access) {
    os::HKEY key = nullptr;
    const os::LSTATUS status =
        os::RegOpenKeyExA(os::HKEY_LOCAL_MACHINE, os::kMailtoCommandKey, 0, access, &key);
    if (key != nullptr) os::RegCloseKey(key);
    return status;
  }

  static void WriteCommand(const std::string& command) {
    os::Registry registry;
    registry.SetRootKey(os::HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(registry.OpenKey(os::kMailtoCommandKey, false));
    registry.WriteString("", command);
  }

  static std::string ReadCommand() {
    os::Registry registry(os::KEY_READ);
    registry.SetRootKey(os::HKEY_LOCAL_MACHINE);
    if (!registry.OpenKey(os::kMailtoCommandKey, false)) return "(does not open)";
    return registry.ValueExists("") ? registry.ReadString("") : "(no value)";
  }

  app_test::ScratchDirectory home_;
  testing_support::ScopedEnvironment environment_;
};

TEST_F(MailtoKeyTest, OpensForFullAccessWhereTheXdgDirectoriesCanBeCreated) {
  EXPECT_EQ(OpenStatus(os::KEY_ALL_ACCESS), os::ERROR_SUCCESS);
  EXPECT_FALSE(fs::exists(home_.File(".local"))) << "opening must not write anything";
  EXPECT_EQ(ReadCommand(), "(no value)");
}

TEST_F(MailtoKeyTest, WritingTheCommandInstallsTheDesktopEntryAndMakesItTheDefault) {
  WriteCommand(kCommand);
  EXPECT_EQ(ReadFile(EntryPath()), os::DesktopEntryText(kCommand, "/opt/pelorin/pelorin32 /u %u"));
  EXPECT_EQ(ReadFile(ListPath()),
            "[Default Applications]\nx-scheme-handler/mailto=pelorin32.desktop;\n");
  EXPECT_EQ(ReadCommand(), kCommand);
}

TEST_F(MailtoKeyTest, WritingTwiceGivesTheSameFilesAndKeepsTheOtherAssociations) {
  fs::create_directories(home_.File(".config"));
  const std::string others =
      "[Default Applications]\ntext/html=web.desktop\nx-scheme-handler/mailto=old.desktop\n"
      "[Added Associations]\ntext/plain=ed.desktop;\n";
  WriteBytes(ListPath(), others);
  WriteCommand(kCommand);
  const std::string entry = ReadFile(EntryPath());
  const std::string list = ReadFile(ListPath());
  WriteCommand(kCommand);
  EXPECT_EQ(ReadFile(EntryPath()), entry);
  EXPECT_EQ(ReadFile(ListPath()), list);
  EXPECT_EQ(list,
            "[Default Applications]\nx-scheme-handler/mailto=pelorin32.desktop;\n"
            "text/html=web.desktop\n[Added Associations]\ntext/plain=ed.desktop;\n");
}

TEST_F(MailtoKeyTest, TheCommandReadsBackOnlyWhileTheEntryIsTheDefault) {
  WriteCommand(kCommand);
  WriteBytes(ListPath(), "[Default Applications]\nx-scheme-handler/mailto=other.desktop\n");
  EXPECT_EQ(ReadCommand(), "(no value)");
}

TEST_F(MailtoKeyTest, FollowsTheXdgVariablesAndIgnoresRelativeOnes) {
  ::setenv("XDG_DATA_HOME", home_.File("data").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", "relative/config", 1);
  WriteCommand(kCommand);
  EXPECT_TRUE(fs::exists(home_.File("data/applications/pelorin32.desktop")));
  EXPECT_TRUE(fs::exists(ListPath()));
}

TEST_F(MailtoKeyTest, HasNoNamedValues) {
  os::HKEY key = nullptr;
  ASSERT_EQ(
      os::RegOpenKeyExA(os::HKEY_LOCAL_MACHINE, os::kMailtoCommandKey, 0, os::KEY_ALL_ACCESS, &key),
      os::ERROR_SUCCESS);
  const std::string text = "x";
  EXPECT_EQ(os::RegSetValueExA(key, "Other", 0, os::REG_SZ,
                               reinterpret_cast<const std::uint8_t*>(text.c_str()), 2),
            os::ERROR_INVALID_PARAMETER);
  os::RegCloseKey(key);
  EXPECT_FALSE(fs::exists(home_.File(".local")));
}

TEST_F(MailtoKeyTest, DoesNotOpenForWritingWhereADirectoryNobodyMayWriteIsInTheWay) {
  // No write bit at all: read-only for root too, the rule the registry's hives follow.
  for (const char* variable : {"XDG_DATA_HOME", "XDG_CONFIG_HOME"}) {
    SCOPED_TRACE(variable);
    const std::string locked = home_.File(std::string("locked-") + variable);
    fs::create_directories(locked);
    ::chmod(locked.c_str(), 0555);
    ::setenv(variable, (locked + "/sub").c_str(), 1);
    EXPECT_EQ(OpenStatus(os::KEY_ALL_ACCESS), os::ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenStatus(os::KEY_SET_VALUE), os::ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenStatus(os::KEY_READ), os::ERROR_SUCCESS);
    ::unsetenv(variable);
    ::chmod(locked.c_str(), 0755);
  }
}

TEST_F(MailtoKeyTest, DoesNotOpenForWritingForAUserWhoMayNotWriteTheHome) {
  // The home belongs to root (mode 0755): an unprivileged user may read but not write it.
  const auto report = app_test::RunInChild(app_test::ChildUser::Nobody, [] {
    return std::to_string(OpenStatus(os::KEY_ALL_ACCESS)) + " " +
           std::to_string(OpenStatus(os::KEY_READ));
  });
  ASSERT_EQ(report.exitCode, 0) << report.text;
  EXPECT_EQ(report.text, "5 0");
}

}  // namespace
