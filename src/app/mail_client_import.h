// The settings dialog's duties at its creation: recording where the program lives, and, on
// the first run, taking the user's address and server from other mail programs. Keys that do
// not open are skipped quietly; a value that is not a string raises os::RegistryError, as
// does a value that cannot be written.
#pragma once

#include "setup/mail_setup.h"

namespace pelorin {

// HKEY_CURRENT_USER "\Software\Pelorin 32" (created when missing), value "Command Line" :=
// the program file's full path, unquoted.
void RecordProgramPath();

// Clears SmtpServer, SenderAddress, DialEntry and UseDialup (SmtpPort stays), then fills the
// address and the server from Microsoft Internet Mail and News, where its "Sender Name" is
// set, and what is still empty from Netscape Navigator. What the registry left empty is then
// taken from the first of the desktop's mail programs that names an address or a server
// (FindLinuxMailSetup): the address, and the server together with its port. Gives what was
// taken from there, security and user name included; empty fields where nothing was.
MailSetup ImportMailClientDefaults();

}  // namespace pelorin
