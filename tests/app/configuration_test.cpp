#include "app/configuration.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>

#include "app/globals.h"
#include "app/program_world.h"
#include "app/startup.h"
#include "os/msgbox.h"

namespace pelorin {

// Readable failure output; beside the type so that the test framework finds it.
static void PrintTo(const Configuration& c, std::ostream* out) {
  *out << ::testing::PrintToString(c.smtpServer) << " port " << ::testing::PrintToString(c.smtpPort)
       << " sender " << ::testing::PrintToString(c.senderAddress) << " dial "
       << ::testing::PrintToString(c.dialEntry) << (c.useDialup ? " TRUE" : " FALSE") << " names "
       << ::testing::PrintToString(c.names) << " addresses "
       << ::testing::PrintToString(c.addresses);
}

namespace {

using app_test::ChildUser;
using app_test::ReadFile;
using app_test::RunInChild;
using app_test::ScratchDirectory;
using app_test::WriteBytes;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

Configuration Settings(std::string server, std::string port, std::string sender, std::string dial,
                       bool dialup) {
  Configuration c;
  c.smtpServer = std::move(server);
  c.smtpPort = std::move(port);
  c.senderAddress = std::move(sender);
  c.dialEntry = std::move(dial);
  c.useDialup = dialup;
  return c;
}

Configuration WithBook(Configuration c, std::vector<std::string> names,
                       std::vector<std::string> addresses) {
  c.names = std::move(names);
  c.addresses = std::move(addresses);
  return c;
}

struct ParseCase {
  const char* name;
  std::string bytes;
  Configuration expected;
};

void PrintTo(const ParseCase& c, std::ostream* out) {
  *out << c.name;
}

class ParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseTest, ReadsBytesAsTheFormatSays) {
  EXPECT_EQ(ParseConfiguration(GetParam().bytes), GetParam().expected);
}

const std::string kHeader = "mailhost:587\r\nme@home\r\nModem\r\nTRUE\r\n";
const Configuration kHeaderSettings = Settings("mailhost", "587", "me@home", "Modem", true);

INSTANTIATE_TEST_SUITE_P(
    Lines, ParseTest,
    ::testing::Values(
        ParseCase{"FullFile", kHeader + "Ann\r\nann@x\r\nBob\r\nbob@x\r\n",
                  WithBook(kHeaderSettings, {"Ann", "Bob"}, {"ann@x", "bob@x"})},
        ParseCase{"OnlyFourLines", kHeader, kHeaderSettings},
        ParseCase{"EmptyFileKeepsNoDefaultHost", "", Settings("", "25", "", "", false)},
        ParseCase{"OneLine", "mailhost", Settings("mailhost", "25", "", "", false)},
        ParseCase{"TwoLines", "h:1\r\nme", Settings("h", "1", "me", "", false)},
        ParseCase{"ThreeLines", "h:1\r\nme\r\nModem\r\n", Settings("h", "1", "me", "Modem", false)},
        ParseCase{"FourthLineWithoutLineEnd", "h:1\r\nme\r\nModem\r\nTRUE",
                  Settings("h", "1", "me", "Modem", true)},
        ParseCase{"NameWithoutAddress", kHeader + "Ann\r\n",
                  WithBook(kHeaderSettings, {"Ann"}, {""})},
        ParseCase{"ExtraEmptyLineAtEnd", kHeader + "Ann\r\nann@x\r\n\r\n",
                  WithBook(kHeaderSettings, {"Ann", ""}, {"ann@x", ""})},
        ParseCase{"EmptyNamesAndDuplicates", kHeader + "\r\n\r\nAnn\r\na\r\nAnn\r\na\r\n",
                  WithBook(kHeaderSettings, {"", "Ann", "Ann"}, {"", "a", "a"})},
        ParseCase{"LoneCarriageReturns", "mailhost:587\rme@home\rModem\rTRUE\rAnn\rann@x\r",
                  WithBook(kHeaderSettings, {"Ann"}, {"ann@x"})},
        ParseCase{"LineFeedOnlyIsOneLine", "mailhost:587\nme@home\nModem\nTRUE\n",
                  Settings("mailhost", "587\nme@home\nModem\nTRUE\n", "", "", false)},
        ParseCase{"LineFeedUpToFirstCarriageReturn", "a\nb:c\r\nme\r\n",
                  Settings("a\nb", "c", "me", "", false)},
        ParseCase{"OnlyOneLineFeedAfterCarriageReturnIsSkipped", "h:1\r\n\nme\r\n\r\n",
                  Settings("h", "1", "\nme", "", false)},
        ParseCase{"CtrlZBetweenEntries",
                  kHeader + "Ann\r\nann@x\r\n\x1a"
                            "Bob\r\nbob@x\r\n",
                  WithBook(kHeaderSettings, {"Ann"}, {"ann@x"})},
        ParseCase{"CtrlZInsideALine", "h:1\r\nme\x1a@home\r\nModem\r\nTRUE\r\nAnn\r\n",
                  Settings("h", "1", "me", "", false)},
        ParseCase{"CtrlZAfterName",
                  kHeader + "Ann\r\n\x1a"
                            "ann@x\r\n",
                  WithBook(kHeaderSettings, {"Ann"}, {""})},
        ParseCase{"CtrlZFirst", std::string("\x1a") + kHeader, Settings("", "25", "", "", false)},
        ParseCase{"NulAndHighBytesStay", std::string("h\0st:2\r\n\xe4\xf6\r\n", 12),
                  Settings(std::string("h\0st", 4), "2", "\xe4\xf6", "", false)}),
    [](const auto& info) { return std::string(info.param.name); });

struct ServerLineCase {
  std::string line;
  std::string server;
  std::string port;
};

TEST(ParseServerLine, SplitsAtTheFirstColonOnly) {
  const ServerLineCase cases[] = {
      {"mailhost", "mailhost", "25"},
      {"mailhost:587", "mailhost", "587"},
      {"mailhost:", "mailhost", ""},
      {":25", "", "25"},
      {"a:b:c", "a", "b:c"},
      {"", "", "25"},
      {":", "", ""},
  };
  for (const ServerLineCase& c : cases) {
    const Configuration read = ParseConfiguration(c.line + "\r\n");
    EXPECT_EQ(read.smtpServer, c.server) << c.line;
    EXPECT_EQ(read.smtpPort, c.port) << c.line;
  }
}

TEST(ParseDialupLine, OnlyExactUpperCaseTrueSetsIt) {
  const std::pair<std::string, bool> cases[] = {
      {"TRUE", true},    {"true", false},  {"True", false}, {"TRUE ", false}, {" TRUE", false},
      {"TRUE\n", false}, {"FALSE", false}, {"", false},     {"TRUEx", false}, {"1", false},
  };
  for (const auto& [line, expected] : cases) {
    EXPECT_EQ(ParseConfiguration("h:25\r\nme\r\nd\r\n" + line + "\r\n").useDialup, expected)
        << ::testing::PrintToString(line);
  }
}

TEST(FormatConfiguration, WritesEveryLineWithCarriageReturnLineFeed) {
  const Configuration c =
      WithBook(Settings("mailhost", "587", "me@home", "Modem", true), {"Ann", ""}, {"", "b@x"});
  EXPECT_EQ(FormatConfiguration(c),
            "mailhost:587\r\nme@home\r\nModem\r\nTRUE\r\nAnn\r\n\r\n\r\nb@x\r\n");
}

TEST(FormatConfiguration, WritesTheColonAlsoForAnEmptyPortAndFalseInUpperCase) {
  EXPECT_EQ(FormatConfiguration(Settings("", "", "", "", false)), ":\r\n\r\n\r\nFALSE\r\n");
}

TEST(FormatConfiguration, NameWithoutAddressIsSavedWithAnEmptyLine) {
  const std::string fiveLines = kHeader + "Ann\r\n";
  EXPECT_EQ(FormatConfiguration(ParseConfiguration(fiveLines)), fiveLines + "\r\n");
}

// A pasted line break would split its value over two lines of the file, and every later
// name would be read back as an address.
TEST(FormatConfiguration, LineBreaksInAnyValueAreWrittenAsBlanks) {
  const Configuration typed =
      WithBook(Settings("mail\r\nhost", "5\n87", "me\r@home", "Mo\ndem", true),
               {"Ann\r\nSmith", "Bob"}, {"ann@x\n", "bob@x"});
  const std::string bytes = FormatConfiguration(typed);
  EXPECT_EQ(bytes,
            "mail  host:5 87\r\nme @home\r\nMo dem\r\nTRUE\r\nAnn  Smith\r\nann@x \r\n"
            "Bob\r\nbob@x\r\n");
  EXPECT_THAT(ParseConfiguration(bytes).names, ElementsAre("Ann  Smith", "Bob"));
}

TEST(IoErrorText, MapsSystemErrorsToTheFailureTexts) {
  const std::pair<int, std::string> cases[] = {
      {ENOENT, "File not found"},
      {ENOTDIR, "Invalid filename"},
      {ENAMETOOLONG, "Invalid filename"},
      {EINVAL, "Invalid filename"},
      {EMFILE, "Too many open files"},
      {ENFILE, "Too many open files"},
      {EACCES, "File access denied"},
      {EPERM, "File access denied"},
      {EROFS, "File access denied"},
      {ENOSPC, "Disk full"},
      {EDQUOT, "Disk full"},
      {EFBIG, "Disk full"},
      {EIO, "I/O error 5"},
      {EISDIR, "I/O error 21"},
  };
  for (const auto& [error, text] : cases) EXPECT_EQ(IoErrorText(error), text) << error;
}

// Globals and boxes on real files in a program world of the test's own.
class ConfigurationFileTest : public app_test::ProgramWorldTest {
 protected:
  std::string Path() const { return world_.program.File("tessaly32.cfg"); }

  static void SetExampleGlobals() {
    SmtpServer = "mailhost";
    SmtpPort = "587";
    SenderAddress = "me@home";
    DialEntry = "Modem";
    UseDialup = true;
    NameList = {"Ann", ""};
    AddressList = {"ann@x", ""};
  }
};

const std::string kExampleBytes =
    "mailhost:587\r\nme@home\r\nModem\r\nTRUE\r\nAnn\r\nann@x\r\n\r\n\r\n";

TEST_F(ConfigurationFileTest, SaveWritesTheFileAndLoadReadsItBack) {
  SetExampleGlobals();
  ASSERT_TRUE(SaveConfiguration());
  EXPECT_EQ(ReadFile(Path()), kExampleBytes);
  EXPECT_EQ(world_.program.Entries(), std::set<std::string>{"tessaly32.cfg"});

  const Configuration saved = CurrentConfiguration();
  ResetGlobals();
  ProgramDir = world_.program.Dir();
  ASSERT_EQ(LoadConfiguration(), std::nullopt);
  EXPECT_EQ(CurrentConfiguration(), saved);
  EXPECT_THAT(boxes_.Boxes(), IsEmpty());
}

TEST_F(ConfigurationFileTest, ServerWithColonIsSplitWhenReadBack) {
  SmtpServer = "a:b";
  SmtpPort = "25";
  ASSERT_TRUE(SaveConfiguration());
  EXPECT_EQ(ReadFile(Path()), "a:b:25\r\n\r\n\r\nFALSE\r\n");
  ResetGlobals();
  ProgramDir = world_.program.Dir();
  ASSERT_EQ(LoadConfiguration(), std::nullopt);
  EXPECT_EQ(SmtpServer, "a");
  EXPECT_EQ(SmtpPort, "b:25");
}

TEST_F(ConfigurationFileTest, SaveReplacesALongerFileWholeAndKeepsItsPermissions) {
  WriteBytes(Path(), std::string(10000, 'x'));
  ::chmod(Path().c_str(), 0640);
  SetExampleGlobals();
  ASSERT_TRUE(SaveConfiguration());
  EXPECT_EQ(ReadFile(Path()), kExampleBytes);
  struct stat status {};
  ASSERT_EQ(::stat(Path().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0640u);
}

TEST_F(ConfigurationFileTest, LoadStopsReadingAtCtrlZ) {
  WriteBytes(Path(), kExampleBytes + "\x1a" + std::string(100000, 'y'));
  ASSERT_EQ(LoadConfiguration(), std::nullopt);
  EXPECT_THAT(NameList, ElementsAre("Ann", ""));
}

TEST_F(ConfigurationFileTest, LoadOfAMissingFileFailsAndLeavesTheGlobals) {
  SetExampleGlobals();
  EXPECT_EQ(LoadConfiguration(), "File not found");
  EXPECT_EQ(SmtpServer, "mailhost");
  EXPECT_THAT(NameList, ElementsAre("Ann", ""));
}

struct SaveFailureCase {
  const char* name;
  std::string (*programDir)(const ScratchDirectory&);
  std::string boxText;
};

TEST_F(ConfigurationFileTest, SaveFailureShowsTheErrorBoxAndKeepsTheGlobals) {
  WriteBytes(world_.program.File("plain-file"), "");
  const SaveFailureCase cases[] = {
      {"missing directory", [](const ScratchDirectory& s) { return s.Dir() + "gone/"; },
       "File not found."},
      {"file as directory", [](const ScratchDirectory& s) { return s.File("plain-file") + "/"; },
       "Invalid filename."},
  };
  for (const SaveFailureCase& c : cases) {
    boxes_.Clear();
    SetExampleGlobals();
    ProgramDir = c.programDir(world_.program);
    EXPECT_FALSE(SaveConfiguration()) << c.name;
    EXPECT_THAT(boxes_.Boxes(), ElementsAre(os::BoxRequest{c.boxText, "Pelorin32",
                                                           os::BoxButtons::Ok, os::BoxIcon::Error}))
        << c.name;
    EXPECT_EQ(CurrentConfiguration(), ParseConfiguration(kExampleBytes)) << c.name;
  }
  EXPECT_EQ(world_.program.Entries(), std::set<std::string>{"plain-file"});
}

// Runs SaveConfiguration in the child and reports its result and the boxes it showed.
std::string SaveAndDescribe() {
  os::BoxRecorder childBoxes;
  const bool saved = SaveConfiguration();
  std::string report = saved ? "saved" : "failed";
  for (const std::string& text : childBoxes.Texts()) report += "|" + text;
  return report;
}

TEST_F(ConfigurationFileTest, SaveInReadOnlyDirectoryFailsAndLeavesTheOldFileWhole) {
  WriteBytes(Path(), kExampleBytes);
  ::chmod(Path().c_str(), 0666);  // the file could be written in place; the directory cannot
  ::chmod(world_.program.Dir().c_str(), 0555);
  const auto report = RunInChild(ChildUser::Nobody, [] {
    SmtpServer = "changed";
    return SaveAndDescribe();
  });
  ::chmod(world_.program.Dir().c_str(), 0755);
  ASSERT_EQ(report.exitCode, 0) << report.text;
  EXPECT_EQ(report.text, "failed|File access denied.");
  EXPECT_EQ(ReadFile(Path()), kExampleBytes);
  EXPECT_EQ(world_.program.Entries(), std::set<std::string>{"tessaly32.cfg"});
}

// The save renames a new file over the old one, which needs only the directory, and root
// passes every permission check; a file or directory without any write bit still refuses.
TEST_F(ConfigurationFileTest, SaveWhereNoWriteBitAllowsItFailsAlsoForRoot) {
  struct Case {
    const char* name;
    mode_t file;
    mode_t directory;
  };
  for (const Case& c :
       {Case{"read-only file", 0444, 0755}, Case{"read-only directory", 0644, 0555}}) {
    SCOPED_TRACE(c.name);
    boxes_.Clear();
    WriteBytes(Path(), kExampleBytes);
    ::chmod(Path().c_str(), c.file);
    ::chmod(world_.program.Dir().c_str(), c.directory);
    SmtpServer = "changed";
    const bool saved = SaveConfiguration();
    ::chmod(world_.program.Dir().c_str(), 0755);
    EXPECT_FALSE(saved);
    EXPECT_EQ(boxes_.Texts(), std::vector<std::string>{"File access denied."});
    EXPECT_EQ(ReadFile(Path()), kExampleBytes);
    struct stat status {};
    ASSERT_EQ(::stat(Path().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, c.file);
    EXPECT_EQ(world_.program.Entries(), std::set<std::string>{"tessaly32.cfg"});
    ::chmod(Path().c_str(), 0644);
  }
}

TEST_F(ConfigurationFileTest, SaveThatFailsPartWayLeavesTheOldFileWhole) {
  WriteBytes(Path(), kExampleBytes);
  const auto report = RunInChild(ChildUser::Same, [] {
    // Writing beyond 64 bytes now fails with EFBIG instead of killing the process.
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{64, 64};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return std::string("setrlimit failed");
    NameList.assign(50, "a name long enough to pass the limit");
    AddressList.assign(50, "someone@example.org");
    return SaveAndDescribe();
  });
  ASSERT_EQ(report.exitCode, 0) << report.text;
  EXPECT_EQ(report.text, "failed|Disk full.");
  EXPECT_EQ(ReadFile(Path()), kExampleBytes);
  EXPECT_EQ(world_.program.Entries(), std::set<std::string>{"tessaly32.cfg"});
}

TEST_F(ConfigurationFileTest, LoadOfAnUnreadableFileReportsAccessDenied) {
  WriteBytes(Path(), kExampleBytes);
  ::chmod(Path().c_str(), 0200);
  const auto report = RunInChild(ChildUser::Nobody, [] {
    const bool exists = ConfigurationFileExists();
    const auto failure = LoadConfiguration();
    return std::string(exists ? "exists|" : "absent|") + failure.value_or("loaded") + "|" +
           SmtpServer;
  });
  ASSERT_EQ(report.exitCode, 0) << report.text;
  EXPECT_EQ(report.text, "exists|File access denied|localhost");
}

}  // namespace
}  // namespace pelorin
