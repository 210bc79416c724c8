// The configuration file tessaly32.cfg beside the program: settings and address book.
//
// Format, one item per line, every line ended by CR LF when written:
//   1  server ":" port        (read: split at the first ":"; without one the port stays "25")
//   2  sender address
//   3  dial-up entry
//   4  "TRUE" or "FALSE"      (read: only exactly "TRUE" is true)
//   5… name, address, name, address, …
// When read, a CR ends a line and one LF right after it is skipped; a lone LF is ordinary
// text. A Ctrl-Z byte (26) or the end of the file ends the data, and missing lines read as
// empty texts. Nothing in the content is ever rejected; a CR or LF inside a value is written
// as a blank, so that every value keeps its own line.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/globals.h"

namespace pelorin {

extern const std::string ConfigurationFileName;  // "tessaly32.cfg"

// What the file holds, apart from the globals so that bytes can be checked on their own.
struct Configuration {
  std::string smtpServer = DefaultSmtpServer;
  std::string smtpPort = DefaultSmtpPort;
  std::string senderAddress;
  std::string dialEntry;
  bool useDialup = false;
  std::vector<std::string> names;
  std::vector<std::string> addresses;
  bool operator==(const Configuration&) const = default;
};

Configuration ParseConfiguration(std::string_view bytes);
std::string FormatConfiguration(const Configuration& configuration);

Configuration CurrentConfiguration();
void ApplyConfiguration(const Configuration& configuration);

// The failure text for a system error number: "File not found", "Invalid filename",
// "Too many open files", "File access denied", "Disk full" or "I/O error <n>".
std::string IoErrorText(int errorNumber);

// The file wrappers return 0 on success, otherwise the errno of the step that failed.
// Reading stops at the first Ctrl-Z, since nothing after it belongs to the data.
int ReadConfigurationBytes(const std::string& path, std::string& bytes);
// Replaces the file whole or not at all: the bytes go to a temporary file in the same
// directory, which is synced and then renamed over the old file. On failure the temporary
// file is removed and the old file is left as it was. A file or directory without any write
// bit is refused with EACCES also for root, as writing the file in place would be.
int ReplaceFileContents(const std::string& path, std::string_view bytes);

// ProgramDir + "tessaly32.cfg".
std::string ConfigurationPath();
// A directory of that name counts as no file.
bool ConfigurationFileExists();

// Reads the configuration file into the globals. Returns the failure text when the file
// cannot be opened or read; the globals are then left untouched.
std::optional<std::string> LoadConfiguration();

// Rewrites the configuration file from the globals. A failure is reported here, in the
// error box that an uncaught failure gets ("File access denied." titled "Pelorin32"), and
// the result is false; the globals keep their values and the old file stays whole. Callers
// need not report anything themselves: they may simply carry on.
bool SaveConfiguration();

}  // namespace pelorin
