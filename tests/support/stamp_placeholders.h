// A delivered message's own Date and Message-ID, checked for their form and put as the
// placeholders "<date>" and "<id>", so that the rest of the message compares byte for byte.
// A value of another form stays as it is, and shows in the comparison.
#pragma once

#include <ctime>
#include <string>

namespace testing_support {

// A Date value as the mail format writes it, "Wed, 09 Dec 2026 14:05:09 +0100".
inline bool IsMessageDate(const std::string& value) {
  std::tm moment{};
  const char* end = strptime(value.c_str(), "%a, %d %b %Y %H:%M:%S %z", &moment);
  return end != nullptr && *end == '\0' && value.size() == 31;
}

// "<" + 32 lowercase hexadecimal digits + "@" + domain + ">".
inline bool IsMessageId(const std::string& value, const std::string& domain) {
  const std::string tail = "@" + domain + ">";
  if (value.size() != 33 + tail.size() || value[0] != '<') return false;
  if (value.compare(33, tail.size(), tail) != 0) return false;
  for (std::size_t i = 1; i < 33; ++i) {
    const char c = value[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// `message` with the value of its first `name` field replaced by `placeholder` when
// `fits(value)`. Lines end in `lineEnd`.
template <typename Fits>
std::string WithFieldReplaced(const std::string& message, const std::string& name,
                              const std::string& placeholder, const std::string& lineEnd,
                              Fits fits) {
  const std::string start = lineEnd + name + ": ";
  const std::size_t at = message.find(start);
  if (at == std::string::npos) return message;
  const std::size_t valueAt = at + start.size();
  const std::size_t end = message.find(lineEnd, valueAt);
  if (end == std::string::npos || !fits(message.substr(valueAt, end - valueAt))) return message;
  return message.substr(0, valueAt) + placeholder + message.substr(end);
}

inline std::string WithStampReplaced(const std::string& message, const std::string& senderDomain,
                                     const std::string& lineEnd = "\r\n") {
  const std::string dated = WithFieldReplaced(message, "Date", "<date>", lineEnd, IsMessageDate);
  return WithFieldReplaced(dated, "Message-ID", "<id>", lineEnd, [&](const std::string& value) {
    return IsMessageId(value, senderDomain);
  });
}

}  // namespace testing_support
