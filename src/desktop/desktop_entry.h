// The desktop entry that makes the program the desktop's handler for mailto: links, built from
// a command in the registry's form, "<program> <arguments>". Text only: the file is written
// elsewhere.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace os {

// A registry command split into the program and its arguments.
struct CommandLine {
  std::string program;
  std::vector<std::string> arguments;
  bool operator==(const CommandLine&) const = default;
};

// Splits a command as the Windows shell does: a program in double quotes ends at the closing
// quote; an unquoted program, which may hold blanks, is the shortest blank-ended beginning of
// the command that names an existing file (else the whole command when that names one, else
// its first word). The arguments are the blank-separated words after it.
CommandLine SplitCommand(std::string_view command,
                         const std::function<bool(const std::string&)>& fileExists);

// The desktop entry's Exec value for a command: "%1" (the link) becomes the field code "%u",
// the other placeholders "%2" ... "%9" and "%*" are dropped, since the desktop hands over one
// link only; every other word is quoted and escaped as the desktop entry format requires.
std::string ExecLineFor(const CommandLine& command);

// A complete desktop entry: an application named "Pelorin 32", hidden from menus, handling
// x-scheme-handler/mailto with `exec`. The command itself is kept in the key
// X-Pelorin-Command, so that it can be read back as it was given.
std::string DesktopEntryText(const std::string& command, const std::string& exec);

// A desktop entry for the desktop's autostart folder: "Pelorin 32", started with `exec` when
// the user logs in.
std::string AutostartEntryText(const std::string& exec);

// The command kept in a desktop entry by DesktopEntryText, or nothing.
std::optional<std::string> CommandOfDesktopEntry(std::string_view text);

}  // namespace os
