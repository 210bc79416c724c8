// UTF-8 checks for text that arrives from outside (links, other programs' files): the
// windows show text as UTF-8, so bytes that are not UTF-8 must not reach them as they are.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pelorin {

// True when `text` is well-formed UTF-8: no stray continuation bytes, no cut sequences, no
// overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(std::string_view text);

// `text` with every byte that does not belong to a well-formed sequence replaced by U+FFFD.
std::string ValidUtf8(std::string_view text);

// The longest start of UTF-8 `text` that holds at most `maxBytes` bytes and ends between two
// characters.
std::string_view Utf8Prefix(std::string_view text, std::size_t maxBytes);

}  // namespace pelorin
