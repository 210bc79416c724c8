// Composed messages read back as a mail reader reads them: Python's email package (policy
// default) parses each form that can leave, the 8bit one the outbox keeps and its 7-bit
// quoted-printable form, and must find exactly what was typed, with a Date and a Message-ID
// it can parse and no defects.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "mail/compose_message.h"
#include "mail/mail_reader.h"
#include "mail/random_message_text.h"
#include "transport/mime_transfer.h"

namespace pelorin {
namespace {

const MessageStamp kStamp = {"Wed, 09 Dec 2026 14:05:09 +0100",
                             "<0123456789abcdef0123456789abcdef@example.com>"};

using app_test::ReadByMailReader;
using app_test::Text;

std::string WithoutLeadingBlanks(const std::string& text) {
  const std::size_t start = text.find_first_not_of(" \t");
  return start == std::string::npos ? std::string() : text.substr(start);
}

// Blanks in a plain name only separate its words.
std::string WordsOf(const std::string& text) {
  std::string words;
  std::size_t at = 0;
  while ((at = text.find_first_not_of(" \t", at)) != std::string::npos) {
    const std::size_t end = std::min(text.find_first_of(" \t", at), text.size());
    if (!words.empty()) words += ' ';
    words.append(text, at, end - at);
    at = end;
  }
  return words;
}

std::string TypedBody(const MessageFields& fields) {
  std::string body = "\r\n";
  for (const std::string& line : BodyLines(fields.memoLines)) body += line + "\r\n";
  return body;
}

// The reader found what was typed, in a message whose text is `message`.
void ExpectReadAsTyped(const QJsonObject& reading, const MessageFields& fields,
                       const std::string& message, const std::string& transferEncoding) {
  // A reader drops the blanks after "Subject:"; plain text keeps them as it always has.
  EXPECT_EQ(WithoutLeadingBlanks(Text(reading, "subject")), WithoutLeadingBlanks(fields.subject));
  const bool nameEncoded = message.find("\r\nTo: =?UTF-8?B?") != std::string::npos;
  if (nameEncoded) {
    EXPECT_EQ(Text(reading, "to_name"), fields.name);
  } else {
    EXPECT_EQ(WordsOf(Text(reading, "to_name")), WordsOf(fields.name));
  }
  EXPECT_EQ(reading.value(QLatin1String("to_count")).toInt(), 1);
  EXPECT_EQ(Text(reading, "to_address"), fields.email);
  EXPECT_EQ(Text(reading, "date"), "2026-12-09T14:05:09+01:00");
  EXPECT_EQ(Text(reading, "message_id"), kStamp.messageId);
  EXPECT_EQ(Text(reading, "content_type"), "text/plain");
  EXPECT_EQ(Text(reading, "charset"), "utf-8");
  EXPECT_EQ(Text(reading, "transfer_encoding"), transferEncoding);
  EXPECT_EQ(Text(reading, "body"), TypedBody(fields));
  EXPECT_TRUE(reading.value(QLatin1String("defects")).toArray().isEmpty())
      << QJsonDocument(reading.value(QLatin1String("defects")).toArray()).toJson().toStdString();
}

// Each message as composed and in its 7-bit form, read in one run of the reader.
void ExpectEveryFormReadAsTyped(const std::vector<MessageFields>& typed, const std::string& seed) {
  std::vector<std::string> messages;
  for (const MessageFields& fields : typed) {
    messages.push_back(ComposeMessage(fields, kStamp));
    messages.push_back(SevenBitForm(messages.back()));
  }
  std::vector<QJsonObject> readings;
  ASSERT_TRUE(ReadByMailReader(messages, readings));
  for (std::size_t i = 0; i < typed.size(); ++i) {
    SCOPED_TRACE(seed + " message " + std::to_string(i) + ":\n" + messages[2 * i]);
    const bool sevenBit = FitsSevenBit(TypedBody(typed[i]));
    ExpectReadAsTyped(readings[2 * i], typed[i], messages[2 * i], sevenBit ? "7bit" : "8bit");
    ExpectReadAsTyped(readings[2 * i + 1], typed[i], messages[2 * i + 1],
                      sevenBit ? "7bit" : "quoted-printable");
  }
}

const std::string kGreeting =
    "Gr\xC3\xBC\xC3\x9F"
    "e aus K\xC3\xB6ln \xE2\x80\x93 \xE6\x9D\xB1\xE4\xBA\xAC";
const std::string kEmoji = "\xF0\x9F\x98\x80\xF0\x9F\x8E\x89";

TEST(MessageReaderTest, ReadsTypedTextBeyondAsciiInEveryForm) {
  std::string longWord;
  for (int i = 0; i < 2000; ++i) longWord += i % 3 ? "x" : "\xC3\xA9";
  const std::vector<MessageFields> typed = {
      {kGreeting, kGreeting, "ann@example.org", "me@example.com", {kGreeting, kEmoji}},
      {kEmoji + " " + kGreeting + " " + kEmoji + " " + kGreeting + " " + kGreeting,
       "  J\xC3\xB6rg, \"der\" M\xC3\xBCller  ",
       "ann@example.org",
       "me@example.com",
       {longWord, std::string(998, 'a'), ".", std::string(997, 'a') + "\xC3\xA9", "", "."}},
      {longWord, longWord, "ann@example.org", "me@example.com", {std::string(2000, 'w')}},
      {"Plain", "Ann", "ann@example.org", "me@example.com", {std::string(998, '.'), ". "}},
      {"", "", "ann@example.org", "me@example.com", {}},
  };
  ExpectEveryFormReadAsTyped(typed, "examples");
}

TEST(MessageReaderTest, AShortNameBeyondAsciiReadsTheSameWithTheStructuredParser) {
  std::vector<QJsonObject> readings;
  ASSERT_TRUE(ReadByMailReader(
      {ComposeMessage({"S", kGreeting, "ann@example.org", "me@example.com", {}}, kStamp)},
      readings));
  EXPECT_EQ(Text(readings[0], "to_display_name"), kGreeting);
}

TEST(MessageReaderPropertyTest, ReadsRandomTypedTextAsTyped) {
  const unsigned seed = testing_support::TestSeed();
  testing_support::RandomMessageText random(seed);
  std::vector<MessageFields> typed;
  for (int i = 0; i < 150; ++i) typed.push_back(random.Fields());
  ExpectEveryFormReadAsTyped(typed, "PELORIN_TEST_SEED=" + std::to_string(seed));
}

}  // namespace
}  // namespace pelorin
