// The search through a home directory's mail settings: real files in a scratch home, the
// order of the sources, and files that are missing, unreadable or nonsense.
#include "setup/linux_mail_import.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "app/app_test_support.h"
#include "setup/mail_setup_print.h"

namespace pelorin {
namespace {

namespace fs = std::filesystem;

class LinuxMailImportTest : public ::testing::Test {
 protected:
  // Writes `text` to `path` below the home, creating the directories on the way.
  void Write(const std::string& path, const std::string& text) {
    const fs::path file = fs::path(Home()) / path;
    fs::create_directories(file.parent_path());
    app_test::WriteBytes(file.string(), text);
  }

  std::string Home() const { return scratch_.File("home"); }
  MailSetup Find(const std::string& xdgConfigHome = "") const {
    return FindLinuxMailSetup({Home(), xdgConfigHome});
  }

  void WriteThunderbird(const std::string& prefs) {
    Write(".thunderbird/profiles.ini",
          "[Install4F96D1932A9F858E]\nDefault=q1w2.default-release\nLocked=1\n\n"
          "[Profile0]\nName=default-release\nIsRelative=1\nPath=q1w2.default-release\n");
    Write(".thunderbird/q1w2.default-release/prefs.js", prefs);
  }
  void WriteEvolution() {
    Write(".config/evolution/sources/acc.source",
          "[Data Source]\nEnabled=true\n[Mail Account]\nIdentityUid=id\n");
    Write(".config/evolution/sources/id.source",
          "[Mail Identity]\nAddress=evo@example.org\n[Mail Submission]\nTransportUid=tr\n");
    Write(".config/evolution/sources/tr.source",
          "[Mail Transport]\nBackendName=smtp\n[Authentication]\nHost=evo.example\nPort=587\n"
          "User=evo\n[Security]\nMethod=starttls-on-standard-port\n");
  }
  void WriteMsmtp() {
    Write(".msmtprc", "account default\nhost msmtp.example\nfrom msmtp@example.org\ntls on\n");
  }
  void WriteGit() { Write(".gitconfig", "[user]\n\temail = git@example.org\n"); }

  app_test::ScratchDirectory scratch_;
};

const char* const kThunderbirdPrefs =
    "user_pref(\"mail.accountmanager.defaultaccount\", \"account1\");\n"
    "user_pref(\"mail.account.account1.identities\", \"id1\");\n"
    "user_pref(\"mail.identity.id1.useremail\", \"tb@example.org\");\n"
    "user_pref(\"mail.smtpservers\", \"smtp1\");\n"
    "user_pref(\"mail.smtpserver.smtp1.hostname\", \"tb.example\");\n"
    "user_pref(\"mail.smtpserver.smtp1.port\", 465);\n"
    "user_pref(\"mail.smtpserver.smtp1.try_ssl\", 3);\n"
    "user_pref(\"mail.smtpserver.smtp1.username\", \"tb\");\n";

TEST_F(LinuxMailImportTest, TakesTheFirstSourceThatNamesAnAddressOrAServer) {
  WriteGit();
  EXPECT_EQ(Find(), (MailSetup{"git@example.org", "", "", "", ""}));
  WriteMsmtp();
  EXPECT_EQ(Find(), (MailSetup{"msmtp@example.org", "msmtp.example", "", "starttls", ""}));
  WriteEvolution();
  EXPECT_EQ(Find(), (MailSetup{"evo@example.org", "evo.example", "587", "starttls", "evo"}));
  WriteThunderbird(kThunderbirdPrefs);
  EXPECT_EQ(Find(), (MailSetup{"tb@example.org", "tb.example", "465", "tls", "tb"}));
}

TEST_F(LinuxMailImportTest, PassesOverSourcesThatGiveNothingUsable) {
  WriteMsmtp();
  struct Case {
    const char* what;
    std::function<void()> setUp;
  };
  const std::vector<Case> cases = {
      {"a profile without mail settings",
       [&] { WriteThunderbird("user_pref(\"browser.startup.page\", 3);\n"); }},
      {"a prefs.js that is a directory",
       [&] {
         fs::remove(fs::path(Home()) / ".thunderbird/q1w2.default-release/prefs.js");
         fs::create_directories(fs::path(Home()) / ".thunderbird/q1w2.default-release/prefs.js");
       }},
      {"a profiles.ini of binary garbage",
       [&] { Write(".thunderbird/profiles.ini", std::string("\0\xFF[\x01", 4)); }},
      {"an address with a line break and a server that is no UTF-8",
       [&] {
         Write(".config/evolution/sources/id.source",
               "[Mail Identity]\nAddress=evil@example.org\\nBcc: x\n"
               "[Mail Submission]\nTransportUid=tr\n");
         Write(".config/evolution/sources/tr.source",
               "[Mail Transport]\nBackendName=smtp\n[Authentication]\nHost=caf\xE9.example\n");
         Write(".config/evolution/sources/acc.source", "[Mail Account]\nIdentityUid=id\n");
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.setUp();
    EXPECT_EQ(Find().server, "msmtp.example");
  }
}

TEST_F(LinuxMailImportTest, DropsAPortThatIsNoNumber) {
  Write(".msmtprc", "account default\nhost msmtp.example\nport smtp\n");
  EXPECT_EQ(Find(), (MailSetup{"", "msmtp.example", "", "none", ""}));
}

TEST_F(LinuxMailImportTest, ReadsGitsOwnFileWhereXdgConfigHomePointsOrInDotConfig) {
  Write(".config/git/config", "[user]\nemail = dotconfig@example.org\n");
  Write("xdg/git/config", "[user]\nemail = xdg@example.org\n");
  EXPECT_EQ(Find().address, "dotconfig@example.org");
  EXPECT_EQ(Find(Home() + "/xdg").address, "xdg@example.org");
  EXPECT_EQ(Find("relative/xdg").address, "dotconfig@example.org") << "XDG paths are absolute";
  Write(".gitconfig", "[user]\nname = no address here\n");
  EXPECT_EQ(Find().address, "dotconfig@example.org");
  WriteGit();
  EXPECT_EQ(Find(Home() + "/xdg").address, "git@example.org") << "~/.gitconfig wins, as in git";
}

TEST_F(LinuxMailImportTest, EvolutionLivesInTheConfigurationDirectory) {
  WriteEvolution();
  fs::rename(fs::path(Home()) / ".config", fs::path(Home()) / "elsewhere");
  EXPECT_FALSE(Find().Found());
  EXPECT_EQ(Find(Home() + "/elsewhere").address, "evo@example.org");
}

TEST_F(LinuxMailImportTest, FindsNothingWithoutAHome) {
  WriteGit();
  EXPECT_FALSE(FindLinuxMailSetup({"", ""}).Found());
  EXPECT_FALSE(FindLinuxMailSetup({scratch_.File("missing"), ""}).Found());
}

}  // namespace
}  // namespace pelorin
