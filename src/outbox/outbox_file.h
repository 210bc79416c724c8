// The bytes of one queued message on disk: a first line that names the format, then each
// field as its name, a blank, its length in bytes and a line end, followed by the bytes
// themselves and a line end. Lengths rather than separators, so that any text (line breaks,
// NUL bytes) comes back exactly. Pure functions, so that tests and the fuzzer feed them bytes.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "transport/outbox.h"

namespace pelorin {

inline constexpr std::string_view kOutboxFileHeader = "Pelorin 32 queued message 1\n";

// Far above any message this program queues: a larger file is taken as damaged, unread.
inline constexpr std::size_t kOutboxFileSizeLimit = std::size_t{64} << 20;
inline constexpr const char* kOutboxFileSizeLimitText = "64 MiB";

std::string OutboxFileBytes(const OutboxMessage& message);

// The message that `bytes` hold, or why they are not one (`why` is set then).
std::optional<OutboxMessage> ParseOutboxFile(std::string_view bytes, std::string& why);

}  // namespace pelorin
