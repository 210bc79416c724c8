#include "mail/percent_decoding.h"

namespace pelorin {
namespace {

int HexValue(char digit) {
  if (digit >= '0' && digit <= '9') return digit - '0';
  if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
  if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
  return -1;
}

// The byte that the escape at `at` stands for, or -1 when there is no complete escape there.
int EscapedByte(std::string_view text, std::size_t at) {
  if (text[at] != '%' || text.size() - at < 3) return -1;
  const int high = HexValue(text[at + 1]);
  const int low = HexValue(text[at + 2]);
  return high < 0 || low < 0 ? -1 : high * 16 + low;
}

}  // namespace

std::string PercentDecode(std::string_view text) {
  std::string decoded;
  decoded.reserve(text.size());
  for (std::size_t at = 0; at < text.size(); ++at) {
    const int byte = EscapedByte(text, at);
    if (byte < 0) {
      decoded += text[at];
    } else {
      decoded += static_cast<char>(byte);
      at += 2;
    }
  }
  return decoded;
}

}  // namespace pelorin
