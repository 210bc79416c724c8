#include "outbox/outbox_file.h"

#include <array>
#include <utility>

#include "outbox/length_fields.h"

namespace pelorin {
namespace {

struct Field {
  std::string_view name;
  std::string OutboxMessage::*text = nullptr;
  std::string DraftFields::*draft = nullptr;
};

// In the order they are written; every one must be present when read.
const std::array<Field, 6> kFields = {{
    {"recipient", &OutboxMessage::recipient, nullptr},
    {"name", nullptr, &DraftFields::name},
    {"email", nullptr, &DraftFields::email},
    {"subject", nullptr, &DraftFields::subject},
    {"memo", nullptr, &DraftFields::memo},
    {"message", &OutboxMessage::text, nullptr},
}};

std::string& FieldOf(OutboxMessage& message, const Field& field) {
  return field.text != nullptr ? message.*field.text : message.draft.*field.draft;
}

const std::string& FieldOf(const OutboxMessage& message, const Field& field) {
  return field.text != nullptr ? message.*field.text : message.draft.*field.draft;
}

}  // namespace

std::string OutboxFileBytes(const OutboxMessage& message) {
  std::string bytes(kOutboxFileHeader);
  // Sized once: a message of megabytes (files attached) would otherwise be copied into a
  // buffer twice its size as it grows.
  std::size_t size = bytes.size();
  for (const Field& field : kFields)
    size += field.name.size() + kLengthFieldOverhead + FieldOf(message, field).size();
  bytes.reserve(size);
  for (const Field& field : kFields) AppendLengthField(bytes, field.name, FieldOf(message, field));
  return bytes;
}

std::optional<OutboxMessage> ParseOutboxFile(std::string_view bytes, std::string& why) {
  if (bytes.substr(0, kOutboxFileHeader.size()) != kOutboxFileHeader) {
    why = "it is not a queued message of this program";
    return std::nullopt;
  }
  std::string_view rest = bytes.substr(kOutboxFileHeader.size());
  OutboxMessage message;
  for (const Field& field : kFields) {
    if (!TakeLengthField(rest, field.name, FieldOf(message, field), why)) return std::nullopt;
  }
  if (!rest.empty()) {
    why = "it holds more than one message";
    return std::nullopt;
  }
  return message;
}

}  // namespace pelorin
