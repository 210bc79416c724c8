// Folders and files that hold the user's mail must be the user's own: created for the user
// alone, refused when another user or a link could have put them there, and read with a limit.
#pragma once

#include <cstddef>
#include <string>

namespace pelorin {

// Creates `path` and its parents that are missing, each for the user alone.
bool MakePrivateDirectories(const std::string& path, std::string& why);

// Through a link, or in a folder of someone else's, another user could read the mail or plant
// text to be sent. A folder that is not there yet is fine.
bool IsOwnFolder(const std::string& path, std::string& why);

// Reads at most `limit` bytes and one more, so that a file that grew past it is seen to.
bool ReadAtMost(int fd, std::size_t limit, std::string& bytes);

}  // namespace pelorin
