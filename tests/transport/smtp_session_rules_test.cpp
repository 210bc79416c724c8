#include "transport/smtp_session_rules.h"

#include <gtest/gtest.h>

#include <string>

namespace pelorin::smtp_rules {
namespace {

// The text is looked at in pieces of 64 bytes and then byte by byte: a high byte is found
// wherever it sits, in texts of every length around those pieces.
TEST(SmtpSessionRules, IsEightBitFindsAByteAbove127Anywhere) {
  for (std::size_t length = 0; length <= 200; ++length) {
    const std::string ascii(length, '\x7f');
    ASSERT_FALSE(IsEightBit(ascii)) << length;
    for (std::size_t at = 0; at < length; ++at) {
      for (const char high : {'\x80', '\xe9', '\xff'}) {
        std::string text = ascii;
        text[at] = high;
        ASSERT_TRUE(IsEightBit(text)) << length << " / " << at;
      }
    }
  }
  // A view into a longer text ends where the view ends.
  const std::string text = std::string(70, 'a') + '\xe9';
  EXPECT_FALSE(IsEightBit(std::string_view(text).substr(0, 70)));
  EXPECT_FALSE(IsEightBit(std::string_view(text).substr(1, 69)));
}

}  // namespace
}  // namespace pelorin::smtp_rules
