// ~/.msmtprc as msmtp users write it: defaults, several accounts, inheritance and a default
// account that is not the first.
#include "setup/msmtprc.h"

#include <gtest/gtest.h>

#include "setup/mail_setup_print.h"

namespace pelorin {
namespace {

const char* const kConfig = R"(# Set default values for all following accounts.
defaults
auth           on
tls            on
tls_trust_file /etc/ssl/certs/ca-certificates.crt
logfile        ~/.msmtp.log

# Gmail
account        gmail
host           smtp.gmail.com
port           587
from           ann.example@gmail.com
user           ann.example
passwordeval   "gpg --quiet --for-your-eyes-only --no-tty --decrypt ~/.msmtp-gmail.gpg"

# Work, tunnelled through TLS
account        work
host           mail.work.example
tls_starttls   off
from           ann@work.example
user           "ann \"the\" example"
password       not-to-be-read

	# indented comment
account default : work
)";

TEST(MsmtprcTest, ReadsTheDefaultAccountWithWhatItInherits) {
  EXPECT_EQ(ReadMsmtprc(kConfig), (MailSetup{"ann@work.example", "mail.work.example", "465", "tls",
                                             "ann \"the\" example"}));
}

TEST(MsmtprcTest, DefaultAccountAndSecurityRules) {
  struct Case {
    const char* what;
    const char* config;
    MailSetup expected;
  };
  const std::vector<Case> cases = {
      {"no default: the first account",
       "account first\nhost one.example\nfrom one@example.org\n"
       "account second\nhost two.example\n",
       {"one@example.org", "one.example", "", "none", ""}},
      {"an account named default",
       "account other\nhost other.example\n"
       "account default\nhost main.example\nport 2525\ntls\nuser me\n",
       {"", "main.example", "2525", "starttls", "me"}},
      {"several accounts inherited: the later ones win",
       "account early\nhost early.example\ndefaults\ntls on\naccount late\nhost late.example\n"
       "account default : early, late\n",
       {"", "late.example", "", "starttls", ""}},
      {"an inherited account overridden in place",
       "account base\nhost base.example\nfrom base@example.org\ntls on\n"
       "account default : base\ntls off\n",
       {"base@example.org", "base.example", "", "none", ""}},
      {"an address without a server",
       "account default\nfrom only@example.org\n",
       {"only@example.org", "", "", "", ""}},
      {"no account at all", "defaults\nhost lost.example\n", {}},
      {"binary garbage", "\x01\x02\xFF\xFE account", {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReadMsmtprc(c.config), c.expected) << c.what;
  }
}

}  // namespace
}  // namespace pelorin
