// Arbitrary links: the fields never hold a line break and the subject stays within its limit.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/mailto_link.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string link(reinterpret_cast<const char*>(data), size);
  const pelorin::MailtoFields fields = pelorin::ParseMailtoLink(link);
  const auto hasLineBreak = [](const std::string& s) {
    return s.find_first_of("\r\n") != std::string::npos;
  };
  if (hasLineBreak(fields.email) || hasLineBreak(fields.subject)) std::abort();
  if (fields.subject.size() > 1000) std::abort();
  if (fields.email.size() + fields.subject.size() > link.size()) std::abort();
  return 0;
}
