// Arbitrary bytes as an autoconfig file: never a crash, and whatever is found is a secured
// server with a plain host name and a port in range.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "setup/autoconfig_xml.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto found = pelorin::setup::ParseAutoconfig(bytes, "example.org");
  if (!found) return 0;
  const bool sound = pelorin::setup::IsPlainHostName(found->host) && found->port >= 1 &&
                     found->port <= 65535 && found->security != pelorin::SmtpSecurity::None;
  if (!sound) {
    std::fprintf(stderr, "violated: a found server is secured, named plainly, on a port\n");
    std::abort();
  }
  return 0;
}
