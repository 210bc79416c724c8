// The 7-bit form of a message: quoted-printable bytes for each kind of line, the header line
// that changes, and when the form on the wire is the 7-bit one.
#include "transport/mime_transfer.h"

#include <gtest/gtest.h>

namespace pelorin {
namespace {

const std::string kHeaderStart =
    "Subject: s\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n";

std::string Message(const std::string& transferEncoding, const std::string& body) {
  return kHeaderStart + "Content-Transfer-Encoding: " + transferEncoding + "\r\n\r\n" + body;
}

TEST(QuotedPrintableTest, EncodesWhatCannotGoAsItIs) {
  struct Case {
    std::string body;
    std::string encoded;
  };
  const std::vector<Case> cases = {
      {"", ""},
      {"\r\n", "\r\n"},
      {"plain text.\r\n.\r\n", "plain text.\r\n.\r\n"},
      {"a=b\r\n", "a=3Db\r\n"},
      {"Gr\xC3\xBC\xC3\x9F"
       "e\r\n",
       "Gr=C3=BC=C3=9Fe\r\n"},
      {"blank at end \r\ntab at end\t\r\n", "blank at end=20\r\ntab at end=09\r\n"},
      {"inner \t blanks\r\n", "inner \t blanks\r\n"},
      {"bare\rCR and\nLF\r\n", "bare=0DCR and=0ALF\r\n"},
      {std::string("nul\0", 4) + "\x7F\r\n", "nul=00=7F\r\n"},
      {"no line end", "no line end"},
      {"ends in blank ", "ends in blank=20"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    EXPECT_EQ(QuotedPrintable(c.body), c.encoded);
  }
}

TEST(QuotedPrintableTest, BreaksLongLinesSoftlyWithin76Characters) {
  EXPECT_EQ(QuotedPrintable(std::string(76, 'a') + "\r\n"), std::string(76, 'a') + "\r\n");
  EXPECT_EQ(QuotedPrintable(std::string(77, 'a') + "\r\n"), std::string(75, 'a') + "=\r\naa\r\n");
  // An encoded byte is never cut, and a blank before a soft break is not at the line's end.
  EXPECT_EQ(QuotedPrintable(std::string(74, 'a') + "\xC3\xA9"),
            std::string(74, 'a') + "=\r\n=C3=A9");
  EXPECT_EQ(QuotedPrintable(std::string(74, 'a') + " bc"), std::string(74, 'a') + " =\r\nbc");
  const std::string encoded =
      QuotedPrintable(std::string(2000, 'x') + "\r\n" + std::string(998, '\xE6') + "\r\n");
  EXPECT_LE(LongestLine(encoded), 76u);
}

TEST(SevenBitFormTest, Turns8bitIntoQuotedPrintableAndLeavesTheRestAlone) {
  EXPECT_EQ(SevenBitForm(Message("8bit", "\r\nK\xC3\xB6ln\r\n.\r\n")),
            Message("quoted-printable", "\r\nK=C3=B6ln\r\n.\r\n"));
  const std::vector<std::string> unchanged = {
      Message("7bit", "\r\nplain\r\n"),
      Message("quoted-printable", "\r\nK=C3=B6ln\r\n"),
      "Subject: no MIME header\r\n\r\n\r\nK\xC3\xB6ln\r\n",
      "Subject: x-8bit\r\nX-Note: Content-Transfer-Encoding: 8bit\r\n\r\n\xC3\xB6\r\n",
      "Subject: no body, no end of header\r\n",
      "",
  };
  for (const std::string& message : unchanged) EXPECT_EQ(SevenBitForm(message), message);
  // The body's own text is never taken for the header line.
  const std::string body = "\r\nContent-Transfer-Encoding: 8bit\r\n";
  EXPECT_EQ(SevenBitForm(Message("8bit", body)), Message("quoted-printable", body));
}

TEST(TransferFormTest, Goes7BitUnlessTheServerTakes8BitAndEveryLineFits) {
  const std::string nonAscii = Message("8bit", "\r\nK\xC3\xB6ln\r\n");
  const std::string longAscii = Message("8bit", "\r\n" + std::string(999, 'a') + "\r\n");
  const std::string longest = Message("8bit", "\r\n" + std::string(998, '\xC3') + "\r\n");
  EXPECT_EQ(TransferForm(nonAscii, false), SevenBitForm(nonAscii));
  EXPECT_EQ(TransferForm(nonAscii, true), nonAscii);
  EXPECT_EQ(TransferForm(longAscii, true), SevenBitForm(longAscii));
  EXPECT_EQ(TransferForm(longest, true), longest);
  EXPECT_EQ(TransferForm(Message("7bit", "\r\nx\r\n"), false), Message("7bit", "\r\nx\r\n"));
}

TEST(FitsSevenBitTest, TakesAsciiLinesWithinTheLimitOnly) {
  EXPECT_TRUE(FitsSevenBit(""));
  EXPECT_TRUE(FitsSevenBit("\r\n" + std::string(998, '~') + "\r\n\x7F\x01\r\n"));
  EXPECT_FALSE(FitsSevenBit(std::string(999, 'a')));
  EXPECT_FALSE(FitsSevenBit("\xC3\xB6"));
  EXPECT_FALSE(FitsSevenBit(std::string("a\0b", 3)));
  EXPECT_FALSE(FitsSevenBit("bare\rCR"));
  EXPECT_FALSE(FitsSevenBit("bare\nLF"));
}

}  // namespace
}  // namespace pelorin
