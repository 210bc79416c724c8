// The composed message text byte for byte, how memo lines become body lines, and the limits
// every composed message keeps: a 7-bit header, lines folded at 78 where they can be (76 where
// they hold an encoded word), no line past 998 bytes in the form that goes on the wire.
#include "mail/compose_message.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QStringDecoder>

#include "mail/mime_header.h"
#include "mail/random_message_text.h"
#include "transport/mime_transfer.h"

namespace pelorin {
namespace {

const MessageStamp kStamp = {"Wed, 09 Dec 2026 14:05:09 +0100",
                             "<0123456789abcdef0123456789abcdef@example.com>"};

std::string HeaderTail(const std::string& transferEncoding = "7bit") {
  return "X-Mailer: Pelorin 1.06\r\n"
         "X-Advertisment: Check out Vantrel at https://pelorin32.example.org/\r\n"
         "Date: Wed, 09 Dec 2026 14:05:09 +0100\r\n"
         "Message-ID: <0123456789abcdef0123456789abcdef@example.com>\r\n"
         "MIME-Version: 1.0\r\n"
         "Content-Type: text/plain; charset=UTF-8\r\n"
         "Content-Transfer-Encoding: " +
         transferEncoding +
         "\r\n"
         "\r\n"
         "\r\n";
}

// Built whole rather than assigned field by field: GCC 12 takes the assignment of a short
// literal for an overlapping copy (-Wrestrict) when it inlines it at -O2 and above.
MessageFields Fields(std::vector<std::string> memoLines, std::string subject = "S",
                     std::string name = "N") {
  return {std::move(subject), std::move(name), "a@example.org", "me@example.com",
          std::move(memoLines)};
}

std::string Compose(const MessageFields& fields) {
  return ComposeMessage(fields, kStamp);
}

std::string Header(const std::string& message) {
  return message.substr(0, message.find("\r\n\r\n") + 2);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

// The header field that begins with `name`, its continuation lines joined back.
std::string UnfoldedField(const std::string& message, const std::string& name) {
  const std::string header = Header(message);
  std::size_t start = header.find(name + ": ");
  if (start == std::string::npos) return "<no " + name + " field>";
  std::string field;
  for (std::size_t end = header.find("\r\n", start);; end = header.find("\r\n", start)) {
    field += header.substr(start, end - start);
    start = end + 2;
    if (start >= header.size() || (header[start] != ' ' && header[start] != '\t')) break;
  }
  return field;
}

TEST(ComposeMessageTest, LaysOutHeaderTwoBlankLinesAndBody) {
  EXPECT_EQ(Compose(Fields({"L1", "L2"})),
            "Subject: S\r\nTo: N <a@example.org>\r\nFrom: me@example.com\r\n" + HeaderTail() +
                "L1\r\nL2\r\n");
}

TEST(ComposeMessageTest, EmptyMemoEndsWithTheTwoBlankLines) {
  EXPECT_EQ(Compose(Fields({})),
            "Subject: S\r\nTo: N <a@example.org>\r\nFrom: me@example.com\r\n" + HeaderTail());
}

TEST(ComposeMessageTest, NoSelectedNameLeavesTwoBlanksBeforeTheAddress) {
  EXPECT_NE(Compose(Fields({}, "S", "")).find("\r\nTo:  <a@example.org>\r\n"), std::string::npos);
}

TEST(ComposeMessageTest, EmptyFieldsAreSentAsTheyAre) {
  EXPECT_EQ(Compose(MessageFields{}), "Subject: \r\nTo:  <>\r\nFrom: \r\n" + HeaderTail());
}

TEST(ComposeMessageTest, LineBreaksInHeaderFieldsBecomeBlanks) {
  const MessageFields fields = {"Hi\r\nBcc: x@evil", "A\nB", "a@x\r", "me\n@x", {}};
  EXPECT_EQ(Compose(fields),
            "Subject: Hi  Bcc: x@evil\r\nTo: A B <a@x >\r\nFrom: me @x\r\n" + HeaderTail());
}

TEST(ComposeMessageTest, ComposedNowCarriesTheSendersDomainInItsMessageId) {
  const std::string message = ComposeMessage(Fields({}));
  const std::string id = UnfoldedField(message, "Message-ID");
  EXPECT_EQ(id.substr(id.size() - 13), "@example.com>") << id;
  EXPECT_NE(id, UnfoldedField(ComposeMessage(Fields({})), "Message-ID"));
}

TEST(ComposeMessageTest, BodyGoesAs7bitOnlyWhenItIsAsciiWithinTheLineLimit) {
  struct Case {
    std::vector<std::string> memo;
    std::string transferEncoding;
  };
  const std::vector<Case> cases = {
      {{}, "7bit"},
      {{"plain", "~ text ~"}, "7bit"},
      {{std::string(998, 'a')}, "7bit"},
      {{std::string(999, 'a')}, "8bit"},
      {{"Gr\xC3\xBC\xC3\x9F"
        "e"},
       "8bit"},
      {{"ok", "\x7F"}, "7bit"},
      {{std::string("nul\0byte", 8)}, "8bit"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.memo));
    const std::string message = Compose(Fields(c.memo));
    EXPECT_EQ(UnfoldedField(message, "Content-Transfer-Encoding"),
              "Content-Transfer-Encoding: " + c.transferEncoding);
  }
}

TEST(ComposeMessageTest, NonAsciiSubjectAndNameGoAsEncodedWords) {
  const std::string message = Compose(Fields({"Gr\xC3\xBC\xC3\x9F"
                                              "e"},
                                             "Gr\xC3\xBC\xC3\x9F"
                                             "e",
                                             "J\xC3\xB6rg"));
  EXPECT_EQ(message.substr(0, message.find("From:")),
            "Subject: =?UTF-8?B?R3LDvMOfZQ==?=\r\n"
            "To: =?UTF-8?B?SsO2cmc=?= <a@example.org>\r\n");
  EXPECT_EQ(message.substr(message.size() - 9),
            "Gr\xC3\xBC\xC3\x9F"
            "e\r\n");
}

TEST(ComposeMessageTest, AsciiThatAReaderWouldMisreadIsEncodedToo) {
  struct Case {
    std::string subject;
    std::string name;
  };
  // Encoded-word look-alikes, control characters, words past any line, specials in a name.
  const std::vector<Case> cases = {
      {"=?UTF-8?B?eA==?=", "=?x?="},
      {"bell\x07", "tab\tfree\x01"},
      {std::string(1000, 'w'), "Smith, John"},
      {"ok", "Ann <ann@x>"},
      {"ok", "\"Quoted\""},
      {"ok", "a(b)"},
      {"ok", "J. R. Smith"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.subject + " / " + c.name);
    const std::string message = Compose(Fields({}, c.subject, c.name));
    const bool subjectPlain = c.subject == "ok";
    EXPECT_EQ(UnfoldedField(message, "Subject").rfind("Subject: =?UTF-8?B?", 0) == 0,
              !subjectPlain);
    EXPECT_EQ(UnfoldedField(message, "To").rfind("To: =?UTF-8?B?", 0), 0u);
  }
}

TEST(ComposeMessageTest, PlainNamesAndSubjectsKeepTheirBytes) {
  const std::vector<std::string> names = {"N", "Ann-Marie O'Neil", "  two  blanks ",
                                          "a_b!#$%&*+/?^{|}~"};
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const std::string message = Compose(Fields({}, name, name));
    EXPECT_EQ(Lines(message)[0], "Subject: " + name);
    EXPECT_EQ(Lines(message)[1], "To: " + name + " <a@example.org>");
  }
}

TEST(ComposeMessageTest, LongPlainSubjectFoldsBeforeABlankAndUnfoldsToItself) {
  const std::string subject =
      "A subject that runs on and on, well past the width that a header line should have, "
      "to see where it folds";
  const std::string message = Compose(Fields({}, subject));
  EXPECT_EQ(message.substr(0, message.find("To:")),
            "Subject: A subject that runs on and on, well past the width that a header line\r\n"
            " should have, to see where it folds\r\n");
  EXPECT_EQ(UnfoldedField(message, "Subject"), "Subject: " + subject);
}

TEST(ComposeMessageTest, LongNameFoldsAndTheAddressMovesToALineOfItsOwn) {
  const std::string name(70, 'n');
  const std::string message = Compose(Fields({}, "S", name));
  EXPECT_EQ(Lines(message)[1], "To: " + name);
  EXPECT_EQ(Lines(message)[2], " <a@example.org>");
}

TEST(ComposeMessageTest, EncodedWordsHoldWholeCharactersAndFitTheirLength) {
  std::string text;
  for (int i = 0; i < 40; ++i) text += "a\xC3\xBC\xE6\x9D\xB1\xF0\x9F\x98\x80";
  for (const std::size_t first : {10u, 40u, 69u, 74u, 200u}) {
    SCOPED_TRACE(first);
    std::string decoded;
    const std::vector<std::string> words = EncodedWords(text, first);
    for (std::size_t i = 0; i < words.size(); ++i) {
      const std::string& word = words[i];
      EXPECT_LE(word.size(), i == 0 ? std::max<std::size_t>(first, 20) : 75u) << word;
      ASSERT_EQ(word.rfind("=?UTF-8?B?", 0), 0u);
      ASSERT_EQ(word.substr(word.size() - 2), "?=");
      const QByteArray bytes =
          QByteArray::fromBase64(QByteArray::fromStdString(word.substr(10, word.size() - 12)));
      QStringDecoder utf8(QStringDecoder::Utf8);
      const QString characters = utf8.decode(bytes);
      EXPECT_FALSE(utf8.hasError()) << "word " << i << " splits a character";
      decoded += bytes.toStdString();
    }
    EXPECT_EQ(decoded, text);
  }
}

// A header line longer than the folding limit is only one that has no blank to fold at
// between two of its words (a field's name not counted).
bool CouldHaveBeenFolded(const std::string& line) {
  const bool continuation = line[0] == ' ' || line[0] == '\t';
  const std::size_t firstWord =
      line.find_first_not_of(" \t", continuation ? 0 : line.find(':') + 1);
  const std::size_t blank = line.find_first_of(" \t", firstWord);
  return blank != std::string::npos && line.find_first_not_of(" \t", blank) != std::string::npos;
}

TEST(ComposeMessagePropertyTest, EveryFormKeepsTheLineLimitsAndA7BitHeader) {
  const unsigned seed = testing_support::TestSeed();
  SCOPED_TRACE("PELORIN_TEST_SEED=" + std::to_string(seed));
  testing_support::RandomMessageText random(seed);
  for (int round = 0; round < 500; ++round) {
    const MessageFields fields = random.Fields();
    const std::string message = Compose(fields);
    const std::string sevenBit = SevenBitForm(message);
    for (const std::string& line : Lines(Header(message))) {
      ASSERT_TRUE(line.size() <= kFoldedLineLimit || !CouldHaveBeenFolded(line))
          << "round " << round << ": could have been folded: " << line;
      if (line.find("=?UTF-8?B?") != std::string::npos) {
        ASSERT_LE(line.size(), kEncodedWordLineLimit) << "round " << round << ": " << line;
      }
      ASSERT_LE(line.size(), kMaxMessageLineBytes) << "round " << round;
      for (const char c : line) ASSERT_LT(static_cast<unsigned char>(c), 128u) << line;
    }
    ASSERT_LE(LongestLine(TransferForm(message, true)), kMaxMessageLineBytes) << round;
    ASSERT_LE(LongestLine(sevenBit), kMaxMessageLineBytes) << "round " << round;
    for (const char c : sevenBit) ASSERT_LT(static_cast<unsigned char>(c), 128u) << round;
  }
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
  const std::string text = Compose(Fields({"a\rb\nc", "d\r\n", "\n\r"}));
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
