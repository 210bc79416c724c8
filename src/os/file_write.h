// Writing files so that they survive a crash: every byte written, and a directory's entries
// flushed to disk after a rename. Shared by every file the program rewrites whole.
#pragma once

#include <string>
#include <string_view>

namespace os {

// Writes all of `bytes` to `fd`, going on after interruptions; 0, or the errno of the failure.
int WriteAll(int fd, std::string_view bytes);

// Replaces the file `name` in `directory` with `bytes`, whole or not at all: a temporary file
// beside it (".<name>.tmp", truncated if a killed writer left one), flushed, then renamed over.
// For a file that one writer at a time owns. 0, or the errno of the failure.
int ReplaceFile(const std::string& directory, const std::string& name, std::string_view bytes);

// Makes the entries of `directory` (a rename into it, a removal) durable. Best effort: a
// directory that cannot be synced is no failure of what was written into it.
void SyncDirectory(const std::string& directory);

}  // namespace os
