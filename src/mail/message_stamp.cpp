#include "mail/message_stamp.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>

namespace pelorin {
namespace {

constexpr std::array<const char*, 7> kDayNames = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::array<const char*, 12> kMonthNames = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool IsDomainCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

// Labels of letters, digits and hyphens joined by single dots: what a Message-ID can carry
// after its "@" without quoting.
bool IsPlainDomain(const std::string& text) {
  if (text.empty() || text.front() == '.' || text.back() == '.') return false;
  if (text.find("..") != std::string::npos) return false;
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return c == '.' || IsDomainCharacter(c); });
}

std::string SenderDomain(const std::string& sender) {
  const std::size_t at = sender.rfind('@');
  if (at == std::string::npos) return {};
  std::string domain = sender.substr(at + 1);
  // "Name <me@example.org>" is typed now and then where the bare address belongs.
  if (!domain.empty() && domain.back() == '>') domain.pop_back();
  return domain;
}

std::string LocalHostName() {
  std::array<char, 256> name{};
  if (gethostname(name.data(), name.size() - 1) != 0) return {};
  return name.data();
}

}  // namespace

std::string MessageDate(const std::tm& local, long utcOffsetSeconds) {
  const long offsetMinutes = std::labs(utcOffsetSeconds) / 60;
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld",
                kDayNames.at(static_cast<std::size_t>(local.tm_wday)), local.tm_mday,
                kMonthNames.at(static_cast<std::size_t>(local.tm_mon)), local.tm_year + 1900,
                local.tm_hour, local.tm_min, local.tm_sec, utcOffsetSeconds < 0 ? '-' : '+',
                offsetMinutes / 60, offsetMinutes % 60);
  return text;
}

std::string LocalMessageDate(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  return MessageDate(local, local.tm_gmtoff);
}

std::string MessageIdDomain(const std::string& sender, const std::string& hostName) {
  const std::string domain = SenderDomain(sender);
  if (IsPlainDomain(domain)) return domain;
  return IsPlainDomain(hostName) ? hostName : "localhost";
}

std::string UniqueIdPart(std::random_device& random) {
  std::string part;
  for (int i = 0; i < 4; ++i) {
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(random()));
    part += hex;
  }
  return part;
}

MessageStamp StampNow(const std::string& sender) {
  std::random_device random;
  // Appended piece by piece: GCC 12 at -O2 and above takes a literal put in front of a
  // string for an overlapping copy (-Wrestrict).
  std::string id(1, '<');
  id += UniqueIdPart(random);
  id += '@';
  id += MessageIdDomain(sender, LocalHostName());
  id += '>';
  return {LocalMessageDate(std::time(nullptr)), id};
}

}  // namespace pelorin
