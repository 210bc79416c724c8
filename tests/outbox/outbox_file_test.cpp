// The bytes of a queued message on disk: every field comes back exactly, whatever it holds,
// and every kind of damage is refused with a reason instead of giving a wrong message.
#include "outbox/outbox_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pelorin {
namespace {

using namespace std::string_literals;

OutboxMessage Message(std::string recipient, std::string text, DraftFields draft) {
  OutboxMessage message;
  message.recipient = std::move(recipient);
  message.text = std::move(text);
  message.draft = std::move(draft);
  return message;
}

OutboxMessage Plain() {
  return Message("x@example.org", "Subject: S\r\n\r\nB\r\n", {"Ann", "x@example.org", "S", "B"});
}

void ExpectSameStoredFields(const OutboxMessage& read, const OutboxMessage& written) {
  EXPECT_EQ(read.recipient, written.recipient);
  EXPECT_EQ(read.text, written.text);
  EXPECT_EQ(read.draft, written.draft);
}

TEST(OutboxFileTest, EveryFieldComesBackExactly) {
  const std::vector<OutboxMessage> messages = {
      Plain(),
      Message("", "", {"", "", "", ""}),
      Message("a\r\nb", "line\r\n.\r\n\r\n", {"\n", "\r", "\r\n\r\n", "first\nsecond\n"}),
      Message("nul\0inside"s, "\0"s, {"\0\0"s, "e\0"s, "\0s"s, "m\0\n\0"s}),
      // Text that looks like the format itself.
      Message("recipient 3\nabc\n", "Pelorin 32 queued message 1\nmessage 0\n\n",
              {"name 99\n", "email x\n", "subject -1\n", "memo 0\n"}),
      Message("\xc3\xa4@example.org", std::string(100000, 'x') + "\r\n",
              {"J\xc3\xbcrgen", "\xff\xfe", "\x01\x7f", std::string(70000, '\n')}),
  };
  for (std::size_t i = 0; i < messages.size(); ++i) {
    SCOPED_TRACE("message " + std::to_string(i));
    std::string why;
    const std::optional<OutboxMessage> read = ParseOutboxFile(OutboxFileBytes(messages[i]), why);
    ASSERT_TRUE(read.has_value()) << why;
    EXPECT_EQ(why, "");
    ExpectSameStoredFields(*read, messages[i]);
  }
}

// A file written by this version must be read by the next one: the layout is fixed.
TEST(OutboxFileTest, TheLayoutIsLengthsAndBytesInAFixedOrder) {
  EXPECT_EQ(OutboxFileBytes(Plain()),
            "Pelorin 32 queued message 1\n"
            "recipient 13\nx@example.org\n"
            "name 3\nAnn\n"
            "email 13\nx@example.org\n"
            "subject 1\nS\n"
            "memo 1\nB\n"
            "message 17\nSubject: S\r\n\r\nB\r\n\n");
}

TEST(OutboxFileTest, EachKindOfDamageIsRefusedWithItsReason) {
  const std::string good = OutboxFileBytes(Plain());
  const std::string header = "Pelorin 32 queued message 1\n";
  const std::string afterRecipient = good.substr(0, good.find("name 3"));
  struct Case {
    const char* what;
    std::string bytes;
    std::string why;
  };
  const std::vector<Case> cases = {
      {"empty", "", "it is not a queued message of this program"},
      {"another format", "Pelorin 32 queued message 2\n" + good.substr(header.size()),
       "it is not a queued message of this program"},
      {"header without its line end", header.substr(0, header.size() - 1),
       "it is not a queued message of this program"},
      {"no field", header, "the field \"recipient\" is missing"},
      {"fields out of order", header + "name 0\n\nrecipient 0\n\n",
       "the field \"recipient\" is missing"},
      {"a name that only begins like the field", header + "recipients 0\n\n",
       "the field \"recipient\" is missing"},
      {"a name without its length", header + "recipient\n\n", "the field \"recipient\" is missing"},
      {"an empty length", header + "recipient \n\n", "the length of \"recipient\" is not a number"},
      {"a negative length", header + "recipient -1\n\n",
       "the length of \"recipient\" is not a number"},
      {"a length with more after it", header + "recipient 1x\nx\n",
       "the length of \"recipient\" is not a number"},
      {"a length with a leading zero", header + "recipient 01\nx\n",
       "the length of \"recipient\" is not a number"},
      {"a length with a plus sign", header + "recipient +1\nx\n",
       "the length of \"recipient\" is not a number"},
      {"a length with a blank after it", header + "recipient 1 \nx\n",
       "the length of \"recipient\" is not a number"},
      {"a length too large for any number", header + "recipient 99999999999999999999999\nx\n",
       "the length of \"recipient\" is not a number"},
      {"the largest length there is", header + "recipient 18446744073709551615\nx\n",
       "the field \"recipient\" is cut short"},
      {"the largest length before good fields",
       header + "recipient 18446744073709551615\n" + good.substr(afterRecipient.size()),
       "the field \"recipient\" is cut short"},
      {"a length one beyond the end", header + "recipient 3\nab\n",
       "the field \"recipient\" is cut short"},
      {"a length one short", header + "recipient 1\nab\n", "the field \"recipient\" is cut short"},
      {"a field after the recipient missing", afterRecipient, "the field \"name\" is missing"},
      {"bytes after the message", good + "x", "it holds more than one message"},
      {"two messages", good + good, "it holds more than one message"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string why;
    EXPECT_FALSE(ParseOutboxFile(c.bytes, why).has_value());
    EXPECT_EQ(why, c.why);
  }
}

// A file cut short anywhere, as a crash while writing it would leave it without the atomic
// rename, is never read as a message.
TEST(OutboxFileTest, AFileCutShortAnywhereIsRefused) {
  const std::string good = OutboxFileBytes(
      Message("a@example.org", "Subject: s\r\n\r\nline\r\n", {"", "a@example.org", "s", "l"}));
  for (std::size_t size = 0; size < good.size(); ++size) {
    SCOPED_TRACE("cut after " + std::to_string(size) + " bytes");
    std::string why;
    EXPECT_FALSE(ParseOutboxFile(good.substr(0, size), why).has_value());
    EXPECT_NE(why, "");
  }
}

}  // namespace
}  // namespace pelorin
