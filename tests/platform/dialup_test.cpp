// The dial-up unit against fake provider libraries (fake_ras/), one build per behaviour, with
// a HKEY_LOCAL_MACHINE hive of the test's own that holds the key RAS needs on NT.
#include "platform/dialup.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/read_file.h"
#include "support/scoped_environment.h"

namespace pelorin {
namespace {

namespace fs = std::filesystem;

constexpr const char* kRasKeyHive =
    "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\RAS]\r\n\r\n";
constexpr const char* kEntryNotFound =
    "TRasGetEntryDialParams failed: The phone book entry could not be found.";

class RecordingList : public DropDownList {
 public:
  void Clear() override { operations.push_back("clear"); }
  void Add(const std::string& item) override { operations.push_back("add " + item); }
  void Select(std::optional<int> index) override {
    operations.push_back(index ? "select " + std::to_string(*index) : "select none");
  }
  std::vector<std::string> operations;
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

using testing_support::ReadFile;

class DialupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pelorin-dialup-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    directory_ = pattern;
    hive_ = directory_ / "hklm.reg";
    WriteHive(kRasKeyHive);
    environment_.Set("PELORIN_HKLM", hive_);
    environment_.Unset("PELORIN_RAS_LIBRARY_DIR");
    ResetDialupForTesting();
  }

  void TearDown() override {
    ResetDialupForTesting();
    fs::remove_all(directory_);
  }

  void WriteHive(const std::string& text) { std::ofstream(hive_, std::ios::binary) << text; }

  static void SelectProvider(const std::string& variant) {
    const std::string directory = std::string(PELORIN_FAKE_RAS_DIR) + "/" + variant;
    ASSERT_TRUE(fs::exists(directory + "/librasapi32.so"))
        << "fake provider not built: " << variant;
    ::setenv("PELORIN_RAS_LIBRARY_DIR", directory.c_str(), 1);
  }

  void SelectNoProvider() {
    fs::create_directory(directory_ / "empty");
    ::setenv("PELORIN_RAS_LIBRARY_DIR", (directory_ / "empty").c_str(), 1);
  }

  // Loads the variant and forgets the calls that an earlier test made to the same library.
  static void LoadProvider(const std::string& variant) {
    SelectProvider(variant);
    LoadRasLibrary();
    ASSERT_NE(RasLibrary, nullptr) << variant;
    FakeFunction<void (*)()>("FakeRasClearCalls")();
  }

  static std::vector<std::string> Calls() {
    return Lines(FakeFunction<const char* (*)()>("FakeRasCalls")());
  }

  template <typename Function>
  static Function FakeFunction(const char* name) {
    auto function = reinterpret_cast<Function>(os::GetProcAddress(RasLibrary, name));
    if (function == nullptr) throw std::runtime_error(std::string("fake lacks ") + name);
    return function;
  }

  static std::vector<std::string> AllEntries() {
    return {"add Provider A", "add Home ISP",
            "add home isp",   "add " + std::string(256, 'L'),
            "add Home ISP",   "add " + std::string(257, 'M')};
  }

  fs::path directory_;
  testing_support::ScopedEnvironment environment_;
  fs::path hive_;
};

std::string DialLine(const std::string& entry, const std::string& phone, const std::string& user) {
  return "RasDialA ext=null book=null size=1052 entry=" + entry + " phone=" + phone +
         " user=" + user + " type=0 notifier=null handle=0";
}

const std::string kConnectionsLine = "RasEnumConnectionsA size=412 cb=41200";

std::string ParamsLine(const std::string& entry) {
  return "RasGetEntryDialParamsA book=null size=1052 entry=" + entry + " password=set";
}

TEST_F(DialupTest, LinuxCountsAsWindowsNT) {
  EXPECT_TRUE(IsWindowsNT());
}

TEST_F(DialupTest, CompleteProviderMakesRasAvailable) {
  SelectProvider("complete");
  LoadRasLibrary();
  EXPECT_NE(RasLibrary, nullptr);
  EXPECT_TRUE(RasAvailable);
  EXPECT_NE(RasFunctions.RasGetConnectStatusA, nullptr);
  EXPECT_NE(RasFunctions.RasGetEntryDialParamsA, nullptr);
  EXPECT_EQ(ReadFile(hive_), kRasKeyHive) << "testing the key must not change the hive";
}

TEST_F(DialupTest, WithoutLibraryEveryOperationDoesNothing) {
  SelectNoProvider();
  RecordingList list;
  FillRasEntries(list, std::string("Home ISP"));
  EXPECT_EQ(RasLibrary, nullptr);
  EXPECT_FALSE(RasAvailable);
  EXPECT_TRUE(list.operations.empty()) << "the list is left as it was";
  EXPECT_EQ(DialRasEntry("Home ISP", ""), "");
  EXPECT_EQ(HangUpRas(), "");
}

TEST_F(DialupTest, FailedLoadIsRetriedByTheNextCall) {
  SelectNoProvider();
  LoadRasLibrary();
  ASSERT_FALSE(RasAvailable);
  SelectProvider("complete");
  LoadRasLibrary();
  EXPECT_TRUE(RasAvailable);
}

TEST_F(DialupTest, LibraryLackingConnectStatusStaysUnavailableForTheRun) {
  SelectProvider("no_connect_status");
  LoadRasLibrary();
  EXPECT_NE(RasLibrary, nullptr);
  EXPECT_FALSE(RasAvailable);
  // All seven were tried: the ones after the missing function are resolved too.
  EXPECT_EQ(RasFunctions.RasGetConnectStatusA, nullptr);
  EXPECT_NE(RasFunctions.RasGetErrorStringA, nullptr);
  EXPECT_NE(RasFunctions.RasHangUpA, nullptr);
  EXPECT_NE(RasFunctions.RasGetEntryDialParamsA, nullptr);

  SelectProvider("complete");
  RecordingList list;
  FillRasEntries(list, std::nullopt);
  EXPECT_FALSE(RasAvailable) << "a loaded library is never replaced";
  EXPECT_TRUE(list.operations.empty());
  EXPECT_EQ(DialRasEntry("Home ISP", ""), "");
  EXPECT_TRUE(Calls().empty()) << "nothing may be called while RAS is unavailable";
}

TEST_F(DialupTest, MissingNtKeyMakesRasUnavailableUntilTheKeyExists) {
  const std::string otherKey = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft]\r\n\r\n";
  WriteHive(otherKey);
  SelectProvider("complete");
  LoadRasLibrary();
  EXPECT_EQ(RasLibrary, nullptr) << "the library is not even loaded";
  EXPECT_FALSE(RasAvailable);
  EXPECT_EQ(ReadFile(hive_), otherKey) << "the key is never created";

  WriteHive(kRasKeyHive);
  LoadRasLibrary();
  EXPECT_TRUE(RasAvailable);
}

TEST_F(DialupTest, ReadOnlyHiveMakesRasUnavailable) {
  // The registry counts a file without write bits as read-only even for root.
  ASSERT_EQ(::chmod(hive_.c_str(), 0444), 0);
  SelectProvider("complete");
  LoadRasLibrary();
  EXPECT_EQ(RasLibrary, nullptr);
  EXPECT_FALSE(RasAvailable);
}

TEST_F(DialupTest, FillListsEntriesInOrderAndSelectsTheLastExactMatch) {
  LoadProvider("complete");
  struct Case {
    std::optional<std::string> wanted;
    std::string selection;
  };
  const Case cases[] = {
      {std::string("Home ISP"), "select 4"},
      {std::string("home isp"), "select 2"},
      {std::string("HOME ISP"), "select none"},
      {std::string("Provider A"), "select 0"},
      {std::string(256, 'L'), "select 3"},
      {std::string(""), "select none"},
      {std::nullopt, "select none"},
  };
  for (const Case& c : cases) {
    RecordingList list;
    FillRasEntries(list, c.wanted);
    std::vector<std::string> expected = {"clear"};
    for (const std::string& add : AllEntries()) expected.push_back(add);
    expected.push_back(c.selection);
    EXPECT_EQ(list.operations, expected) << c.wanted.value_or("(none)");
  }
  EXPECT_EQ(Calls().front(), "RasEnumEntriesA reserved=null book=null size=264 cb=26400");
}

TEST_F(DialupTest, EntriesThatCannotBeListedLeaveTheListEmpty) {
  for (const char* variant : {"enum_fails", "many_entries", "overstated_count"}) {
    ResetDialupForTesting();
    LoadProvider(variant);
    RecordingList list;
    FillRasEntries(list, std::string("Provider A"));
    EXPECT_EQ(list.operations, std::vector<std::string>{"clear"}) << variant;
    EXPECT_EQ(Calls(),
              std::vector<std::string>{"RasEnumEntriesA reserved=null book=null size=264 cb=26400"})
        << variant;
  }
}

TEST_F(DialupTest, DialUsesTheSavedParameters) {
  LoadProvider("complete");
  EXPECT_EQ(DialRasEntry("Home ISP", ""), "");
  EXPECT_TRUE(RasDialledByUs);
  EXPECT_EQ(RasConnection, 0x5151u);
  EXPECT_STREQ(RasDialParams.szPassword, "secret");
  EXPECT_EQ(Calls(), (std::vector<std::string>{kConnectionsLine, ParamsLine("Home ISP"),
                                               DialLine("Home ISP", "5551234", "alice")}));
}

TEST_F(DialupTest, PhoneNumberIsAppendedUpToTheFieldsLimit) {
  // The saved number has 7 characters; the field holds 128.
  struct Case {
    std::size_t appended;
    bool dialled;
  };
  for (const Case c : {Case{0, true}, Case{121, true}, Case{122, false}, Case{400, false}}) {
    ResetDialupForTesting();
    LoadProvider("complete");
    const std::string extra(c.appended, '9');
    const std::string result = DialRasEntry("Home ISP", extra);
    if (c.dialled) {
      EXPECT_EQ(result, "") << c.appended;
      EXPECT_EQ(Calls().back(), DialLine("Home ISP", "5551234" + extra, "alice"));
    } else {
      EXPECT_EQ(result, "The phone number is longer than 128 characters.") << c.appended;
      EXPECT_EQ(Calls().back(), ParamsLine("Home ISP")) << "nothing is dialled";
    }
    EXPECT_EQ(RasDialledByUs, c.dialled);
  }
}

TEST_F(DialupTest, EntryNameLongerThan256CharactersIsRefused) {
  LoadProvider("complete");
  const std::string longest(256, 'L');
  EXPECT_EQ(DialRasEntry(longest, ""), "");
  EXPECT_EQ(Calls().back(), DialLine(longest, "5551234", "alice"));

  ResetDialupForTesting();
  LoadProvider("complete");
  EXPECT_EQ(DialRasEntry(std::string(257, 'L'), ""),
            "The dial-up entry name is longer than 256 characters.");
  EXPECT_EQ(Calls(), std::vector<std::string>{kConnectionsLine});
  EXPECT_FALSE(RasDialledByUs);
}

TEST_F(DialupTest, UnreadableSavedParametersAreReportedAndTheDialStillMade) {
  LoadProvider("complete");
  EXPECT_EQ(DialRasEntry("Nowhere", ""), kEntryNotFound);
  EXPECT_EQ(Calls(), (std::vector<std::string>{kConnectionsLine, ParamsLine("Nowhere"),
                                               "RasGetErrorStringA code=623 cb=100",
                                               DialLine("Nowhere", "", "")}));
  EXPECT_FALSE(RasDialledByUs) << "the fake refuses to dial an unknown entry";
}

TEST_F(DialupTest, ReportOfUnreadableParametersStaysWhenTheDialSucceeds) {
  LoadProvider("dial_params_fail");
  EXPECT_EQ(DialRasEntry("Home ISP", "0"), kEntryNotFound);
  EXPECT_TRUE(RasDialledByUs);
  // The record goes out as the failed call left it.
  EXPECT_EQ(Calls().back(), DialLine("Home ISP", "9990", ""));
}

TEST_F(DialupTest, ConnectionAlreadyUpIsNeitherDialledNorHungUp) {
  LoadProvider("connection_up");
  EXPECT_EQ(DialRasEntry("Home ISP", ""), "");
  EXPECT_FALSE(RasDialledByUs);
  EXPECT_EQ(HangUpRas(), "");
  EXPECT_EQ(Calls(), std::vector<std::string>{kConnectionsLine});
}

TEST_F(DialupTest, FailedLookUpOfConnectionsDialsNothing) {
  LoadProvider("connections_fail");
  EXPECT_EQ(DialRasEntry("Home ISP", ""), "");
  EXPECT_EQ(Calls(), std::vector<std::string>{kConnectionsLine});
}

TEST_F(DialupTest, FailedDialHangsUpTheHandleItLeft) {
  LoadProvider("dial_fails_with_handle");
  EXPECT_EQ(DialRasEntry("Home ISP", ""), "");
  EXPECT_FALSE(RasDialledByUs);
  EXPECT_EQ(RasConnection, 0x0BADu) << "the stale handle is kept";
  EXPECT_EQ(Calls().back(), "RasHangUpA handle=2989");
  EXPECT_EQ(HangUpRas(), "");
  EXPECT_EQ(Calls().back(), "RasHangUpA handle=2989") << "no second hang-up";

  // The next dial starts from no handle, not from the stale one.
  EXPECT_EQ(DialRasEntry("Home ISP", ""), "");
  const std::vector<std::string> calls = Calls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[calls.size() - 2], DialLine("Home ISP", "5551234", "alice"));
}

TEST_F(DialupTest, FailedDialWithoutHandleHangsUpNothing) {
  LoadProvider("dial_fails");
  EXPECT_EQ(DialRasEntry("Home ISP", ""), "");
  EXPECT_FALSE(RasDialledByUs);
  EXPECT_EQ(Calls().back(), DialLine("Home ISP", "5551234", "alice"));
}

TEST_F(DialupTest, HangUpTwiceHangsUpOnce) {
  LoadProvider("complete");
  ASSERT_EQ(DialRasEntry("Home ISP", ""), "");
  EXPECT_EQ(HangUpRas(), " ");
  EXPECT_FALSE(RasDialledByUs);
  EXPECT_EQ(HangUpRas(), "");
  const std::vector<std::string> calls = Calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "RasHangUpA handle=20817"), 1);
}

TEST_F(DialupTest, FailedHangUpStillForgetsTheConnection) {
  LoadProvider("hangup_fails");
  ASSERT_EQ(DialRasEntry("Home ISP", ""), "");
  EXPECT_EQ(HangUpRas(), "RasHangUp failed.");
  EXPECT_FALSE(RasDialledByUs);
  EXPECT_EQ(HangUpRas(), "");
}

TEST_F(DialupTest, DialDoesNotLoadTheLibrary) {
  SelectProvider("complete");
  EXPECT_EQ(DialRasEntry("Home ISP", ""), "");
  EXPECT_EQ(RasLibrary, nullptr);
  EXPECT_FALSE(RasDialledByUs);
}

// Both threads must come back with the finished load. An unguarded load also shows here as a
// data race under ThreadSanitizer (PELORIN_TSAN).
TEST_F(DialupTest, LoadsFromTwoThreadsAtOnceBothSeeTheResult) {
  SelectProvider("complete");
  for (int round = 0; round < 50; ++round) {
    ResetDialupForTesting();
    std::atomic<int> waiting{2};
    std::atomic<int> sawAvailable{0};
    auto load = [&] {
      for (--waiting; waiting > 0;) std::this_thread::yield();
      LoadRasLibrary();
      if (RasAvailable) ++sawAvailable;
    };
    std::thread first(load), second(load);
    first.join();
    second.join();
    ASSERT_EQ(sawAvailable, 2) << "round " << round;
  }
}

}  // namespace
}  // namespace pelorin
