// Loading libraries by their Windows names: the name mapping and the places searched, with
// probe libraries built beside the test program, in an override directory and in a directory
// that only the current directory would reach.
#include "os/dynlib.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "support/scoped_environment.h"

namespace os {
namespace {

// Places, as the probe builds answer them.
constexpr int kBesideProgram = 1;
constexpr int kOverrideDirectory = 2;
constexpr int kOverrideRasLibrary = 3;
constexpr int kCurrentDirectoryOnly = 4;

int ProbePlace(HMODULE module) {
  auto place = reinterpret_cast<int (*)()>(GetProcAddress(module, "PelorinProbePlace"));
  if (place == nullptr) throw std::runtime_error("probe library lacks PelorinProbePlace");
  return place();
}

class DynlibTest : public ::testing::Test {
 protected:
  void SetUp() override {
    environment_.Unset("PELORIN_RAS_LIBRARY_DIR");
    saved_ = std::filesystem::current_path();
  }
  void TearDown() override { std::filesystem::current_path(saved_); }
  void UseDirectory(const std::string& directory) {
    environment_.Set("PELORIN_RAS_LIBRARY_DIR", directory);
  }
  std::filesystem::path saved_;
  testing_support::ScopedEnvironment environment_;
};

TEST(DynlibNameTest, WindowsNamesMapToSharedLibraries) {
  struct Case {
    const char* name;
    const char* file;
  };
  for (const Case c :
       {Case{"RASAPI32.DLL", "librasapi32.so"}, Case{"rasapi32.dll", "librasapi32.so"},
        Case{"RasApi32.Dll", "librasapi32.so"}, Case{"RASAPI32", "librasapi32.so"},
        Case{"C:\\WINDOWS\\RASAPI32.DLL", ""}, Case{"../rasapi32.dll", ""}, Case{".dll", ""},
        Case{"", ""}}) {
    EXPECT_EQ(SharedLibraryFileName(c.name), c.file) << c.name;
  }
}

TEST_F(DynlibTest, OverrideDirectoryIsTheOnlyPlaceSearched) {
  UseDirectory(PELORIN_PROBE_OVERRIDE_DIR);
  HMODULE probe = LoadLibraryA("PELORINPROBE.DLL");
  ASSERT_NE(probe, nullptr);
  EXPECT_EQ(ProbePlace(probe), kOverrideDirectory) << "searched before the program's directory";
  HMODULE ras = LoadLibraryA("RASAPI32.DLL");
  ASSERT_NE(ras, nullptr);
  EXPECT_EQ(ProbePlace(ras), kOverrideRasLibrary);
  EXPECT_EQ(LoadLibraryA("PELORINBESIDE.DLL"), nullptr)
      << "with the override set, the program's directory is not searched";
}

TEST_F(DynlibTest, LibraryBesideTheProgramIsFound) {
  HMODULE probe = LoadLibraryA("PelorinProbe.dll");
  ASSERT_NE(probe, nullptr);
  EXPECT_EQ(ProbePlace(probe), kBesideProgram);
  EXPECT_NE(LoadLibraryA("PELORINBESIDE.DLL"), nullptr);
}

TEST_F(DynlibTest, CurrentDirectoryIsNeverSearched) {
  std::filesystem::current_path(PELORIN_PROBE_CWD_DIR);
  EXPECT_EQ(LoadLibraryA("PELORINCWD.DLL"), nullptr);
  UseDirectory(".");
  EXPECT_EQ(LoadLibraryA("PELORINCWD.DLL"), nullptr) << "a relative override finds nothing";
  // The library itself loads: only the place kept it out.
  UseDirectory(PELORIN_PROBE_CWD_DIR);
  HMODULE probe = LoadLibraryA("PELORINCWD.DLL");
  ASSERT_NE(probe, nullptr);
  EXPECT_EQ(ProbePlace(probe), kCurrentDirectoryOnly);
}

TEST_F(DynlibTest, MissingLibrariesAndFunctionsGiveNull) {
  EXPECT_EQ(LoadLibraryA("NOSUCHLIBRARY.DLL"), nullptr);
  EXPECT_EQ(LoadLibraryA(nullptr), nullptr);
  UseDirectory(PELORIN_PROBE_OVERRIDE_DIR);
  HMODULE probe = LoadLibraryA("PELORINPROBE.DLL");
  ASSERT_NE(probe, nullptr);
  EXPECT_EQ(GetProcAddress(probe, "NoSuchFunction"), nullptr);
  EXPECT_EQ(GetProcAddress(nullptr, "PelorinProbePlace"), nullptr);
  EXPECT_EQ(GetProcAddress(probe, nullptr), nullptr);
}

}  // namespace
}  // namespace os
