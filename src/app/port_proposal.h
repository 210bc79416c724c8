// The port that a choice of connection security proposes for the settings dialog's port
// field: 587 for STARTTLS, 465 for SSL/TLS, put where the field still reads the plain "25"
// or the port proposed before; "None" gives the 25 back only where the field still reads what
// was proposed. A port the user typed is never replaced.
#pragma once

#include <string>

#include "transport/smtp_session.h"

namespace pelorin {

struct PortField {
  std::string text;
  std::string proposed;  // what the field was given by the last proposal; empty for none
  bool operator==(const PortField&) const = default;
};

PortField ProposePort(const PortField& field, SmtpSecurity chosen);

}  // namespace pelorin
