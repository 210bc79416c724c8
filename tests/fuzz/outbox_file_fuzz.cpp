// Arbitrary bytes as a queued message file: parsing never crashes, a refusal always says
// why, and whatever parses is written back as exactly the bytes it came from, so that the
// format has one spelling for each message. The same bytes cut into six fields also make a
// message that comes back unchanged.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "outbox/outbox_file.h"

namespace {

using pelorin::OutboxMessage;

void Require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "violated: %s\n", what);
  std::abort();
}

bool SameStoredFields(const OutboxMessage& a, const OutboxMessage& b) {
  return a.recipient == b.recipient && a.text == b.text && a.draft == b.draft;
}

void CheckParse(std::string_view bytes) {
  std::string why;
  const std::optional<OutboxMessage> message = pelorin::ParseOutboxFile(bytes, why);
  if (!message) {
    Require(!why.empty(), "a refusal says why");
    return;
  }
  Require(why.empty(), "a message comes without a reason");
  Require(pelorin::OutboxFileBytes(*message) == bytes, "a parsed file is written back as it was");
}

// Fields from the input, cut at its first five bytes 0x1F.
OutboxMessage MessageOf(std::string_view bytes) {
  std::string fields[6];
  std::size_t field = 0;
  for (char c : bytes) {
    if (c == '\x1f' && field < 5) {
      ++field;
    } else {
      fields[field] += c;
    }
  }
  OutboxMessage message;
  message.recipient = fields[0];
  message.draft = {fields[1], fields[2], fields[3], fields[4]};
  message.text = fields[5];
  return message;
}

void CheckRoundTrip(std::string_view bytes) {
  const OutboxMessage written = MessageOf(bytes);
  std::string why;
  const std::optional<OutboxMessage> read =
      pelorin::ParseOutboxFile(pelorin::OutboxFileBytes(written), why);
  Require(read.has_value(), "a written message parses");
  Require(SameStoredFields(*read, written), "a written message comes back unchanged");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  CheckParse(bytes);
  CheckRoundTrip(bytes);
  return 0;
}
