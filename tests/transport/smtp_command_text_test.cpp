#include "transport/smtp_command_text.h"

#include <gtest/gtest.h>

#include <string>

namespace pelorin {
namespace {

using namespace std::string_literals;

struct CommandTextCase {
  std::string text;
  bool unsafe;
  std::string cleaned;
  std::string shown;
};

TEST(SmtpCommandText, FindsRemovesAndShowsCrLfAndNul) {
  const CommandTextCase cases[] = {
      {"me@example.org", false, "me@example.org", "me@example.org"},
      {"", false, "", ""},
      {"a\rb", true, "ab", "a<CR>b"},
      {"a\nb", true, "ab", "a<LF>b"},
      {"a\0b"s, true, "ab", "a<NUL>b"},
      {"\r\n\0"s, true, "", "<CR><LF><NUL>"},
      {"tab\tand\x1a", false, "tab\tand\x1a", "tab\tand\x1a"},
  };
  for (const CommandTextCase& c : cases) {
    EXPECT_EQ(HasLineBreakOrNul(c.text), c.unsafe) << c.shown;
    EXPECT_EQ(WithoutLineBreaksOrNul(c.text), c.cleaned) << c.shown;
    EXPECT_EQ(WithLineBreaksShown(c.text), c.shown);
  }
}

}  // namespace
}  // namespace pelorin
