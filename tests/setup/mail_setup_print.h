// Readable test failures for what another mail program's settings gave.
#pragma once

#include <ostream>

#include "setup/mail_setup.h"

namespace pelorin {

inline void PrintTo(const MailSetup& s, std::ostream* out) {
  *out << "{address \"" << s.address << "\", server \"" << s.server << "\", port \"" << s.port
       << "\", security \"" << s.security << "\", user \"" << s.user << "\"}";
}

}  // namespace pelorin
