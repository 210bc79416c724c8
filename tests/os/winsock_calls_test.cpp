// The Winsock calls over POSIX sockets: start and stop, handles that are no sockets, options,
// modes, the database calls and the per-thread last error.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <thread>
#include <vector>

#include "os/winsock.h"
#include "os/winsock_test_peer.h"

namespace {

namespace ws = os::ws;
using testing_support::TestListener;

class WinsockCallsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(ws::WSAStartup(0x0101, &data_), 0); }
  void TearDown() override { EXPECT_EQ(ws::WSACleanup(), 0); }

  // A stream socket connected to `listener`, in blocking mode.
  ws::SOCKET ConnectedSocket(TestListener& listener) {
    const ws::SOCKET s = ws::socket(ws::WS_AF_INET, ws::WS_SOCK_STREAM, ws::WS_IPPROTO_TCP);
    ws::SOCKADDR_IN address{};
    address.sin_family = ws::WS_AF_INET;
    address.sin_port = (ws::htons)(static_cast<ws::u_short>(listener.Port()));
    address.sin_addr.s_addr = ws::inet_addr("127.0.0.1");
    EXPECT_EQ(ws::connect(s, reinterpret_cast<const ws::SOCKADDR*>(&address), sizeof address), 0);
    EXPECT_GE(listener.Accept(), 0);
    return s;
  }

  ws::WSADATA data_{};
};

TEST(WinsockStartTest, VersionsAndBalancedCleanup) {
  ws::WSADATA data{};
  EXPECT_EQ(ws::WSAStartup(0x0001, &data), ws::WSAVERNOTSUPPORTED) << "1.0 is below 1.1";
  EXPECT_EQ(ws::socket(ws::WS_AF_INET, ws::WS_SOCK_STREAM, 0), ws::INVALID_SOCKET);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSANOTINITIALISED);
  EXPECT_EQ(ws::WSACleanup(), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSANOTINITIALISED);

  ASSERT_EQ(ws::WSAStartup(0x0202, &data), 0) << "a later version is served with 1.1";
  EXPECT_EQ(data.wVersion, 0x0101);
  EXPECT_EQ(data.wHighVersion, 0x0101);
  ASSERT_EQ(ws::WSAStartup(0x0101, &data), 0);
  EXPECT_EQ(ws::WSACleanup(), 0);
  const ws::SOCKET s = ws::socket(ws::WS_AF_INET, ws::WS_SOCK_STREAM, 0);
  EXPECT_GE(s, 0) << "still started after one of two cleanups";
  EXPECT_EQ(ws::WSACleanup(), 0);
  EXPECT_EQ(::fcntl(s, F_GETFD), -1) << "the last cleanup closes the sockets left open";
}

TEST_F(WinsockCallsTest, EveryCallOnANonSocketFailsWith10038) {
  const ws::LINGER linger{1, 0};
  ws::u_long argument = 1;
  char byte = 0;
  ws::SOCKADDR_IN address{};
  address.sin_family = ws::WS_AF_INET;
  const std::vector<std::pair<const char*, std::function<int(ws::SOCKET)>>> calls = {
      {"closesocket", [](ws::SOCKET s) { return ws::closesocket(s); }},
      {"shutdown", [](ws::SOCKET s) { return ws::shutdown(s, ws::SD_BOTH); }},
      {"send", [&](ws::SOCKET s) { return ws::send(s, &byte, 1, 0); }},
      {"recv", [&](ws::SOCKET s) { return ws::recv(s, &byte, 1, 0); }},
      {"setsockopt",
       [&](ws::SOCKET s) {
         return ws::setsockopt(s, ws::WS_SOL_SOCKET, ws::WS_SO_LINGER,
                               reinterpret_cast<const char*>(&linger), sizeof linger);
       }},
      {"ioctlsocket", [&](ws::SOCKET s) { return ws::ioctlsocket(s, ws::WS_FIONBIO, &argument); }},
      {"WSAAsyncSelect", [](ws::SOCKET s) { return ws::WSAAsyncSelect(s, nullptr, 1024, 0); }},
      {"connect",
       [&](ws::SOCKET s) {
         return ws::connect(s, reinterpret_cast<const ws::SOCKADDR*>(&address), sizeof address);
       }},
  };
  // -1, standard input (open, but no socket of this layer) and a closed socket.
  const ws::SOCKET closed = ws::socket(ws::WS_AF_INET, ws::WS_SOCK_STREAM, 0);
  ASSERT_EQ(ws::closesocket(closed), 0);
  for (const ws::SOCKET handle : {-1, 0, closed}) {
    for (const auto& [name, call] : calls) {
      ws::WSASetLastError(0);
      EXPECT_EQ(call(handle), ws::SOCKET_ERROR) << name << " on " << handle;
      EXPECT_EQ(ws::WSAGetLastError(), ws::WSAENOTSOCK) << name << " on " << handle;
    }
  }
}

TEST_F(WinsockCallsTest, LastErrorBelongsToTheThread) {
  ws::WSASetLastError(0);
  std::thread other([] {
    EXPECT_EQ(ws::closesocket(-1), ws::SOCKET_ERROR);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSAENOTSOCK);
  });
  other.join();
  EXPECT_EQ(ws::WSAGetLastError(), 0);
}

TEST_F(WinsockCallsTest, UnsupportedFamiliesAndTypesAreRefused) {
  EXPECT_EQ(ws::socket(23, ws::WS_SOCK_STREAM, 0), ws::INVALID_SOCKET);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEAFNOSUPPORT);
  EXPECT_EQ(ws::socket(ws::WS_AF_INET, 3, 0), ws::INVALID_SOCKET);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAESOCKTNOSUPPORT);
}

TEST_F(WinsockCallsTest, LingerRecordBecomesThePosixOne) {
  const ws::SOCKET s = ws::socket(ws::WS_AF_INET, ws::WS_SOCK_STREAM, 0);
  for (const ws::LINGER record : {ws::LINGER{1, 0}, ws::LINGER{1, 7}, ws::LINGER{0, 0}}) {
    ASSERT_EQ(ws::setsockopt(s, 0xFFFF, 0x0080, reinterpret_cast<const char*>(&record), 4), 0);
    linger seen{};
    socklen_t length = sizeof seen;
    ASSERT_EQ(::getsockopt(s, SOL_SOCKET, SO_LINGER, &seen, &length), 0);
    EXPECT_EQ(seen.l_onoff != 0, record.l_onoff != 0);
    // With lingering off the system keeps the former time, which no longer counts.
    if (record.l_onoff != 0) {
      EXPECT_EQ(seen.l_linger, record.l_linger);
    }
  }
  const ws::LINGER record{1, 0};
  EXPECT_EQ(ws::setsockopt(s, 0xFFFF, 0x0080, reinterpret_cast<const char*>(&record), 2),
            ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEFAULT) << "a record too short";
  ws::closesocket(s);
}

TEST_F(WinsockCallsTest, NoDelayBufferSizesAndUnknownOptions) {
  const ws::SOCKET s = ws::socket(ws::WS_AF_INET, ws::WS_SOCK_STREAM, 0);
  const int on = 1;
  const char* value = reinterpret_cast<const char*>(&on);
  ASSERT_EQ(ws::setsockopt(s, ws::WS_IPPROTO_TCP, ws::WS_TCP_NODELAY, value, sizeof on), 0);
  int seen = 0;
  socklen_t length = sizeof seen;
  ASSERT_EQ(::getsockopt(s, IPPROTO_TCP, TCP_NODELAY, &seen, &length), 0);
  EXPECT_EQ(seen, 1);

  const int small = 4096;
  ASSERT_EQ(ws::setsockopt(s, ws::WS_SOL_SOCKET, ws::WS_SO_SNDBUF,
                           reinterpret_cast<const char*>(&small), sizeof small),
            0);
  ASSERT_EQ(::getsockopt(s, SOL_SOCKET, SO_SNDBUF, &seen, &length), 0);
  EXPECT_LE(seen, 2 * small) << "the system doubles what it is given, no more";

  EXPECT_EQ(ws::setsockopt(s, ws::WS_SOL_SOCKET, 0x1234, value, sizeof on), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAENOPROTOOPT);
  EXPECT_EQ(ws::setsockopt(s, 99, 1, value, sizeof on), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEINVAL);
  ws::closesocket(s);
}

TEST_F(WinsockCallsTest, ShutdownAndReadableCount) {
  const ws::SOCKET unconnected = ws::socket(ws::WS_AF_INET, ws::WS_SOCK_STREAM, 0);
  EXPECT_EQ(ws::shutdown(unconnected, ws::SD_BOTH), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAENOTCONN);
  ws::closesocket(unconnected);

  TestListener listener;
  const ws::SOCKET s = ConnectedSocket(listener);
  ASSERT_TRUE(listener.Send("12345"));
  ASSERT_TRUE(testing_support::WaitForDescriptor(s, POLLIN, 5000));
  ws::u_long available = 0;
  ASSERT_EQ(ws::ioctlsocket(s, ws::WS_FIONREAD, &available), 0);
  EXPECT_EQ(available, 5u);

  ASSERT_EQ(ws::shutdown(s, ws::SD_SEND), 0);
  EXPECT_TRUE(listener.SeesEnd());
  EXPECT_EQ(ws::send(s, "x", 1, 0), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAESHUTDOWN);
  char bytes[8] = {};
  EXPECT_EQ(ws::recv(s, bytes, sizeof bytes, 0), 5) << "receiving still works";
  ws::closesocket(s);
}

TEST_F(WinsockCallsTest, HostEntries) {
  for (const char* name : {"localhost", "127.0.0.1"}) {
    const ws::HOSTENT* host = ws::gethostbyname(name);
    ASSERT_NE(host, nullptr) << name;
    EXPECT_EQ(host->h_addrtype, ws::WS_AF_INET);
    EXPECT_EQ(host->h_length, 4);
    ASSERT_NE(host->h_addr_list[0], nullptr);
    const unsigned char loopback[4] = {127, 0, 0, 1};
    EXPECT_EQ(std::memcmp(host->h_addr_list[0], loopback, 4), 0) << name;
    EXPECT_EQ(host->h_aliases[0], nullptr);
  }
  EXPECT_EQ(ws::gethostbyname("nonexistent.invalid"), nullptr);
  const int error = ws::WSAGetLastError();
  EXPECT_TRUE(error == ws::WSAHOST_NOT_FOUND || error == ws::WSATRY_AGAIN) << error;
}

bool ServicesListSmtp() {
  std::ifstream services("/etc/services");
  std::string line;
  while (std::getline(services, line)) {
    if (line.rfind("smtp", 0) == 0 && line.find("25/tcp") != std::string::npos) return true;
  }
  return false;
}

TEST_F(WinsockCallsTest, ServiceAndProtocolEntries) {
  ASSERT_TRUE(ServicesListSmtp()) << "/etc/services lacks the smtp entry (package netbase)";
  const ws::SERVENT* service = ws::getservbyname("smtp", "tcp");
  ASSERT_NE(service, nullptr);
  EXPECT_STREQ(service->s_name, "smtp");
  EXPECT_STREQ(service->s_proto, "tcp");
  EXPECT_EQ(static_cast<ws::u_short>(service->s_port), (ws::htons)(25)) << "network byte order";
  EXPECT_EQ(ws::getservbyname("25", "tcp"), nullptr) << "a number names no service";
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSANO_DATA);

  const ws::PROTOENT* protocol = ws::getprotobyname("tcp");
  ASSERT_NE(protocol, nullptr) << "/etc/protocols lacks tcp (package netbase)";
  EXPECT_EQ(protocol->p_proto, 6);
  EXPECT_EQ(ws::getprotobyname("no-such-protocol"), nullptr);
}

TEST_F(WinsockCallsTest, HostNameAndAddressHelpers) {
  char own[256] = {};
  ASSERT_EQ(::gethostname(own, sizeof own), 0);
  char name[128] = {};
  ASSERT_EQ(ws::gethostname(name, sizeof name), 0);
  EXPECT_STREQ(name, own);
  char tiny[1];
  EXPECT_EQ(ws::gethostname(tiny, sizeof tiny), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEFAULT);

  EXPECT_EQ((ws::htons)(25), 0x1900);
  const unsigned char expected[4] = {192, 168, 1, 20};
  const ws::u_long address = ws::inet_addr("192.168.1.20");
  EXPECT_EQ(std::memcmp(&address, expected, 4), 0) << "network byte order";
  for (const char* notDotted : {"255.255.255.255", "mail.example", "", "1.2.3.4.5"}) {
    EXPECT_EQ(ws::inet_addr(notDotted), ws::WS_INADDR_NONE) << notDotted;
  }
}

}  // namespace
