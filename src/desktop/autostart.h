// Starting the program when the user logs in: a desktop entry in the XDG autostart folder,
// $XDG_CONFIG_HOME/autostart/pelorin32.desktop (~/.config/autostart when unset or not an
// absolute path), that starts the program in tray mode.
#pragma once

#include <string>

namespace os {

std::string AutostartEntryPath();
bool AutostartEntryExists();

// Each gives an empty text when done, else what went wrong, naming the file or folder.
// The entry is replaced whole (a new file renamed over the old one); removing an entry that
// is not there is done already.
std::string WriteAutostartEntry(const std::string& programPath);
std::string RemoveAutostartEntry();

}  // namespace os
