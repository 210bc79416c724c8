// The program's global state: the settings, the address book and where the program lives.
// Plain globals, as the rest of the program expects; the line terminator, the sender
// address and the outbox come from the transport layer and are visible through this header.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "transport/shared_data.h"

namespace pelorin {

// Used until the configuration file or the settings dialog names a server.
extern const std::string DefaultSmtpServer;
extern const std::string DefaultSmtpPort;

// Directory of the program file, with its trailing "/" (empty when the path has none).
extern std::string ProgramDir;
// No configuration file was found at start-up; never cleared during the run.
extern bool NeedsSetup;

extern std::string SmtpServer;
// Decimal text, handed on unchecked.
extern std::string SmtpPort;
// Name of the dial-up phone-book entry to dial before sending.
extern std::string DialEntry;
extern bool UseDialup;

// The address book: entry i of NameList belongs to entry i of AddressList. Both always
// have the same length; unsorted, duplicates and empty texts allowed.
extern std::vector<std::string> NameList;
extern std::vector<std::string> AddressList;

// Puts every global back to its start value: empty lists and texts, the default server and
// port, both flags false. The start-up begins with it.
void ResetGlobals();

// Path of a file that lives beside the program, e.g. FileBesideProgram("skelmar32.ico").
std::string FileBesideProgram(std::string_view fileName);

}  // namespace pelorin
