#include "transport/smtp_reply.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

namespace pelorin {
namespace {

struct CompletenessCase {
  std::string received;
  bool complete;
};

TEST(SmtpReplyComplete, WaitsForALineEndThatNoContinuationLineHolds) {
  const CompletenessCase cases[] = {
      {"", false},
      {"220 ready", false},
      {"220 ready\r", false},
      {"220 ready\n", true},
      {"220 ready\r\r\n", true},
      {"220 ready\n\r", true},
      {"220 ready\r\n", true},
      {"\r\n", true},
      {"250-first\r\n", false},
      {"250-first\r\n250-second\r\n", false},
      {"250-first\r\n250 last\r\n", true},
      {"250-first\r\n250 la", false},
      {"250 done\r\n250-more", true},
      {"220 ready\r\n250-more\r\n", false},
      {"250-\r\n", false},
      {"250-first\r\n\r\n", true},
      {"25-x\r\n", true},
      {"2500-x\r\n", true},
      {"abc-\r\n", true},
      {" 250-x\r\n", true},
      {"250-a\n250 b\n", true},
      {"250-a\n", false},
      {"250-a\r\n250-b\n", false},
      {"250-a\n250 b\r\n", true},
      {"250-a\r\n250 b\n", true},
      {"250-a\n250 b", false},
      {"\n", true},
      {"250-a\r\r\n", false},
      {"250 a\n250-b\n", false},
      {"250 a\n250-b", true},
  };
  for (const CompletenessCase& c : cases) {
    EXPECT_EQ(SmtpReplyComplete(c.received), c.complete) << '"' << c.received << '"';
  }
}

TEST(SmtpReplyComplete, LookingOnlyAtNewTextGivesTheSameAnswerAtEverySplit) {
  const std::string texts[] = {"220-mail.example ESMTP\r\n220 ready\r\n",
                               "250-a\r\n250-b\r\n250 c\r\n",
                               "354 go\r\n",
                               "\r\n\r\n",
                               "250-x\r\r\n\r\n250 y\r\n",
                               "421-a\r\n42",
                               "250-a\n250-b\n250 c\n",
                               "250-a\r\n250 b\n"};
  for (const std::string& text : texts) {
    for (std::size_t split = 0; split <= text.size(); ++split) {
      if (SmtpReplyComplete(text.substr(0, split))) continue;
      EXPECT_EQ(SmtpReplyCompleteAfter(text, split), SmtpReplyComplete(text))
          << '"' << text << "\" split at " << split;
    }
  }
}

struct NonSmtpCase {
  std::string reply;
  std::optional<std::string> line;  // the first line that is not SMTP, none when all are
};

TEST(FirstNonSmtpLine, FindsTheFirstEndedLineWithoutACode) {
  using namespace std::string_literals;
  const NonSmtpCase cases[] = {
      {"250 ok\r\n", std::nullopt},
      {"250 ok\n", std::nullopt},
      {"250-a\r\n250-b\n250 c\r\n", std::nullopt},
      {"250\r\n", std::nullopt},
      {"250-\r\n", std::nullopt},
      {"   250 ok\r\n", std::nullopt},
      {"550 no\0such user\r\n"s, std::nullopt},
      {"250 ok\r\nnot ended", std::nullopt},
      {"", std::nullopt},
      {"hello", std::nullopt},
      {"hello there\r\n", "hello there"},
      {"hello there\n", "hello there"},
      {"\r\n", ""},
      {"\n", ""},
      {"250-a\r\nhello\r\n250 b\r\n", "hello"},
      {"250 a\r\nfirst\r\nsecond\r\n", "first"},
      {"250 ok\r\n\r\n", ""},
      {"2500 x\r\n", "2500 x"},
      {"25 x\r\n", "25 x"},
      {"250x\r\n", "250x"},
      {"25a x\r\n", "25a x"},
      {"\t250 ok\r\n", "\t250 ok"},
      {"-250 ok\r\n", "-250 ok"},
      {"\0 250 ok\r\n"s, "\0 250 ok"s},
      {"250_ok\r\n", "250_ok"},
      {"250 ok\r\r\nx\r\n", "x"},
      {"hel\rlo\r\n", "hel\rlo"},
  };
  for (const NonSmtpCase& c : cases) {
    const std::optional<std::string_view> found = FirstNonSmtpLine(c.reply);
    ASSERT_EQ(found.has_value(), c.line.has_value()) << '"' << c.reply << '"';
    if (found) {
      EXPECT_EQ(*found, *c.line) << '"' << c.reply << '"';
    }
  }
}

TEST(IsSmtpContinuationLine, NeedsThreeDigitsThenAHyphen) {
  EXPECT_TRUE(IsSmtpContinuationLine("250-"));
  EXPECT_TRUE(IsSmtpContinuationLine("999-text"));
  EXPECT_FALSE(IsSmtpContinuationLine("250 text"));
  EXPECT_FALSE(IsSmtpContinuationLine("250"));
  EXPECT_FALSE(IsSmtpContinuationLine("25a-"));
  EXPECT_FALSE(IsSmtpContinuationLine("-250-"));
}

struct CodeCase {
  std::string reply;
  int code;
};

TEST(SmtpReplyCode, ReadsTheLeadingDigitsAfterBlanks) {
  const CodeCase cases[] = {
      {"250 ok\r\n", 250}, {"250-ok\r\n", 250}, {"\r\n", 0},     {"", 0},  {"   354 go\r\n", 354},
      {"\t250 ok\r\n", 0}, {"ok 250\r\n", 0},   {"0250 x", 250}, {"5", 5}, {"250garbage", 250},
      {"221", 221},        {" -250", 0},
  };
  for (const CodeCase& c : cases) EXPECT_EQ(SmtpReplyCode(c.reply), c.code) << c.reply;
}

TEST(SmtpReplyCode, EndlessDigitsMatchNoRealCodeInsteadOfOverflowing) {
  const int code = SmtpReplyCode(std::string(400, '9') + " x\r\n");
  EXPECT_GT(code, 999);
  EXPECT_EQ(SmtpReplyCode(std::string(40, '0') + "250"), 250);
}

}  // namespace
}  // namespace pelorin
