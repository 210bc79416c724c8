// The draft on real files in a directory of the test's own: any text comes back exactly, a
// replacement is whole or not at all, and a damaged or foreign file is reported, never read as
// a draft. Each running copy owns a draft file of its own.
#include "outbox/draft_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/app_test_support.h"

namespace pelorin {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using app_test::WriteBytes;

const DraftFields kEarlier{"Ann", "ann@example.org", "Earlier", "kept before"};
const DraftFields kTyped{"Bob", "bob@example.org", "Hello", "Two\nlines"};

struct Case {
  const char* what;
  std::function<void(const std::string& directory)> before;  // the folder exists then
  std::optional<DraftFields> keep;                           // written by the owner, if given
  bool keeps;
  std::optional<DraftFields> read;
  std::string problem;  // part of the reason Read gives
};

void Leave(const std::string& directory, const std::string& bytes) {
  WriteBytes(directory + "/draft", bytes);
}

TEST(DraftStoreTest, KeepsAnyTextWholeAndTrustsNoDamagedOrForeignFile) {
  const std::string earlier = DraftFileBytes(kEarlier);
  const auto nothing = [](const std::string&) {};
  const std::vector<Case> cases = {
      {"round trip", nothing, kTyped, true, kTyped, ""},
      {"round trip: empty fields, CR LF, NUL", nothing, DraftFields{"", "", "\r\n", "a\0b\n\n"s},
       true, DraftFields{"", "", "\r\n", "a\0b\n\n"s}, ""},
      {"round trip: UTF-8, text like the format", nothing,
       DraftFields{"J\xc3\xbcrgen", "name 3\n", "Pelorin 32 draft 1\n", "memo 0\n\n"}, true,
       DraftFields{"J\xc3\xbcrgen", "name 3\n", "Pelorin 32 draft 1\n", "memo 0\n\n"}, ""},
      {"replace: the kept draft goes whole", [&](auto& d) { Leave(d, earlier); }, kTyped, true,
       kTyped, ""},
      {"replace: over a killed writer's temporary file",
       [](auto& d) { WriteBytes(d + "/.draft.tmp", std::string(5000, 'x')); }, kTyped, true, kTyped,
       ""},
      {"replace: a failed write leaves the old draft whole",
       [&](auto& d) {
         Leave(d, earlier);
         fs::create_directory(d + "/.draft.tmp");
       },
       kTyped, false, kEarlier, ""},
      {"nothing kept", nothing, std::nullopt, false, std::nullopt, ""},
      {"damaged: another format", [](auto& d) { Leave(d, "Pelorin 32 draft 2\nname 0\n\n"); },
       std::nullopt, false, std::nullopt, "it is not a draft of this program"},
      {"damaged: cut short", [&](auto& d) { Leave(d, earlier.substr(0, earlier.size() - 3)); },
       std::nullopt, false, std::nullopt, "is cut short"},
      {"damaged: two drafts", [&](auto& d) { Leave(d, earlier + earlier); }, std::nullopt, false,
       std::nullopt, "more than one draft"},
      {"foreign: a symbolic link",
       [&](auto& d) {
         WriteBytes(d + "/elsewhere", earlier);
         fs::create_symlink(d + "/elsewhere", d + "/draft");
       },
       std::nullopt, false, std::nullopt, "symbolic link"},
      {"foreign: a FIFO", [](auto& d) { ::mkfifo((d + "/draft").c_str(), 0600); }, std::nullopt,
       false, std::nullopt, "not a plain file"},
      {"foreign: the state folder is a link",
       [&](auto& d) {
         fs::remove(d);
         fs::create_directory(d + "-real");
         Leave(d + "-real", earlier);
         fs::create_directory_symlink(d + "-real", d);
       },
       kTyped, false, std::nullopt, "symbolic link"},
  };
  app_test::ScratchDirectory scratch;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.what);
    const std::string directory = scratch.File("state" + std::to_string(i));
    fs::create_directories(directory);
    c.before(directory);
    DraftStore store(directory);
    std::string why;
    DraftStore::Left taken;
    if (store.TakeLeft(taken, why) != DraftStore::Claim::Taken) store.TakeFree(why);
    if (c.keep) {
      EXPECT_EQ(store.Keep(*c.keep).empty(), c.keeps);
    }
    const DraftStore::Left left = store.Read();
    EXPECT_EQ(left.draft, c.read);
    if (c.problem.empty()) {
      EXPECT_EQ(left.problem, "");
    } else {
      EXPECT_NE(left.problem.find(c.problem), std::string::npos) << left.problem;
    }
    EXPECT_FALSE(fs::is_regular_file(directory + "/.draft.tmp")) << "a temporary file is left";
  }
}

// Drafts left by copies that ended come back one per copy, the oldest first.
TEST(DraftStoreTest, EachCopyKeepsItsOwnDraftAndTakesInOneLeft) {
  app_test::ScratchDirectory scratch;
  const std::string directory = scratch.File("state");
  DraftStore first(directory);
  DraftStore second(directory);
  std::string why;
  DraftStore::Left left;
  ASSERT_TRUE(first.TakeFree(why)) << why;
  ASSERT_EQ(first.Keep(kEarlier), "");
  EXPECT_EQ(second.TakeLeft(left, why), DraftStore::Claim::NoneLeft) << "another copy's draft";
  ASSERT_TRUE(second.TakeFree(why)) << why;
  ASSERT_EQ(second.Keep(kTyped), "");
  EXPECT_NE(second.Path(), first.Path());
  fs::last_write_time(second.Path(), fs::last_write_time(first.Path()) - std::chrono::hours(1));
  first.Release();
  second.Release();
  std::vector<std::optional<DraftFields>> takenIn;
  std::vector<std::unique_ptr<DraftStore>> later;
  for (int start = 0; start < 3; ++start) {
    later.push_back(std::make_unique<DraftStore>(directory));
    DraftStore::Left found;
    later.back()->TakeLeft(found, why);
    takenIn.push_back(found.draft);
  }
  EXPECT_EQ(takenIn, (std::vector<std::optional<DraftFields>>{kTyped, kEarlier, std::nullopt}));
  ASSERT_EQ(later[0]->Remove(), "");
  EXPECT_FALSE(later[0]->Read().draft.has_value());
  EXPECT_EQ(later[1]->Read().draft, kEarlier);
}

}  // namespace
}  // namespace pelorin
