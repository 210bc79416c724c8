// Whether the program may write a file or directory, decided the same way wherever it asks.
#pragma once

#include <string>

namespace os {

// True when access(2) grants writing `path` to the effective user AND its mode has at least
// one write bit: root passes access(2) whatever the mode, yet a file or directory that nobody
// may write is meant to stay as it is, for root as well. False when `path` does not exist.
bool MayWrite(const std::string& path);

}  // namespace os
