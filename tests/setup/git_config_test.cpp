// The user's address in a git configuration file, read as git reads it.
#include "setup/git_config.h"

#include <gtest/gtest.h>

namespace pelorin {
namespace {

TEST(GitConfigTest, FindsTheLastUserEmail) {
  struct Case {
    const char* what;
    const char* config;
    const char* email;
  };
  const std::vector<Case> cases = {
      {"as git config writes it",
       "[core]\n\tautocrlf = input\n[user]\n\tname = Ann Example\n\temail = ann@example.org\n"
       "[pull]\n\trebase = true\n",
       "ann@example.org"},
      {"names in any case, the last one wins",
       "[User]\nEMail = first@example.org\n[USER]\n  email=second@example.org\n",
       "second@example.org"},
      {"comments and quotes",
       "# my settings\n[user] ; personal\n  email = \"ann #1@example.org\" # not a comment "
       "inside\n",
       "ann #1@example.org"},
      {"escapes and a continued line", "[user]\n\temail = \"a\\\"b\\\\c\"@exa\\\nmple.org\n",
       "a\"b\\c@example.org"},
      {"a variable on the header's line", "[user] email = inline@example.org\n",
       "inline@example.org"},
      {"a sub-section is another section",
       "[user \"work\"]\n\temail = work@example.org\n[user.old]\nemail = old@example.org\n", ""},
      {"an email of another section", "[sendemail]\n\temail = no@example.org\n", ""},
      {"a boolean-style key without value", "[user]\n\temail\n", ""},
      {"CR LF line ends", "[user]\r\n\temail = crlf@example.org\r\n", "crlf@example.org"},
      {"an unclosed header", "[user\nemail = x@example.org\n", ""},
      {"binary garbage", "\xFF\xFE\0\0[user", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReadGitUserEmail(c.config), c.email) << c.what;
  }
}

}  // namespace
}  // namespace pelorin
