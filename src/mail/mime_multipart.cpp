#include "mail/mime_multipart.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QFile>
#include <QMimeDatabase>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <random>
#include <utility>

#include "mail/mime_header.h"

namespace pelorin {
namespace {

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kMultipartType = "Content-Type: multipart/mixed; boundary=\"";
constexpr std::size_t kBase64LineBytes = 57;  // 76 characters a line
constexpr std::size_t kReadChunk = kBase64LineBytes * 1024;
constexpr char kBase64Digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool StartsWithIgnoringCase(std::string_view text, std::string_view start) {
  if (text.size() < start.size()) return false;
  for (std::size_t i = 0; i < start.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) !=
        std::tolower(static_cast<unsigned char>(start[i]))) {
      return false;
    }
  }
  return true;
}

// The header's fields split into the text's own content fields (type and transfer encoding,
// which move into the first part) and all others, each with its line end.
struct SplitHeader {
  std::string others;
  std::string content;
  bool eightBit = false;
};

SplitHeader SplitContentFields(std::string_view header) {
  SplitHeader split;
  std::size_t start = 0;
  while (start < header.size()) {
    std::size_t end = header.find(kCrLf, start);
    while (end + 2 < header.size() && (header[end + 2] == ' ' || header[end + 2] == '\t')) {
      end = header.find(kCrLf, end + 2);  // a folded field goes on
    }
    const std::string_view field = header.substr(start, end + 2 - start);
    const bool content = StartsWithIgnoringCase(field, "Content-Type:") ||
                         StartsWithIgnoringCase(field, "Content-Transfer-Encoding:");
    (content ? split.content : split.others) += field;
    if (StartsWithIgnoringCase(field, "Content-Transfer-Encoding: 8bit")) split.eightBit = true;
    start = end + 2;
  }
  return split;
}

bool IsPlainNameCharacter(char c) {
  return c >= 0x20 && c <= 0x7E && c != '"' && c != '\\';
}

std::string PercentEncoded(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) || c == '.' || c == '-' || c == '_' || c == '~') {
      encoded += c;
    } else {
      encoded += {'%', kHex[byte >> 4], kHex[byte & 0x0F]};
    }
  }
  return encoded;
}

bool IsPlainName(std::string_view name) {
  return std::all_of(name.begin(), name.end(), IsPlainNameCharacter);
}

std::string QuotedParameter(std::string_view attribute, std::string_view value) {
  return ";\r\n\t" + std::string(attribute) + "=\"" + std::string(value) + "\"";
}

// The name as old readers look for it, in the type's "name": beyond plain ASCII as encoded
// words (RFC 2047), one a line.
std::string NameParameter(std::string_view name) {
  if (IsPlainName(name)) return QuotedParameter("name", name);
  std::string words;
  for (const std::string& word : EncodedWords(name, 75)) {
    words.append(words.empty() ? "" : "\r\n\t").append(word);
  }
  return QuotedParameter("name", words);
}

// The name as the standard has it, in the disposition's "filename": beyond plain ASCII as
// UTF-8 text in RFC 2231's form.
std::string FilenameParameter(std::string_view name) {
  if (IsPlainName(name)) return QuotedParameter("filename", name);
  return ";\r\n\tfilename*=UTF-8''" + PercentEncoded(name);
}

std::string PartHeader(const AttachedFile& file, const QByteArray& firstBytes) {
  const QString type =
      QMimeDatabase()
          .mimeTypeForFileNameAndData(QFile::decodeName(file.path.c_str()), firstBytes)
          .name();
  return "Content-Type: " + type.toStdString() + NameParameter(file.name) + "\r\n" +
         "Content-Disposition: attachment" + FilenameParameter(file.name) + "\r\n" +
         "Content-Transfer-Encoding: base64\r\n\r\n";
}

// Base64 of `bytes` as lines of 76 characters, each but the last followed by CR LF.
// `bytes` holds whole lines' worth (a multiple of 57) unless it is the file's end.
void AppendBase64Lines(std::string& out, std::string_view bytes, bool& firstLine) {
  for (std::size_t line = 0; line < bytes.size(); line += kBase64LineBytes) {
    if (!std::exchange(firstLine, false)) out += kCrLf;
    const std::size_t end = std::min(line + kBase64LineBytes, bytes.size());
    for (std::size_t at = line; at < end; at += 3) {
      const auto byte = [&](std::size_t i) {
        return i < end ? static_cast<unsigned char>(bytes[i]) : 0u;
      };
      const unsigned group = byte(at) << 16 | byte(at + 1) << 8 | byte(at + 2);
      out += kBase64Digits[group >> 18 & 63];
      out += kBase64Digits[group >> 12 & 63];
      out += at + 1 < end ? kBase64Digits[group >> 6 & 63] : '=';
      out += at + 2 < end ? kBase64Digits[group & 63] : '=';
    }
  }
}

std::size_t Base64Size(std::uint64_t bytes) {
  const std::uint64_t lines = (bytes + kBase64LineBytes - 1) / kBase64LineBytes;
  return static_cast<std::size_t>((bytes + 2) / 3 * 4 + (lines > 0 ? (lines - 1) * 2 : 0));
}

// Reads up to a whole chunk (fewer only at the end of the file); false on a read error.
bool ReadChunk(int fd, std::string& chunk) {
  chunk.resize(kReadChunk);
  std::size_t filled = 0;
  while (filled < chunk.size()) {
    const ssize_t n = ::read(fd, chunk.data() + filled, chunk.size() - filled);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  chunk.resize(filled);
  return true;
}

// Appends the file's part (header and base64 content); returns why it could not, or empty
// text. `allowance` is what the attachments may still come to, and shrinks by this file.
std::string AppendFilePart(std::string& out, const AttachedFile& file, std::uint64_t& allowance) {
  const int fd = ::open(file.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return errno == ENOENT ? "it no longer exists" : std::strerror(errno);
  struct stat status {};
  std::string why;
  if (::fstat(fd, &status) != 0) {
    why = std::strerror(errno);
  } else if (!S_ISREG(status.st_mode) || OnPseudoFileSystem(fd)) {
    why = "it is no longer a regular file";
  } else {
    std::string chunk;
    bool firstLine = true;
    bool first = true;
    std::uint64_t read = 0;
    while (why.empty()) {
      if (!ReadChunk(fd, chunk)) {
        why = std::strerror(errno);
        break;
      }
      read += chunk.size();
      if (read > allowance) {
        why = "it has grown past the " + SizeText(kAttachmentLimit) + " the attachments may hold";
        break;
      }
      if (std::exchange(first, false)) {
        out += PartHeader(file, QByteArray(chunk.data(), static_cast<qsizetype>(chunk.size())));
      }
      AppendBase64Lines(out, chunk, firstLine);
      if (chunk.size() < kReadChunk) break;
    }
    allowance -= std::min(read, allowance);
  }
  ::close(fd);
  return why;
}

}  // namespace

std::string NewMimeBoundary() {
  std::random_device random;
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string boundary = "=_pelorin_";
  for (int i = 0; i < 32; ++i) boundary += kDigits[random() % 16];
  return boundary;
}

std::string WithAttachments(std::string message, const std::vector<AttachedFile>& files,
                            std::string& why, const std::string& boundary) {
  if (files.empty()) return message;
  const std::size_t headerEnd = message.find("\r\n\r\n");
  const SplitHeader header = SplitContentFields(std::string_view(message).substr(0, headerEnd + 2));
  const std::string_view body = std::string_view(message).substr(headerEnd + 4);
  const std::string delimiter = "--" + boundary;

  std::size_t expected = message.size() + 256;
  for (const AttachedFile& file : files) expected += Base64Size(file.size) + 1024;
  std::string out;
  out.reserve(expected);
  out += header.others;
  out.append(kMultipartType).append(boundary).append("\"\r\n");
  out.append("Content-Transfer-Encoding: ").append(header.eightBit ? "8bit" : "7bit");
  out.append("\r\n\r\n").append(delimiter).append(kCrLf);
  out.append(header.content).append(kCrLf).append(body);
  std::uint64_t allowance = kAttachmentLimit;
  for (const AttachedFile& file : files) {
    out.append(kCrLf).append(delimiter).append(kCrLf);
    const std::string failure = AppendFilePart(out, file, allowance);
    if (!failure.empty()) {
      why = "The file " + file.path + " cannot be read: " + failure + ".";
      return {};
    }
  }
  out.append(kCrLf).append(delimiter).append("--\r\n");
  return out;
}

bool HasAttachments(std::string_view message) {
  const std::string_view header = message.substr(0, message.find("\r\n\r\n") + 2);
  return header.find("\r\n" + std::string(kMultipartType)) != std::string_view::npos;
}

}  // namespace pelorin
