#include "ras_errors.h"

#include "os/ras.h"

namespace pelorin {

// Where the platform's text would mislead on Linux, the text names what went wrong here.
const char* RasErrorTextOf(std::uint32_t code) {
  switch (code) {
    case kRasInvalidHandle:
      return "The connection handle is not valid.";
    case kRasInvalidParameter:
      return "A parameter is missing or not supported.";
    case kRasCommandMissing:
      return "pon or poff was not found; install the ppp package.";
    case kRasHangUpFailed:
      return "poff could not stop pppd.";
    case os::ERROR_CANNOT_OPEN_PHONEBOOK:
      return "The pppd peers directory could not be read.";
    case os::ERROR_CANNOT_FIND_PHONEBOOK_ENTRY:
      return "The phone book entry could not be found in the pppd peers.";
    case os::ERROR_PORT_NOT_AVAILABLE:
      return "pon could not start pppd for this entry.";
    case os::ERROR_REQUEST_TIMEOUT:
      return "The link did not come up in time.";
    case os::ERROR_NO_CONNECTION:
      return "pppd ended before the link came up (see the system log).";
    default:
      return os::RasErrorText(code);
  }
}

}  // namespace pelorin
