#include "transport/shared_data.h"

namespace pelorin {

const std::string LineEnd = "\r\n";
std::string SenderAddress;
std::vector<std::string> OutboxBodies;
std::vector<std::string> OutboxRecipients;

}  // namespace pelorin
