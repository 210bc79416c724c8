#include "outbox/outbox_file.h"

#include <array>
#include <charconv>
#include <utility>

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

// Reads "<name> <length>\n<bytes>\n" from the front of `rest` into `value`.
bool TakeField(std::string_view& rest, std::string_view name, std::string& value,
               std::string& why) {
  const std::size_t lineEnd = rest.find('\n');
  const std::string_view head = rest.substr(0, lineEnd);
  if (lineEnd == std::string_view::npos || head.substr(0, name.size()) != name ||
      head.size() <= name.size() || head[name.size()] != ' ') {
    why = "the field \"" + std::string(name) + "\" is missing";
    return false;
  }
  const std::string_view digits = head.substr(name.size() + 1);
  std::size_t length = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), length);
  // One spelling for each length, as written: no leading zeros.
  const bool leadingZero = digits.size() > 1 && digits[0] == '0';
  if (error != std::errc() || end != digits.data() + digits.size() || digits.empty() ||
      leadingZero) {
    why = "the length of \"" + std::string(name) + "\" is not a number";
    return false;
  }
  rest.remove_prefix(lineEnd + 1);
  // Compared without adding to `length`: the largest one would wrap round to 0.
  if (length >= rest.size() || rest[length] != '\n') {
    why = "the field \"" + std::string(name) + "\" is cut short";
    return false;
  }
  value.assign(rest.substr(0, length));
  rest.remove_prefix(length + 1);
  return true;
}

}  // namespace

std::string OutboxFileBytes(const OutboxMessage& message) {
  std::string bytes(kOutboxFileHeader);
  // Sized once: a message of megabytes (files attached) would otherwise be copied into a
  // buffer twice its size as it grows.
  std::size_t size = bytes.size();
  for (const Field& field : kFields)
    size += field.name.size() + 24 + FieldOf(message, field).size();
  bytes.reserve(size);
  for (const Field& field : kFields) {
    const std::string& value = FieldOf(message, field);
    bytes.append(field.name).append(" ").append(std::to_string(value.size())).append("\n");
    bytes.append(value).append("\n");
  }
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
    if (!TakeField(rest, field.name, FieldOf(message, field), why)) return std::nullopt;
  }
  if (!rest.empty()) {
    why = "it holds more than one message";
    return std::nullopt;
  }
  return message;
}

}  // namespace pelorin
