// Evolution's account sources as Evolution writes them: an account names its identity, the
// identity its transport; builtin and disabled accounts stand beside the real ones.
#include "setup/evolution_sources.h"

#include <gtest/gtest.h>

#include "setup/key_file.h"
#include "setup/mail_setup_print.h"

namespace pelorin {
namespace {

SourceFile Account(const std::string& uid, const std::string& identity, bool enabled = true) {
  return {uid, "[Data Source]\nDisplayName=" + uid + "\nEnabled=" + (enabled ? "true" : "false") +
                   "\nParent=\n\n[Offline]\nStaySynchronized=true\n\n"
                   "[Mail Account]\nBackendName=imapx\nIdentityUid=" +
                   identity + "\nArchiveFolder=\nNeedsInitialSetup=false\n"};
}

SourceFile Identity(const std::string& uid, const std::string& address,
                    const std::string& transport) {
  return {uid, "[Data Source]\nDisplayName=" + address +
                   "\nEnabled=true\nParent=acc\n\n[Mail Composition]\nBcc=\nCc=\n\n"
                   "[Mail Identity]\nAddress=" +
                   address +
                   "\nAliases=\nName=Ann\\sExample\nReplyTo=\nSignatureUid=none\n\n"
                   "[Mail Submission]\nSentFolder=folder://acc/Sent\nTransportUid=" +
                   transport + "\nRepliesToOriginFolder=false\n"};
}

SourceFile Transport(const std::string& uid, const std::string& backend,
                     const std::string& authentication, const std::string& security) {
  return {uid,
          "[Data Source]\nDisplayName=SMTP\nEnabled=true\nParent=acc\n\n"
          "[Mail Transport]\nBackendName=" +
              backend +
              "\n\n"
              "[Authentication]\n" +
              authentication +
              "Method=PLAIN\nRememberPassword=true\nProxyUid=system-proxy\n\n"
              "[Security]\nMethod=" +
              security + "\n"};
}

// The builtin accounts every Evolution set-up has.
std::vector<SourceFile> BuiltinSources() {
  return {{"local",
           "[Data Source]\nDisplayName=On This Computer\nEnabled=true\nParent=\n\n"
           "[Mail Account]\nBackendName=maildir\nIdentityUid=\nBuiltin=true\n"},
          {"vfolder",
           "[Data Source]\nDisplayName=Search Folders\nEnabled=true\n\n"
           "[Mail Account]\nBackendName=vfolder\nBuiltin=true\n"}};
}

std::vector<SourceFile> With(std::vector<SourceFile> files) {
  for (SourceFile& builtin : BuiltinSources()) files.push_back(std::move(builtin));
  return files;
}

struct Case {
  const char* what;
  std::vector<SourceFile> files;
  MailSetup expected;
};

TEST(EvolutionSourcesTest, FollowsAccountIdentityAndTransport) {
  const std::string submission = "Host=smtp.example.org\nPort=587\nUser=ann\n";
  const std::vector<Case> cases = {
      {"one account",
       With({Account("1675.1@host", "1675.2@host"),
             Identity("1675.2@host", "ann@example.org", "1675.3@host"),
             Transport("1675.3@host", "smtp", submission, "starttls-on-standard-port")}),
       {"ann@example.org", "smtp.example.org", "587", "starttls", "ann"}},
      {"the first enabled account in uid order",
       With({Account("b-acc", "b-id"), Identity("b-id", "bee@example.org", "b-tr"),
             Transport("b-tr", "smtp", "Host=b.example\nPort=465\n", "ssl-on-alternate-port"),
             Account("a-acc", "a-id", false), Identity("a-id", "ay@example.org", "a-tr"),
             Transport("a-tr", "smtp", "Host=a.example\n", "none")}),
       {"bee@example.org", "b.example", "465", "tls", ""}},
      {"a transport that is not SMTP gives no server",
       With({Account("acc", "id"), Identity("id", "ann@example.org", "tr"),
             Transport("tr", "sendmail", "", "none")}),
       {"ann@example.org", "", "", "", ""}},
      {"an identity whose account is gone",
       {Identity("id", "lone@example.org", "tr"),
        Transport("tr", "smtp", "Host=lone.example\nPort=0\n", "ssl-on-alternate-port")},
       {"lone@example.org", "lone.example", "465", "tls", ""}},
      {"only the builtin accounts", BuiltinSources(), {}},
      {"an unreadable file among them",
       With({{"garbage", std::string("\xFF\xFE[\0=\n", 6)},
             Account("acc", "id"),
             Identity("id", "ann@example.org", "missing")}),
       {"ann@example.org", "", "", "", ""}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReadEvolutionSources(c.files), c.expected) << c.what;
  }
}

TEST(KeyFileTest, ReadsGroupsKeysAndGLibEscapes) {
  const KeyFile file = KeyFile::Parse(
      "# comment\nbefore=any group\n[A]\n  key = spaced value  \nName[de]=Lokal\n"
      "escaped=\\sfront\\ttab\\\\back\\nline\nno equals sign\n[B]\nkey=b\n[A]\nlater=yes\n"
      "key=last\n",
      ValueEscapes::GLib);
  EXPECT_EQ(file.Value("A", "key"), "last");
  EXPECT_EQ(file.Value("A", "escaped"), " front\ttab\\back\nline");
  EXPECT_EQ(file.Value("A", "later"), "yes");
  EXPECT_EQ(file.Value("A", "Name[de]"), "Lokal");
  EXPECT_EQ(file.Value("B", "key"), "b");
  EXPECT_EQ(file.Value("", "before"), "");
  EXPECT_EQ(file.Groups().size(), 2u);
  EXPECT_EQ(KeyFile::Parse("[A]\nv=a\\sb\n", ValueEscapes::None).Value("A", "v"), "a\\sb");
}

}  // namespace
}  // namespace pelorin
