// Header fields whose text the user typed: plain ASCII goes as it is, anything else as RFC 2047
// encoded words (UTF-8, "B" encoding), so that the header stays 7-bit. Lines are folded before
// a blank where they would pass 78 characters, or 76 where they hold an encoded word.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace pelorin {

// Lines that can be folded are kept within this many characters, CR LF not counted.
inline constexpr std::size_t kFoldedLineLimit = 78;
// RFC 2047's limit for a line that holds an encoded word.
inline constexpr std::size_t kEncodedWordLineLimit = 76;

// "Name: text" and its CR LF, folded where it would pass the limit. `text` holds no CR or LF.
std::string UnstructuredField(std::string_view name, std::string_view text);

// "Name: " + display name + " <" + address + ">" and its CR LF. A display name that holds
// characters with a meaning in an address field (quotes, commas, brackets) is encoded as well;
// the address goes as it is.
std::string AddressField(std::string_view name, std::string_view displayName,
                         std::string_view address);

// The same for several addresses: the display name goes with the first, the others follow
// ", <address>", so that one field names every recipient of the message.
std::string AddressListField(std::string_view name, std::string_view displayName,
                             const std::vector<std::string>& addresses);

// `text` as encoded words: the first at most `firstLength` characters long, the others at most
// 75; each holds whole UTF-8 characters. Empty text gives no words.
std::vector<std::string> EncodedWords(std::string_view text, std::size_t firstLength);

}  // namespace pelorin
