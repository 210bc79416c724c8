// Pre-filling from a mailto: link: what lands in the address and the subject field.
#include "app/mailto_link.h"

#include <gtest/gtest.h>

namespace {

using pelorin::MailtoFields;
using pelorin::ParseMailtoLink;

struct LinkCase {
  const char* link;
  MailtoFields expected;
};

class MailtoLinkTest : public ::testing::TestWithParam<LinkCase> {};

TEST_P(MailtoLinkTest, FillsAddressAndSubject) {
  EXPECT_EQ(ParseMailtoLink(GetParam().link), GetParam().expected) << GetParam().link;
}

INSTANTIATE_TEST_SUITE_P(
    Links, MailtoLinkTest,
    ::testing::Values(LinkCase{"mailto:x?Subject=Hello", {"x", "Hello"}},
                      LinkCase{"mailto:x", {"x", ""}},
                      // The subject key is case-sensitive: anything else stays part of the address.
                      LinkCase{"mailto:x?subject=Hello", {"x?subject=Hello", ""}},
                      LinkCase{"mailto:x?Subject=Hi%20there", {"x", "Hi%20there"}},
                      LinkCase{"mailto:a@b.org?Subject=S&body=B", {"a@b.org", "S&body=B"}},
                      LinkCase{"mailto:?Subject=only", {"", "only"}}, LinkCase{"mailto:", {"", ""}},
                      LinkCase{"", {"", ""}},
                      // A URI scheme is case-insensitive.
                      LinkCase{"MAILTO:x", {"x", ""}}, LinkCase{"MailTo:x?Subject=y", {"x", "y"}},
                      // Text before the scheme is not part of the address.
                      LinkCase{"<mailto:x>", {"x>", ""}},
                      LinkCase{"someone@example.org", {"someone@example.org", ""}},
                      // A subject key before the scheme leaves no room for an address.
                      LinkCase{"?Subject=s mailto:x", {"", "s mailto:x"}},
                      // Line breaks cannot reach a single-line field.
                      LinkCase{"mailto:a\r\nb?Subject=x\ny\rz", {"a  b", "x y z"}}));

TEST(MailtoLinkLimitTest, SubjectIsCutToItsFirstThousandBytes) {
  const std::string subject(1500, 's');
  EXPECT_EQ(ParseMailtoLink("mailto:x?Subject=" + subject).subject, std::string(1000, 's'));
  EXPECT_EQ(ParseMailtoLink("mailto:x?Subject=" + std::string(1000, 't')).subject.size(), 1000u);
}

TEST(MailtoLinkLimitTest, CutNeverSplitsACharacter) {
  // 999 ASCII bytes and a two-byte character straddling the limit: the character goes whole.
  const std::string subject = std::string(999, 'a') + "\xC3\xA9" + "tail";
  EXPECT_EQ(ParseMailtoLink("mailto:x?Subject=" + subject).subject, std::string(999, 'a'));
}

}  // namespace
