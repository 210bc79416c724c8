// The sending settings of an Evolution mail account, read from the texts of its source files
// (~/.config/evolution/sources/*.source, GLib key files). An account source names its
// identity, the identity names the transport that sends its mail.
#pragma once

#include <string>
#include <vector>

#include "setup/mail_setup.h"

namespace pelorin {

struct SourceFile {
  std::string uid;  // the file name without ".source"
  std::string text;
};

// The first enabled mail account, in the order of the uids, whose identity has an address
// (else the first identity with one): that address, and the host, port, user and security
// of the identity's SMTP transport. Evolution keeps its default account in dconf, which is
// not read here.
MailSetup ReadEvolutionSources(std::vector<SourceFile> files);

}  // namespace pelorin
