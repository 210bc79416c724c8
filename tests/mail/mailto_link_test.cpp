// Pre-filling from a mailto: link: what lands in the address, the subject and the body.
#include "mail/mailto_link.h"

#include <gtest/gtest.h>

#include "mail/utf8_text.h"

namespace pelorin {

void PrintTo(const MailtoFields& fields, std::ostream* out) {
  *out << "{email \"" << fields.email << "\", subject \"" << fields.subject << "\", body \""
       << fields.body << "\"}";
}

}  // namespace pelorin

namespace {

using pelorin::MailtoFields;
using pelorin::ParseMailtoLink;

struct LinkCase {
  const char* link;
  MailtoFields expected;
};

class MailtoLinkTest : public ::testing::TestWithParam<LinkCase> {};

TEST_P(MailtoLinkTest, FillsRecipientsSubjectAndBody) {
  EXPECT_EQ(ParseMailtoLink(GetParam().link), GetParam().expected) << GetParam().link;
}

// The examples that RFC 6068 gives in its section 6 (and the equivalent forms of section 2).
INSTANTIATE_TEST_SUITE_P(
    StandardExamples, MailtoLinkTest,
    ::testing::Values(
        LinkCase{"mailto:chris@example.com", {"chris@example.com", "", ""}},
        LinkCase{"mailto:infobot@example.com?subject=current-issue",
                 {"infobot@example.com", "current-issue", ""}},
        LinkCase{"mailto:infobot@example.com?body=send%20current-issue",
                 {"infobot@example.com", "", "send current-issue"}},
        LinkCase{"mailto:infobot@example.com?body=send%20current-issue%0D%0Asend%20index",
                 {"infobot@example.com", "", "send current-issue\nsend index"}},
        LinkCase{"mailto:list@example.org?In-Reply-To=%3C3469A91.D10AF4C@example.com%3E",
                 {"list@example.org", "", ""}},
        LinkCase{"mailto:majordomo@example.com?body=subscribe%20bamboo-l",
                 {"majordomo@example.com", "", "subscribe bamboo-l"}},
        LinkCase{"mailto:joe@example.com?cc=bob@example.com&body=hello",
                 {"joe@example.com, bob@example.com", "", "hello"}},
        // "?" twice is wrong: the second belongs to the cc value.
        LinkCase{"mailto:joe@example.com?cc=bob@example.com?body=hello",
                 {"joe@example.com, bob@example.com?body=hello", "", ""}},
        LinkCase{"mailto:gorby%25kremvax@example.com", {"gorby%kremvax@example.com", "", ""}},
        LinkCase{"mailto:unlikely%3Faddress@example.com?blat=foop",
                 {"unlikely?address@example.com", "", ""}},
        LinkCase{"mailto:Mike%26family@example.org", {"Mike&family@example.org", "", ""}},
        LinkCase{"mailto:%22not%40me%22@example.org", {"\"not@me\"@example.org", "", ""}},
        LinkCase{"mailto:%22oh%5C%5Cno%22@example.org", {"\"oh\\\\no\"@example.org", "", ""}},
        LinkCase{"mailto:%22%5C%5C%5C%22it's%5C%20ugly%5C%5C%5C%22%22@example.org",
                 {"\"\\\\\\\"it's\\ ugly\\\\\\\"\"@example.org", "", ""}},
        LinkCase{"mailto:user@example.org?subject=caf%C3%A9",
                 {"user@example.org", "caf\xC3\xA9", ""}},
        // Encoded words are kept as they are: the subject shows what the link says.
        LinkCase{"mailto:user@example.org?subject=%3D%3Futf-8%3FQ%3Fcaf%3DC3%3DA9%3F%3D",
                 {"user@example.org", "=?utf-8?Q?caf=C3=A9?=", ""}},
        LinkCase{"mailto:user@example.org?subject=%3D%3Fiso-8859-1%3FQ%3Fcaf%3DE9%3F%3D",
                 {"user@example.org", "=?iso-8859-1?Q?caf=E9?=", ""}},
        LinkCase{"mailto:user@example.org?subject=caf%C3%A9&body=caf%C3%A9",
                 {"user@example.org", "caf\xC3\xA9", "caf\xC3\xA9"}},
        LinkCase{"mailto:user@%E7%B4%8D%E8%B1%86.example.org?subject=Test&body=NATTO",
                 {"user@\xE7\xB4\x8D\xE8\xB1\x86.example.org", "Test", "NATTO"}},
        LinkCase{"mailto:addr1@an.example,addr2@an.example",
                 {"addr1@an.example, addr2@an.example", "", ""}},
        LinkCase{"mailto:?to=addr1@an.example,addr2@an.example",
                 {"addr1@an.example, addr2@an.example", "", ""}},
        LinkCase{"mailto:addr1@an.example?to=addr2@an.example",
                 {"addr1@an.example, addr2@an.example", "", ""}}));

// Links as browsers hand them over, and what the reader makes of unusual ones.
INSTANTIATE_TEST_SUITE_P(
    WebLinks, MailtoLinkTest,
    ::testing::Values(
        LinkCase{"mailto:bob@example.org?subject=Hello%20there%21&body=Hi%20Bob",
                 {"bob@example.org", "Hello there!", "Hi Bob"}},
        // Field names in any case; recipients in the order path, to, cc as they come.
        LinkCase{"mailto:a@x?CC=c@x&SUBJECT=s&To=b@x&Body=b", {"a@x, c@x, b@x", "s", "b"}},
        LinkCase{"mailto:a@x?bcc=hidden@x&from=me@x", {"a@x", "", ""}},
        LinkCase{"mailto:a@x?subject=first&subject=second", {"a@x", "first", ""}},
        LinkCase{"mailto:a@x?body=one&body=two", {"a@x", "", "one\ntwo"}},
        LinkCase{"mailto:a@x?body=a%0Ab%0Dc%0D%0A%0D%0Ad", {"a@x", "", "a\nb\nc\n\nd"}},
        LinkCase{"mailto:a@x?body=tab%09and%00nul", {"a@x", "", "tab\tand nul"}},
        // A "+" is a plus in a mailto: link, never a blank.
        LinkCase{"mailto:bill+ietf@example.org?subject=1+1", {"bill+ietf@example.org", "1+1", ""}},
        // Escapes that are no escapes stay as typed.
        LinkCase{"mailto:a@x?subject=100%25%20sure%2&body=%zz%", {"a@x", "100% sure%2", "%zz%"}},
        // Escapes that give no UTF-8 (a page in Latin-1): the value stays as the link wrote it.
        LinkCase{"mailto:a@x?subject=caf%E9&body=%C3%A9%C3", {"a@x", "caf%E9", "%C3%A9%C3"}},
        LinkCase{"mailto:a@x?subject=%ED%A0%80", {"a@x", "%ED%A0%80", ""}},
        // Raw bytes that are no UTF-8 become U+FFFD.
        LinkCase{"mailto:a@x?subject=caf\xE9", {"a@x", "caf\xEF\xBF\xBD", ""}},
        LinkCase{"mailto: a@x , ,b@x,?to=%20c@x", {"a@x, b@x, c@x", "", ""}},
        LinkCase{"mailto:a@x?subject=%0D%0Atwo%09lines", {"a@x", "  two lines", ""}},
        LinkCase{"mailto:a@x?subject", {"a@x", "", ""}},
        LinkCase{"mailto:a@x?%73ubject=escaped%20name", {"a@x", "escaped name", ""}}));

// What the old reading of links gave and still gives.
INSTANTIATE_TEST_SUITE_P(
    EarlierReading, MailtoLinkTest,
    ::testing::Values(LinkCase{"mailto:x?Subject=Hello", {"x", "Hello", ""}},
                      LinkCase{"mailto:x", {"x", "", ""}},
                      LinkCase{"mailto:?Subject=only", {"", "only", ""}},
                      LinkCase{"mailto:", {"", "", ""}}, LinkCase{"", {"", "", ""}},
                      // A URI scheme is case-insensitive.
                      LinkCase{"MAILTO:x", {"x", "", ""}},
                      LinkCase{"MailTo:x?Subject=y", {"x", "y", ""}},
                      // Text before the scheme is not part of the address.
                      LinkCase{"<mailto:x>", {"x>", "", ""}},
                      LinkCase{"someone@example.org", {"someone@example.org", "", ""}},
                      // Line breaks cannot reach a single-line field.
                      LinkCase{"mailto:a\r\nb?Subject=x\ny\rz", {"a  b", "x y z", ""}}));

TEST(MailtoLinkLimitTest, SubjectIsCutToItsFirstThousandBytes) {
  const std::string subject(1500, 's');
  EXPECT_EQ(ParseMailtoLink("mailto:x?Subject=" + subject).subject, std::string(1000, 's'));
  EXPECT_EQ(ParseMailtoLink("mailto:x?Subject=" + std::string(1000, 't')).subject.size(), 1000u);
  // Counted after decoding: 1000 escaped blanks are 1000 bytes.
  std::string escaped;
  for (int i = 0; i < 1200; ++i) escaped += "%20";
  EXPECT_EQ(ParseMailtoLink("mailto:x?subject=" + escaped).subject, std::string(1000, ' '));
}

TEST(MailtoLinkLimitTest, CutNeverSplitsACharacter) {
  // 999 ASCII bytes and a two-byte character straddling the limit: the character goes whole.
  const std::string subject = std::string(999, 'a') + "\xC3\xA9" + "tail";
  EXPECT_EQ(ParseMailtoLink("mailto:x?Subject=" + subject).subject, std::string(999, 'a'));
  const std::string escaped = std::string(998, 'a') + "%E2%82%AC" + "tail";  // a euro sign
  EXPECT_EQ(ParseMailtoLink("mailto:x?subject=" + escaped).subject, std::string(998, 'a'));
}

// ---- UTF-8 ----------------------------------------------------------------------------

struct Utf8Case {
  const char* what;
  std::string text;
  bool valid;
  std::string repaired;
};

TEST(Utf8TextTest, TellsWellFormedTextAndReplacesWhatIsNot) {
  const std::string fffd = "\xEF\xBF\xBD";
  const std::vector<Utf8Case> cases = {
      {"ASCII", "plain", true, "plain"},
      {"two to four bytes", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", true,
       "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"highest code point", "\xF4\x8F\xBF\xBF", true, "\xF4\x8F\xBF\xBF"},
      {"stray continuation",
       "a\x80"
       "b",
       false, "a" + fffd + "b"},
      {"cut at the end", "a\xE2\x82", false, "a" + fffd + fffd},
      {"overlong slash", "\xC0\xAF", false, fffd + fffd},
      {"overlong three bytes", "\xE0\x80\xAF", false, fffd + fffd + fffd},
      {"surrogate", "\xED\xA0\x80", false, fffd + fffd + fffd},
      {"above U+10FFFF", "\xF4\x90\x80\x80", false, fffd + fffd + fffd + fffd},
      {"Latin-1", "caf\xE9!", false, "caf" + fffd + "!"},
  };
  for (const Utf8Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(pelorin::IsValidUtf8(c.text), c.valid);
    EXPECT_EQ(pelorin::ValidUtf8(c.text), c.repaired);
    EXPECT_TRUE(pelorin::IsValidUtf8(pelorin::ValidUtf8(c.text)));
  }
}

TEST(Utf8TextTest, PrefixEndsBetweenCharacters) {
  const std::string text = "a\xC3\xA9\xE2\x82\xAC";  // a, e-acute, euro: 1 + 2 + 3 bytes
  const std::vector<std::pair<std::size_t, std::string>> cases = {
      {0, ""}, {1, "a"}, {2, "a"}, {3, "a\xC3\xA9"}, {5, "a\xC3\xA9"}, {6, text}, {99, text}};
  for (const auto& [limit, expected] : cases) {
    EXPECT_EQ(pelorin::Utf8Prefix(text, limit), expected) << limit;
  }
}

}  // namespace
