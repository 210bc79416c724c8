#include "app/port_proposal.h"

namespace pelorin {
namespace {

constexpr const char* kPlainPort = "25";

const char* PortFor(SmtpSecurity security) {
  switch (security) {
    case SmtpSecurity::StartTls:
      return "587";
    case SmtpSecurity::Tls:
      return "465";
    case SmtpSecurity::None:
      break;
  }
  return kPlainPort;
}

}  // namespace

PortField ProposePort(const PortField& field, SmtpSecurity chosen) {
  const bool stillProposed = !field.proposed.empty() && field.text == field.proposed;
  if (chosen == SmtpSecurity::None) {
    return {stillProposed ? kPlainPort : field.text, ""};
  }
  if (field.text == kPlainPort || stillProposed) return {PortFor(chosen), PortFor(chosen)};
  return {field.text, ""};
}

}  // namespace pelorin
