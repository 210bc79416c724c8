// How a composed message's body travels: as it is, or turned into quoted-printable so that
// the whole message is 7-bit and every line fits the 998-byte limit of the mail format.
// Pure functions over bytes, so that the session and the tests can feed them any text.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace pelorin {

// Longest line the mail format allows, without its CR LF.
inline constexpr std::size_t kMaxMessageLineBytes = 998;

// The body can go as "7bit": only ASCII bytes other than NUL, every line within the limit.
bool FitsSevenBit(std::string_view body);

// Longest line of `text`, lines split at CR LF, without the line end.
std::size_t LongestLine(std::string_view text);

// `body` as quoted-printable: lines kept at their CR LF, each within 76 characters by soft
// breaks; "=", bytes outside printable ASCII, a bare CR or LF and a blank or tab that would
// end a line written as "=XX".
std::string QuotedPrintable(std::string_view body);

// The 7-bit form of a message whose header says "Content-Transfer-Encoding: 8bit": the same
// header with "quoted-printable" in that line, the body in quoted-printable; for a multipart
// message, its first part so and the whole "7bit". Any other message comes back unchanged.
std::string SevenBitForm(std::string_view message);

// The form in which a message goes on the wire: a message declared 8bit turns into its 7-bit
// form when the server has not announced 8BITMIME, or when one of its lines is too long to go
// even as 8bit.
std::string TransferForm(std::string_view message, bool serverTakes8BitMime);

// The transfer form when it differs from `message`, nothing when the message goes as it is: a
// large message is then not copied for nothing.
std::optional<std::string> ChangedTransferForm(std::string_view message, bool serverTakes8BitMime);

}  // namespace pelorin
