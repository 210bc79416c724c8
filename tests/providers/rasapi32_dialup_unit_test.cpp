// The dial-up unit with the pppd provider as the program ships it: loaded from the program
// directory, with the registry key that stands for dial-up support.
#include <gtest/gtest.h>

#include "os/registry.h"
#include "platform/dialup.h"
#include "platform/dialup_key.h"
#include "providers/fake_ppp.h"
#include "support/scoped_environment.h"

namespace pelorin {
namespace {

class RecordingList : public DropDownList {
 public:
  void Clear() override { items.clear(); }
  void Add(const std::string& item) override { items.push_back(item); }
  void Select(std::optional<int> index) override { selected = index; }
  std::vector<std::string> items;
  std::optional<int> selected;
};

class DialupUnitWithPppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    environment_.Set("PELORIN_RAS_LIBRARY_DIR", PELORIN_RASAPI32_DIR);
    environment_.Set("PELORIN_HKLM", ppp.Path("hklm.reg"));
    RegisterDialupKey();
    ResetDialupForTesting();
  }
  void TearDown() override {
    ResetDialupForTesting();
    os::RegisterVirtualKey(os::HKEY_LOCAL_MACHINE, kDialupKeyPath, nullptr);
  }
  provider_test::FakePpp ppp;
  testing_support::ScopedEnvironment environment_;
};

TEST_F(DialupUnitWithPppTest, ListsDialsAndHangsUpThePeers) {
  RecordingList list;
  FillRasEntries(list, std::string("work"));
  ASSERT_TRUE(RasAvailable);
  EXPECT_EQ(list.items, (std::vector<std::string>{"isp", "work"}));
  EXPECT_EQ(list.selected, 1);

  EXPECT_EQ(DialRasEntry("isp", ""), "");
  EXPECT_TRUE(RasDialledByUs);
  EXPECT_EQ(ppp.PppdPids().size(), 1u);
  EXPECT_EQ(HangUpRas(), " ");
  EXPECT_TRUE(ppp.PppdPids().empty());
  EXPECT_EQ(ppp.Calls(), "pon isp\npoff isp\n");
}

TEST_F(DialupUnitWithPppTest, AnUnknownEntryGivesTheProvidersText) {
  LoadRasLibrary();
  ASSERT_TRUE(RasAvailable);
  EXPECT_EQ(DialRasEntry("nowhere", ""),
            "TRasGetEntryDialParams failed: The phone book entry could not be found in the pppd "
            "peers.");
  EXPECT_FALSE(RasDialledByUs);
  EXPECT_EQ(ppp.Calls(), "");
}

TEST_F(DialupUnitWithPppTest, ALinkTheUserStartedIsNeitherDialledNorHungUp) {
  ppp.StartPppdByHand("call work");
  ASSERT_TRUE(ppp.WaitForPppdCount(1));
  LoadRasLibrary();
  EXPECT_EQ(DialRasEntry("isp", ""), "");
  EXPECT_FALSE(RasDialledByUs);
  EXPECT_EQ(HangUpRas(), "");
  EXPECT_EQ(ppp.PppdPids().size(), 1u);
  EXPECT_EQ(ppp.Calls(), "");
}

}  // namespace
}  // namespace pelorin
