// What to do when a provider refuses a password for a reason of its own policy: Microsoft
// takes no password from mail programs any more ("5.7.30", "5.7.139"), Gmail only an app
// password ("5.7.9"). A pure function over the server's reply.
#pragma once

#include <string>
#include <string_view>

namespace pelorin {

// A sentence or two for the user after the reply, or empty text when the reply is no such
// refusal.
std::string PasswordRefusalAdvice(std::string_view reply);

}  // namespace pelorin
