// The composed message text byte for byte, and how memo lines become body lines.
#include "app/compose_message.h"

#include <gtest/gtest.h>

namespace pelorin {
namespace {

const std::string kHeaderTail =
    "X-Mailer: Pelorin 1.06\r\n"
    "X-Advertisment: Check out Vantrel at https://pelorin32.example.org/\r\n"
    "\r\n"
    "\r\n";

MessageFields Fields(std::vector<std::string> memoLines) {
  MessageFields fields;
  fields.subject = "S";
  fields.name = "N";
  fields.email = "a@example.org";
  fields.sender = "me@example.com";
  fields.memoLines = std::move(memoLines);
  return fields;
}

TEST(ComposeMessageTest, LaysOutHeaderTwoBlankLinesAndBody) {
  EXPECT_EQ(ComposeMessage(Fields({"L1", "L2"})),
            "Subject: S\r\nTo: N <a@example.org>\r\nFrom: me@example.com\r\n" + kHeaderTail +
                "L1\r\nL2\r\n");
}

TEST(ComposeMessageTest, EmptyMemoEndsWithTheTwoBlankLines) {
  EXPECT_EQ(ComposeMessage(Fields({})),
            "Subject: S\r\nTo: N <a@example.org>\r\nFrom: me@example.com\r\n" + kHeaderTail);
}

TEST(ComposeMessageTest, NoSelectedNameLeavesTwoBlanksBeforeTheAddress) {
  MessageFields fields = Fields({});
  fields.name.clear();
  EXPECT_NE(ComposeMessage(fields).find("\r\nTo:  <a@example.org>\r\n"), std::string::npos);
}

TEST(ComposeMessageTest, EmptyFieldsAreSentAsTheyAre) {
  EXPECT_EQ(ComposeMessage(MessageFields{}), "Subject: \r\nTo:  <>\r\nFrom: \r\n" + kHeaderTail);
}

TEST(ComposeMessageTest, LineBreaksInHeaderFieldsBecomeBlanks) {
  MessageFields fields;
  fields.subject = "Hi\r\nBcc: x@evil";
  fields.name = "A\nB";
  fields.email = "a@x\r";
  fields.sender = "me\n@x";
  EXPECT_EQ(ComposeMessage(fields),
            "Subject: Hi  Bcc: x@evil\r\nTo: A B <a@x >\r\nFrom: me @x\r\n" + kHeaderTail);
}

TEST(ComposeMessageTest, BodyLinesAreSplitAtEveryKindOfLineBreak) {
  struct Case {
    std::vector<std::string> memo;
    std::vector<std::string> body;
  };
  const std::vector<Case> cases = {
      {{}, {}},
      {{""}, {""}},
      {{"a", "", "b"}, {"a", "", "b"}},
      {{"a\r\nb"}, {"a", "b"}},
      {{"a\rb"}, {"a", "b"}},
      {{"a\nb"}, {"a", "b"}},
      {{"a\n\rb"}, {"a", "", "b"}},
      {{"a\r\n\r\nb"}, {"a", "", "b"}},
      {{"a\r"}, {"a", ""}},
      {{".", ".x"}, {".", ".x"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.memo));
    EXPECT_EQ(BodyLines(c.memo), c.body);
  }
}

TEST(ComposeMessageTest, MessageTextHoldsNoBareCarriageReturnOrLineFeed) {
  const std::string text = ComposeMessage(Fields({"a\rb\nc", "d\r\n", "\n\r"}));
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      ASSERT_LT(i + 1, text.size());
      EXPECT_EQ(text[i + 1], '\n') << "bare CR at " << i;
    } else if (text[i] == '\n') {
      ASSERT_GT(i, 0u);
      EXPECT_EQ(text[i - 1], '\r') << "bare LF at " << i;
    }
  }
  EXPECT_NE(text.find("\r\n\r\na\r\nb\r\nc\r\nd\r\n\r\n\r\n\r\n"), std::string::npos);
}

}  // namespace
}  // namespace pelorin
