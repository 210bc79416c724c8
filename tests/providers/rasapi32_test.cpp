// The pppd provider through its seven exported functions, loaded as the dial-up unit loads it,
// against the fake ppp installation of fake_ppp.h.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "os/ras.h"
#include "providers/fake_ppp.h"

namespace {

using namespace os;
using provider_test::FakePpp;

struct Provider {
  Provider() {
    library = ::dlopen(PELORIN_RASAPI32_FILE, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) throw std::runtime_error(::dlerror());
    Resolve(RasDialA, "RasDialA");
    Resolve(RasEnumConnectionsA, "RasEnumConnectionsA");
    Resolve(RasEnumEntriesA, "RasEnumEntriesA");
    Resolve(RasGetConnectStatusA, "RasGetConnectStatusA");
    Resolve(RasGetErrorStringA, "RasGetErrorStringA");
    Resolve(RasHangUpA, "RasHangUpA");
    Resolve(RasGetEntryDialParamsA, "RasGetEntryDialParamsA");
  }
  template <typename Function>
  void Resolve(Function& function, const char* name) {
    function = reinterpret_cast<Function>(::dlsym(library, name));
    if (function == nullptr) throw std::runtime_error(std::string("missing export ") + name);
  }
  void* library;
  RasDialAFn RasDialA;
  RasEnumConnectionsAFn RasEnumConnectionsA;
  RasEnumEntriesAFn RasEnumEntriesA;
  RasGetConnectStatusAFn RasGetConnectStatusA;
  RasGetErrorStringAFn RasGetErrorStringA;
  RasHangUpAFn RasHangUpA;
  RasGetEntryDialParamsAFn RasGetEntryDialParamsA;
};

const Provider& TheProvider() {
  static const Provider provider;
  return provider;
}

class ProviderTest : public ::testing::Test {
 protected:
  const Provider& ras = TheProvider();
  FakePpp ppp;

  std::vector<std::string> Entries(std::uint32_t* result = nullptr) {
    std::vector<RASENTRYNAMEA> records(10);
    records[0].dwSize = sizeof(RASENTRYNAMEA);
    std::uint32_t size = 10 * sizeof(RASENTRYNAMEA), count = 0;
    const std::uint32_t code = ras.RasEnumEntriesA(nullptr, nullptr, records.data(), &size, &count);
    if (result) *result = code;
    std::vector<std::string> names;
    for (std::uint32_t i = 0; code == 0 && i < count; ++i) names.push_back(records[i].szEntryName);
    return names;
  }

  std::vector<RASCONNA> Connections() {
    std::vector<RASCONNA> records(10);
    records[0].dwSize = sizeof(RASCONNA);
    std::uint32_t size = 10 * sizeof(RASCONNA), count = 0;
    EXPECT_EQ(ras.RasEnumConnectionsA(records.data(), &size, &count), 0u);
    records.resize(count);
    return records;
  }

  std::uint32_t Dial(const std::string& entry, HRASCONN* handle) {
    RASDIALPARAMSA params{};
    params.dwSize = sizeof params;
    std::strcpy(params.szEntryName, entry.c_str());
    return ras.RasDialA(nullptr, nullptr, &params, 0, nullptr, handle);
  }

  std::string ErrorText(std::uint32_t code) {
    char text[100] = {};
    EXPECT_EQ(ras.RasGetErrorStringA(code, text, sizeof text), 0u) << code;
    return text;
  }
};

TEST_F(ProviderTest, EntriesAreTheVisiblePeerFilesInOrder) {
  ppp.WritePeer(".hidden", "");
  ppp.WritePeer("old~", "");
  ppp.WritePeer("Abc", "");
  std::filesystem::create_directory(ppp.Path("peers/subdir"));
  EXPECT_EQ(Entries(), (std::vector<std::string>{"Abc", "isp", "work"}));
}

TEST_F(ProviderTest, EntryListingFailsWithItsCodes) {
  std::vector<RASENTRYNAMEA> records(2);
  std::uint32_t size = sizeof(RASENTRYNAMEA), count = 0;
  EXPECT_EQ(ras.RasEnumEntriesA(nullptr, nullptr, records.data(), &size, &count),
            ERROR_INVALID_SIZE);  // dwSize not set
  records[0].dwSize = sizeof(RASENTRYNAMEA);
  EXPECT_EQ(ras.RasEnumEntriesA(nullptr, nullptr, records.data(), &size, &count),
            ERROR_BUFFER_TOO_SMALL);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(size, 2 * sizeof(RASENTRYNAMEA));

  std::filesystem::remove_all(ppp.Path("peers"));
  std::uint32_t result = 0;
  Entries(&result);
  EXPECT_EQ(result, ERROR_CANNOT_OPEN_PHONEBOOK);
}

TEST_F(ProviderTest, DialParamsGiveThePeersUserName) {
  struct Case {
    std::string entry;
    std::uint32_t code;
    std::string user;
  };
  for (const Case& c : std::vector<Case>{{"isp", 0, "alice smith"},
                                         {"work", 0, "bob"},
                                         {"nowhere", ERROR_CANNOT_FIND_PHONEBOOK_ENTRY, ""},
                                         {"../peers/isp", ERROR_CANNOT_FIND_PHONEBOOK_ENTRY, ""}}) {
    SCOPED_TRACE(c.entry);
    RASDIALPARAMSA params{};
    params.dwSize = sizeof params;
    std::strcpy(params.szEntryName, c.entry.c_str());
    std::int32_t saved = 7;
    EXPECT_EQ(ras.RasGetEntryDialParamsA(nullptr, &params, &saved), c.code);
    EXPECT_EQ(std::string(params.szUserName), c.user);
    if (c.code == 0) {
      EXPECT_EQ(saved, 0);
    }
  }
  RASDIALPARAMSA wrongSize{};
  wrongSize.dwSize = 1040;
  EXPECT_EQ(ras.RasGetEntryDialParamsA(nullptr, &wrongSize, nullptr), ERROR_INVALID_SIZE);
}

TEST_F(ProviderTest, DialRunsPonUntilTheLinkIsUpAndHangUpRunsPoff) {
  HRASCONN handle = 0;
  ASSERT_EQ(Dial("isp", &handle), 0u);
  EXPECT_NE(handle, 0u);
  EXPECT_EQ(ppp.Calls(), "pon isp\n");

  const std::vector<RASCONNA> connections = Connections();
  ASSERT_EQ(connections.size(), 1u);
  EXPECT_EQ(connections[0].hrasconn, handle);
  EXPECT_STREQ(connections[0].szEntryName, "isp");
  EXPECT_STREQ(connections[0].szDeviceName, "ppp0");
  RASCONNSTATUSA status{};
  status.dwSize = sizeof status;
  EXPECT_EQ(ras.RasGetConnectStatusA(handle, &status), 0u);
  EXPECT_EQ(status.rasconnstate, 0x2000u);

  EXPECT_EQ(ras.RasHangUpA(handle), 0u);
  EXPECT_EQ(ppp.Calls(), "pon isp\npoff isp\n");
  EXPECT_TRUE(ppp.PppdPids().empty());
  EXPECT_TRUE(Connections().empty());
  EXPECT_EQ(ras.RasGetConnectStatusA(handle, &status), 0u);
  EXPECT_EQ(status.rasconnstate, 0x2001u);
}

TEST_F(ProviderTest, DialOfALinkAlreadyUpRunsNothing) {
  ppp.StartPppdByHand("call work");
  ASSERT_TRUE(ppp.WaitForInterfaceUp("ppp1"));
  HRASCONN handle = 0;
  EXPECT_EQ(Dial("work", &handle), 0u);
  EXPECT_NE(handle, 0u);
  EXPECT_EQ(ppp.Calls(), "");
}

TEST_F(ProviderTest, FailedDialsGiveTheirCodesAndTexts) {
  struct Case {
    std::string mode;
    std::uint32_t code;
    bool handleStored;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"fail", ERROR_PORT_NOT_AVAILABLE, false, "pon could not start pppd for this entry."},
      {"dies", ERROR_NO_CONNECTION, false,
       "pppd ended before the link came up (see the system log)."},
      {"quits", ERROR_NO_CONNECTION, false,
       "pppd ended before the link came up (see the system log)."},
      {"never", ERROR_REQUEST_TIMEOUT, true, "The link did not come up in time."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    ppp.Mode("isp", c.mode);
    // The link that never comes is waited for briefly: long enough for pon to have started
    // pppd, which the hang-up then stops.
    ppp.SetDialTimeoutMs(c.mode == "never" ? 3000 : 30000);
    HRASCONN handle = 0;
    EXPECT_EQ(Dial("isp", &handle), c.code);
    EXPECT_EQ(handle != 0, c.handleStored);
    EXPECT_EQ(ErrorText(c.code), c.text);
    if (c.handleStored) {
      EXPECT_EQ(ras.RasHangUpA(handle), 0u);  // the attempt is stopped
      EXPECT_TRUE(ppp.PppdPids().empty());
    }
    ppp.StopAllPppd();
  }
}

TEST_F(ProviderTest, ADialThatRunsOutOfTimeStopsThePonStillStartingTheLink) {
  ppp.Mode("isp", "stalls");
  ppp.SetDialTimeoutMs(200);  // pon stalls for good, however fast the machine
  HRASCONN handle = 0;
  EXPECT_EQ(Dial("isp", &handle), ERROR_REQUEST_TIMEOUT);
  // Otherwise it would start pppd after the send gave up, with nobody left to hang up.
  EXPECT_FALSE(ppp.PonRuns()) << "pon still runs after the dial gave up";
  EXPECT_EQ(ras.RasHangUpA(handle), 0u);
}

TEST_F(ProviderTest, DialOfAnUnknownEntryRunsNothing) {
  HRASCONN handle = 0;
  EXPECT_EQ(Dial("nowhere", &handle), ERROR_CANNOT_FIND_PHONEBOOK_ENTRY);
  EXPECT_EQ(handle, 0u);
  EXPECT_EQ(ppp.Calls(), "");
  EXPECT_EQ(ErrorText(ERROR_CANNOT_FIND_PHONEBOOK_ENTRY),
            "The phone book entry could not be found in the pppd peers.");
}

TEST_F(ProviderTest, DialWithoutPonSaysThePackageIsMissing) {
  const std::string path = std::getenv("PATH");
  std::filesystem::remove(ppp.Path("bin/pon"));
  ::setenv("PATH", ppp.Path("bin").c_str(), 1);  // no system pon either
  HRASCONN handle = 0;
  const std::uint32_t code = Dial("isp", &handle);
  ::setenv("PATH", path.c_str(), 1);
  EXPECT_EQ(code, 608u);
  EXPECT_EQ(ErrorText(code), "pon or poff was not found; install the ppp package.");
}

TEST_F(ProviderTest, DialRefusesANotifierAndAWrongRecord) {
  RASDIALPARAMSA params{};
  params.dwSize = sizeof params;
  std::strcpy(params.szEntryName, "isp");
  HRASCONN handle = 0;
  int notifier = 0;
  EXPECT_EQ(ras.RasDialA(nullptr, nullptr, &params, 0, &notifier, &handle), 87u);
  params.dwSize = 1000;
  EXPECT_EQ(ras.RasDialA(nullptr, nullptr, &params, 0, nullptr, &handle), ERROR_INVALID_SIZE);
  EXPECT_EQ(ppp.Calls(), "");
}

TEST_F(ProviderTest, EveryRunningPppdIsAnActiveConnection) {
  EXPECT_TRUE(Connections().empty());
  ppp.Mode("work", "never");  // still dialling: active all the same
  ppp.StartPppdByHand("call work");
  ppp.StartPppdByHand("nodetach");  // started without a peer
  const std::vector<std::string> expected = {"/ppp7", "work/ppp1"};
  std::vector<std::string> found;
  // Each is listed once it has written its pid file.
  provider_test::WaitFor([&] {
    found.clear();
    for (const RASCONNA& connection : Connections()) {
      found.push_back(std::string(connection.szEntryName) + "/" + connection.szDeviceName);
      EXPECT_NE(connection.hrasconn, 0u);
    }
    std::sort(found.begin(), found.end());
    return found == expected;
  });
  EXPECT_EQ(found, expected);

  std::vector<RASCONNA> one(1);
  one[0].dwSize = sizeof(RASCONNA);
  std::uint32_t size = sizeof(RASCONNA), count = 0;
  EXPECT_EQ(ras.RasEnumConnectionsA(one.data(), &size, &count), ERROR_BUFFER_TOO_SMALL);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(size, 2 * sizeof(RASCONNA));
}

TEST_F(ProviderTest, HangUpOfAPppdWithoutPeerEndsThatProcess) {
  ppp.StartPppdByHand("nodetach");
  ASSERT_TRUE(ppp.WaitForPppdCount(1));
  const std::vector<RASCONNA> connections = Connections();
  ASSERT_EQ(connections.size(), 1u);
  EXPECT_EQ(ras.RasHangUpA(connections[0].hrasconn), 0u);
  EXPECT_TRUE(ppp.WaitForPppdCount(0));
  EXPECT_EQ(ras.RasHangUpA(0), 6u);
  EXPECT_EQ(ras.RasHangUpA(0x7FFF), 6u);
}

TEST_F(ProviderTest, ErrorStringsKnowTheirLimits) {
  char small[10] = {};
  EXPECT_EQ(ras.RasGetErrorStringA(ERROR_REQUEST_TIMEOUT, small, sizeof small), 122u);
  char text[100] = {};
  EXPECT_EQ(ras.RasGetErrorStringA(12345, text, sizeof text), 87u);
  EXPECT_EQ(ErrorText(ERROR_LINE_BUSY), "The line is busy.");
}

}  // namespace
