// The key HKEY_LOCAL_MACHINE "\Software\Microsoft\RAS" on Linux: it opens only where pppd can
// be used by this user. Fake ppp commands and peers directories in a temporary directory; the
// user cases run in a forked child that gives up root.
#include "platform/dialup_key.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "app/app_test_support.h"
#include "os/registry.h"
#include "platform/dialup.h"
#include "support/scoped_environment.h"

namespace pelorin {
namespace {

namespace fs = std::filesystem;

constexpr gid_t kDipGroup = 30;

class DialupKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bin_ = fs::path(scratch_.File("bin"));
    peers_ = fs::path(scratch_.File("peers"));
    fs::create_directory(bin_);
    fs::create_directory(peers_);
    for (const char* command : {"pppd", "pon", "poff"}) InstallCommand(command);
    environment_.Set("PATH", bin_);
    environment_.Set("PELORIN_PPP_PEERS_DIR", peers_);
    // A hive of its own that lacks the key: only the registered handler can open it.
    environment_.Set("PELORIN_HKLM", scratch_.File("hklm.reg"));
    environment_.Unset("PELORIN_RAS_LIBRARY_DIR");
    RegisterDialupKey();
    ResetDialupForTesting();
  }
  void TearDown() override {
    os::RegisterVirtualKey(os::HKEY_LOCAL_MACHINE, kDialupKeyPath, nullptr);
    ResetDialupForTesting();
  }

  void InstallCommand(const std::string& name) {
    const fs::path file = bin_ / name;
    std::ofstream(file) << "#!/bin/sh\nexit 0\n";
    fs::permissions(file, fs::perms(0755));
  }

  app_test::ScratchDirectory scratch_;
  testing_support::ScopedEnvironment environment_;
  fs::path bin_;
  fs::path peers_;
};

os::LSTATUS OpenRasKey() {
  os::HKEY key = nullptr;
  const os::LSTATUS status =
      os::RegOpenKeyExA(os::HKEY_LOCAL_MACHINE, kDialupKeyPath, 0, os::KEY_ALL_ACCESS, &key);
  if (status == os::ERROR_SUCCESS) os::RegCloseKey(key);
  return status;
}

// Opens the key in a child that runs as nobody with the given supplementary groups.
std::string OpenAsNobody(std::vector<gid_t> groups) {
  const app_test::ChildReport report = app_test::RunInChild(app_test::ChildUser::Same, [&] {
    if (::setgroups(groups.size(), groups.data()) != 0 ||
        ::setresgid(app_test::kNobody, app_test::kNobody, app_test::kNobody) != 0 ||
        ::setresuid(app_test::kNobody, app_test::kNobody, app_test::kNobody) != 0) {
      return std::string("cannot become nobody");
    }
    return std::to_string(OpenRasKey()) + " " + DialupUnusableReason();
  });
  return report.text;
}

TEST_F(DialupKeyTest, OpensWhenPppIsInstalledAndTheUserIsRoot) {
  ASSERT_EQ(::geteuid(), 0u) << "the tests run as root";
  EXPECT_EQ(OpenRasKey(), os::ERROR_SUCCESS);
  EXPECT_EQ(DialupUnusableReason(), "");
}

TEST_F(DialupKeyTest, DoesNotOpenWithoutACommandOfThePppPackage) {
  for (const char* command : {"pon", "poff"}) {
    SCOPED_TRACE(command);
    fs::remove(bin_ / command);
    EXPECT_EQ(OpenRasKey(), os::ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(DialupUnusableReason(), std::string(command) + " is not installed");
    InstallCommand(command);
  }
  EXPECT_EQ(OpenRasKey(), os::ERROR_SUCCESS);
}

TEST_F(DialupKeyTest, DoesNotOpenWithoutThePeersDirectory) {
  fs::remove(peers_);
  EXPECT_EQ(OpenRasKey(), os::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(DialupUnusableReason(),
            "the pppd peers directory " + peers_.string() + " does not exist");
}

TEST_F(DialupKeyTest, OpensForAMemberOfTheDipGroupOnly) {
  ASSERT_EQ(::getgrnam("dip") != nullptr ? ::getgrnam("dip")->gr_gid : 0, kDipGroup)
      << "the group dip is missing or has another number";
  EXPECT_EQ(OpenAsNobody({}), "5 the user is neither root nor in the group dip");
  EXPECT_EQ(OpenAsNobody({kDipGroup}), "0 ");
}

TEST_F(DialupKeyTest, DecidesWhetherTheDialupUnitLoadsItsLibrary) {
  ::setenv("PELORIN_RAS_LIBRARY_DIR", PELORIN_FAKE_RAS_DIR "/complete", 1);
  fs::remove(peers_);
  LoadRasLibrary();
  EXPECT_FALSE(RasAvailable);
  EXPECT_EQ(RasLibrary, nullptr);

  fs::create_directory(peers_);
  LoadRasLibrary();
  EXPECT_TRUE(RasAvailable);
}

}  // namespace
}  // namespace pelorin
