// The settings dialog's registry duties at its creation: recording where the program lives,
// and, on the first run, taking the user's address and server from two other mail clients.
// Keys that do not open are skipped quietly; a value that is not a string raises
// os::RegistryError, as does a value that cannot be written.
#pragma once

namespace pelorin {

// HKEY_CURRENT_USER "\Software\Pelorin 32" (created when missing), value "Command Line" :=
// the program file's full path, unquoted.
void RecordProgramPath();

// Clears SmtpServer, SenderAddress, DialEntry and UseDialup (SmtpPort stays), then fills the
// address and the server from Microsoft Internet Mail and News, where its "Sender Name" is
// set, and what is still empty from Netscape Navigator.
void ImportMailClientDefaults();

}  // namespace pelorin
