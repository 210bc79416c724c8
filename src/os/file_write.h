// Writing files so that they survive a crash: every byte written, and a directory's entries
// flushed to disk after a rename. Shared by every file the program rewrites whole.
#pragma once

#include <string>
#include <string_view>

namespace os {

// Writes all of `bytes` to `fd`, going on after interruptions; 0, or the errno of the failure.
int WriteAll(int fd, std::string_view bytes);

// Makes the entries of `directory` (a rename into it, a removal) durable. Best effort: a
// directory that cannot be synced is no failure of what was written into it.
void SyncDirectory(const std::string& directory);

}  // namespace os
