#include "transport/shared_data.h"

namespace pelorin {

const std::string LineEnd = "\r\n";
std::string SenderAddress;

}  // namespace pelorin
