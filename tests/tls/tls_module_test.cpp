// The TLS module: OpenSSL is not in the process until the first channel is opened, and a
// module that is missing or is not ours fails with a text that says which.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/mapped_libraries.h"
#include "transport/tls_channel.h"

namespace pelorin {
namespace {

using testing_support::LibraryMapped;
using testing_support::WaitUntilLibraryMapped;

// The first record of a TLS client hello: a handshake record (22), version 3.x.
bool StartsAClientHello(const std::string& bytes) {
  return bytes.size() > 5 && bytes[0] == 0x16 && bytes[1] == 0x03;
}

TEST(TlsModuleTest, OpenSslComesOnlyWithTheFirstSecuredConnection) {
  ASSERT_FALSE(LibraryMapped("libssl.so")) << "OpenSSL is linked into the program again";
  ASSERT_FALSE(LibraryMapped("libcrypto.so"));
  std::string failure;
  const auto channel = OpenTlsChannel("mail.example.org", "", &failure);
  ASSERT_NE(channel, nullptr) << failure;
  EXPECT_TRUE(LibraryMapped("libssl.so"));
  EXPECT_EQ(channel->CurrentState(), TlsChannel::State::Handshaking);
  channel->Advance();
  EXPECT_TRUE(StartsAClientHello(channel->TakeOutgoing()));
}

TEST(TlsModuleTest, PreloadingBringsOpenSslBeforeTheFirstChannel) {
  ASSERT_FALSE(LibraryMapped("libssl.so"));
  PreloadTlsModule();
  PreloadTlsModule();  // a second start while the first loads changes nothing
  EXPECT_TRUE(WaitUntilLibraryMapped("libssl.so"));
  std::string failure;
  EXPECT_NE(OpenTlsChannel("mail.example.org", "", &failure), nullptr) << failure;
}

TEST(TlsModuleTest, TheFirstModuleThatLoadsIsUsed) {
  struct Case {
    const char* what;
    std::vector<std::string> paths;
    const char* failureNames;  // null: a channel opens
  };
  const std::vector<Case> cases = {
      {"missing", {"/nonexistent/libpelorin32-tls.so"}, "libpelorin32-tls.so was not found"},
      {"another library", {"libc.so.6"}, "libc.so.6 is not the TLS module of this program"},
      {"not a library", {"/proc/self/status"}, "/proc/self/status"},
      {"none", {}, "libpelorin32-tls.so was not found"},
      {"missing, then found", {"/nonexistent/libpelorin32-tls.so", PELORIN_TLS_MODULE}, nullptr},
      {"another library first", {"libc.so.6", PELORIN_TLS_MODULE}, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string failure;
    const auto channel = OpenTlsChannelFrom(c.paths, "mail.example.org", "", &failure);
    if (c.failureNames == nullptr) {
      EXPECT_NE(channel, nullptr) << failure;
      continue;
    }
    EXPECT_EQ(channel, nullptr);
    EXPECT_EQ(failure.rfind("the TLS module could not be loaded (", 0), 0u) << failure;
    EXPECT_NE(failure.find(c.failureNames), std::string::npos) << failure;
  }
}

}  // namespace
}  // namespace pelorin
