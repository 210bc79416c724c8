// The error codes of the pppd provider and the texts RasGetErrorStringA gives for them.
#pragma once

#include <cstdint>

namespace pelorin {

enum : std::uint32_t {
  kRasInvalidHandle = 6,
  kRasInvalidParameter = 87,
  kRasInsufficientBuffer = 122,
  kRasCommandMissing = 608,  // ERROR_DEVICE_DOES_NOT_EXIST
  kRasHangUpFailed = 635,    // ERROR_UNKNOWN
};

// The text for `code`, or a null pointer for a code the provider does not give.
const char* RasErrorTextOf(std::uint32_t code);

}  // namespace pelorin
