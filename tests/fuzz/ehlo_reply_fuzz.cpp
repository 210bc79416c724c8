// The EHLO reply reader over any bytes: it never fails, keywords and methods come out in
// upper case without blanks, and the method it signs in with is one the server offered.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "transport/ehlo_reply.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

bool IsUpperWord(std::string_view word) {
  if (word.empty()) return false;
  for (const char c : word) {
    if (c == ' ' || c == '\t' || c == '\n' || (c >= 'a' && c <= 'z')) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view reply(reinterpret_cast<const char*>(data), size);
  const pelorin::EhloExtensions extensions = pelorin::ParseEhloReply(reply);
  for (const std::string& keyword : extensions.keywords) Check(IsUpperWord(keyword));
  for (const std::string& method : extensions.authMethods) Check(IsUpperWord(method));
  if (!extensions.authMethods.empty()) Check(extensions.Has("AUTH"));
  const std::string method = pelorin::ChooseAuthMethod(extensions);
  Check(method.empty() || method == "PLAIN" || method == "LOGIN");
  return 0;
}
