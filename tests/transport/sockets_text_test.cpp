// The socket component's texts and conversions: the 50 error descriptions, the integer
// conversion of a Port text and the port it names.
#include <gtest/gtest.h>

#include <climits>
#include <fstream>
#include <string>

#include "os/winsock.h"
#include "transport/socket_error_text.h"
#include "transport/sockets.h"

namespace {

using pelorin::ConversionError;

struct ErrorTextCase {
  int code;
  const char* text;
};

TEST(SocketErrorTextTest, EveryWinsockCodeHasItsText) {
  const ErrorTextCase cases[] = {
      {10004, "Interrupted system call"},
      {10009, "Bad file number"},
      {10013, "Permission denied"},
      {10014, "Bad address"},
      {10022, "Invalid argument"},
      {10024, "Too many open files"},
      {10035, "Operation would block"},
      {10036, "Operation now in progress"},
      {10037, "Operation already in progress"},
      {10038, "Socket operation on non-socket"},
      {10039, "Destination address required"},
      {10040, "Message too long"},
      {10041, "Protocol wrong type for socket"},
      {10042, "Protocol not available"},
      {10043, "Protocol not supported"},
      {10044, "Socket type not supported"},
      {10045, "Operation not supported on socket"},
      {10046, "Protocol family not supported"},
      {10047, "Address family not supported by protocol family"},
      {10048, "Address already in use"},
      {10049, "Can't assign requested address"},
      {10050, "Network is down"},
      {10051, "Network is unreachable"},
      {10052, "Network dropped connection on reset"},
      {10053, "Software caused connection abort"},
      {10054, "Connection reset by peer"},
      {10055, "No buffer space available"},
      {10056, "Socket is already connected"},
      {10057, "Socket is not connected"},
      {10058, "Can't send after socket shutdown"},
      {10059, "Too many references: can't splice"},
      {10060, "Connection timed out"},
      {10061, "Connection refused"},
      {10062, "Too many levels of symbolic links"},
      {10063, "File name too long"},
      {10064, "Host is down"},
      {10065, "No route to host"},
      {10066, "Directory not empty"},
      {10067, "Too many processes"},
      {10068, "Too many users"},
      {10069, "Disc quota exceeded"},
      {10070, "Stale NFS file handle"},
      {10071, "Too many levels of remote in path"},
      {10091, "Network sub-system is unusable"},
      {10092, "WinSock DLL cannot support this application"},
      {10093, "WinSock not initialized"},
      {11001, "Host not found"},
      {11002, "Non-authoritative host not found"},
      {11003, "Non-recoverable error"},
      {11004, "No Data"},
  };
  ASSERT_EQ(std::size(cases), 50u);
  for (const ErrorTextCase& c : cases)
    EXPECT_EQ(pelorin::SocketErrorText(c.code), c.text) << c.code;
}

TEST(SocketErrorTextTest, AnyOtherValueIsNotAWinsockError) {
  for (const int value : {0, -1, INT_MIN, INT_MAX, 1, 10000, 10001, 10003, 10005, 10072, 10090,
                          10094, 11000, 11005, 54, 61}) {
    EXPECT_EQ(pelorin::SocketErrorText(value), "Not a WinSock error") << value;
  }
}

TEST(StrToIntTest, DecimalAndDollarHexadecimal) {
  const std::pair<const char*, int> cases[] = {
      {"25", 25},
      {"  25", 25},
      {"+25", 25},
      {"-7", -7},
      {"$19", 25},
      {"$ff", 255},
      {"$FF", 255},
      {"-$10", -16},
      {"$FFFFFFFF", -1},
      {"2147483647", INT_MAX},
      {"-2147483648", INT_MIN},
      {"0000000025", 25},
      {"0", 0},
  };
  for (const auto& [text, value] : cases) EXPECT_EQ(pelorin::StrToInt(text), value) << text;
}

TEST(StrToIntTest, AnythingElseIsAConversionErrorNamingTheText) {
  for (const char* text : {"2x5", "", " ", "25 ", "$", "$g", "2147483648", "-2147483649",
                           "$100000000", "+", "0x19", "- 5", "\t25", "smtp"}) {
    try {
      pelorin::StrToInt(text);
      ADD_FAILURE() << "'" << text << "' converted";
    } catch (const ConversionError& error) {
      EXPECT_EQ(error.what(), "'" + std::string(text) + "' is not a valid integer value");
    }
  }
}

class ServerPortTest : public ::testing::Test {
 protected:
  // The service look-up is a Winsock call and needs the library started.
  void SetUp() override { ASSERT_EQ(os::ws::WSAStartup(0x0101, &data_), 0); }
  void TearDown() override { os::ws::WSACleanup(); }
  os::ws::WSADATA data_{};
};

bool ServicesListSmtp() {
  std::ifstream services("/etc/services");
  std::string line;
  while (std::getline(services, line)) {
    if (line.rfind("smtp", 0) == 0 && line.find("25/tcp") != std::string::npos) return true;
  }
  return false;
}

TEST_F(ServerPortTest, ServiceNameOrIntegerInNetworkOrder) {
  ASSERT_TRUE(ServicesListSmtp()) << "/etc/services lacks the smtp entry (package netbase)";
  const std::uint16_t port25 = (os::ws::htons)(25);
  EXPECT_EQ(pelorin::ServerPort("smtp"), port25) << "the service entry";
  EXPECT_EQ(pelorin::ServerPort("25"), port25);
  EXPECT_EQ(pelorin::ServerPort("$19"), port25);
  EXPECT_EQ(pelorin::ServerPort("65561"), port25) << "the low 16 bits of 0x10019";
  EXPECT_THROW(pelorin::ServerPort("2x5"), ConversionError);
}

}  // namespace
