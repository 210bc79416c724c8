// A message body as it goes out after DATA: each line with its CR LF, a line that begins with
// a dot protected by one more dot, then the end-of-data mark.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace pelorin {

// CR LF "." CR LF: after the last line's own line end, an empty line and the line ".".
extern const std::string kSmtpEndOfData;

// The lines to send for `body`, each ending in CR LF, a leading "." doubled. A bare CR or LF
// also ends a line, so that no line the server could see begins with an unprotected dot.
// Text after the last line end is not sent.
std::vector<std::string> SmtpDataLines(std::string_view body);

// The same lines gathered into blocks, to send each block at once: one send per line costs a
// system call and, with Nagle's algorithm off, a TCP segment per line, which made a large
// message several times slower than it needs to be. A block ends at the first line end at or
// after `blockSize` bytes, so it holds whole lines; the bytes are those of SmtpDataLines.
inline constexpr std::size_t kSmtpDataBlockSize = 64 * 1024;
std::vector<std::string> SmtpDataBlocks(std::string_view body,
                                        std::size_t blockSize = kSmtpDataBlockSize);

}  // namespace pelorin
