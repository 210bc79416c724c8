// The registry over hive files in a temporary directory: the REGEDIT4 text, the Win32-style
// calls, the TRegistry-like object and the hook for keys kept elsewhere.
#include "os/registry.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "os/regedit4.h"
#include "os/registry_class.h"
#include "os/registry_hive.h"
#include "support/read_file.h"
#include "support/scoped_environment.h"

namespace os {
namespace {

namespace fs = std::filesystem;

using testing_support::ReadFile;

void WriteFile(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// ---- The text format ----------------------------------------------------------------------

TEST(Regedit4Test, ParsesSectionsValuesAndEscapes) {
  const std::string text =
      "REGEDIT4\n"
      "\n"
      "; exported by hand\r\n"
      "[HKEY_CURRENT_USER\\Software\\A]\r\n"
      "@=\"default\"\r\n"
      "\"Path\"=\"C:\\\\Program Files\\\\x.exe\"\n"
      "\"Say \\\"hi\\\"\"=\"a \\\"quoted\\\" word\"\n"
      "\"Odd\"=\"C:\\dir\"\n"
      "\"Flags\"=dword:00000001\n"
      "\n"
      "[HKEY_CURRENT_USER\\Software\\B]\n";
  const auto document = ParseRegedit4(text);
  ASSERT_TRUE(document);
  const RegDocument expected{{
      {"HKEY_CURRENT_USER\\Software\\A",
       {{"", true, "default"},
        {"Path", true, "C:\\Program Files\\x.exe"},
        {"Say \"hi\"", true, "a \"quoted\" word"},
        {"Odd", true, "C:\\dir"},  // a lone backslash before another letter stands for itself
        {"Flags", false, "dword:00000001"}}},
      {"HKEY_CURRENT_USER\\Software\\B", {}},
  }};
  EXPECT_EQ(*document, expected);
}

TEST(Regedit4Test, FormatGivesBackWhatRegeditWrites) {
  const std::string text =
      "REGEDIT4\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\r\n"
      "@=\"C:\\\\a \\\"b\\\"\"\r\n"
      "\"Blob\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\r\n"
      "  16,17\r\n"
      "\"Count\"=dword:0000002a\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\X\\Empty]\r\n"
      "\r\n";
  const auto document = ParseRegedit4(text);
  ASSERT_TRUE(document);
  EXPECT_EQ(FormatRegedit4(*document), text);
}

TEST(Regedit4Test, HeaderDecidesWhetherTextIsAHive) {
  EXPECT_FALSE(ParseRegedit4("Windows Registry Editor Version 5.00\r\n\r\n"));
  EXPECT_FALSE(ParseRegedit4("[HKEY_CURRENT_USER\\A]\r\n"));
  ASSERT_TRUE(ParseRegedit4(""));
  EXPECT_TRUE(ParseRegedit4("")->sections.empty());
}

TEST(Regedit4Test, DecodesOtherKindsOfData) {
  struct Case {
    std::string written;
    std::uint32_t type;
    std::vector<std::uint8_t> bytes;
  };
  const Case cases[] = {
      {"dword:0000002a", REG_DWORD, {0x2a, 0, 0, 0}},
      {"dword:ffffffff", REG_DWORD, {0xff, 0xff, 0xff, 0xff}},
      {"hex:01,ff", REG_BINARY, {0x01, 0xff}},
      {"hex:01,\\\r\n  02", REG_BINARY, {0x01, 0x02}},
      {"hex(2):41,00", REG_EXPAND_SZ, {0x41, 0x00}},
      {"dword:123456789", REG_NONE, {}},
      {"dword:xyz", REG_NONE, {}},
      {"hex:1ff", REG_NONE, {}},
      {"-", REG_NONE, {}},
  };
  for (const Case& c : cases) {
    const RawData data = DecodeRawData(c.written);
    EXPECT_EQ(data.type, c.type) << c.written;
    EXPECT_EQ(data.bytes, c.bytes) << c.written;
  }
}

// ---- Hive files and the calls -------------------------------------------------------------

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pelorin-registry-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    directory_ = pattern;
    user_ = directory_ / "hkcu.reg";
    machine_ = directory_ / "hklm.reg";
    environment_.Set("PELORIN_HKCU", user_);
    environment_.Set("PELORIN_HKLM", machine_);
  }

  void TearDown() override {
    for (const auto& entry : fs::recursive_directory_iterator(directory_)) {
      fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add);
    }
    fs::permissions(directory_, fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(directory_);
  }

  static LSTATUS Open(HKEY root, const char* path, REGSAM access, HKEY* key) {
    return RegOpenKeyExA(root, path, 0, access, key);
  }

  static LSTATUS Create(HKEY root, const char* path, HKEY* key, std::uint32_t* disposition) {
    return RegCreateKeyExA(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                           key, disposition);
  }

  static LSTATUS SetString(HKEY key, const char* name, const std::string& text) {
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const std::uint8_t*>(text.c_str()),
                          static_cast<std::uint32_t>(text.size() + 1));
  }

  std::vector<std::string> FilesInDirectory() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory_)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path directory_;
  fs::path user_;
  fs::path machine_;
  testing_support::ScopedEnvironment environment_;
};

constexpr const char* kMixedHive =
    "REGEDIT4\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\Software\\Mixed]\r\n"
    "\"Name\"=\"text\"\r\n"
    "\"Flags\"=dword:00000001\r\n"
    "\"Blob\"=hex:01,02,\\\r\n"
    "  03\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Elsewhere]\r\n"
    "@=\"kept\"\r\n"
    "\r\n";

TEST_F(RegistryTest, OpenNeverCreatesAndCreateDoes) {
  HKEY key = nullptr;
  EXPECT_EQ(Open(HKEY_CURRENT_USER, "\\Software\\Pelorin 32", KEY_ALL_ACCESS, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, nullptr);
  EXPECT_FALSE(fs::exists(user_)) << "a failed open must not write the hive";

  std::uint32_t disposition = 0;
  ASSERT_EQ(Create(HKEY_CURRENT_USER, "\\Software\\Pelorin 32", &key, &disposition), ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(ReadFile(user_), "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Pelorin 32]\r\n\r\n");

  ASSERT_EQ(Create(HKEY_CURRENT_USER, "\\Software\\Pelorin 32", &key, &disposition), ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  RegCloseKey(key);
  ASSERT_EQ(Open(HKEY_CURRENT_USER, "\\Software\\Pelorin 32", KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(Open(HKEY_CURRENT_USER, "\\Software", KEY_READ, &key), ERROR_SUCCESS)
      << "the keys above a key exist";
  RegCloseKey(key);
  EXPECT_FALSE(fs::exists(machine_)) << "the other hive is untouched";
}

TEST_F(RegistryTest, RoundTripThroughTheFileEscapesBackslashAndQuote) {
  Registry writer;
  ASSERT_TRUE(writer.OpenKey("\\Software\\Pelorin 32", true));
  writer.WriteString("Command Line", "/opt/a\\b/\"pelorin32\"");
  writer.WriteString("", "default \\ value");
  writer.CloseKey();
  EXPECT_EQ(ReadFile(user_),
            "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Pelorin 32]\r\n"
            "\"Command Line\"=\"/opt/a\\\\b/\\\"pelorin32\\\"\"\r\n"
            "@=\"default \\\\ value\"\r\n\r\n");

  Registry reader(KEY_READ);
  ASSERT_TRUE(reader.OpenKey("\\Software\\Pelorin 32", false));
  EXPECT_EQ(reader.ReadString("Command Line"), "/opt/a\\b/\"pelorin32\"");
  EXPECT_EQ(reader.ReadString(""), "default \\ value");
}

TEST_F(RegistryTest, KeyAndValueNamesIgnoreLetterCase) {
  WriteFile(user_,
            "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Pelorin 32]\r\n"
            "\"Command Line\"=\"old\"\r\n\r\n");
  Registry registry;
  ASSERT_TRUE(registry.OpenKey("\\SOFTWARE\\pelorin 32", false));
  EXPECT_EQ(registry.ReadString("COMMAND LINE"), "old");
  registry.WriteString("command line", "new");
  ASSERT_TRUE(registry.OpenKey("\\software\\PELORIN 32\\Sub", true));
  // Existing names keep their spelling; only the new key is spelled as asked.
  EXPECT_EQ(ReadFile(user_),
            "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Pelorin 32]\r\n"
            "\"Command Line\"=\"new\"\r\n\r\n"
            "[HKEY_CURRENT_USER\\Software\\Pelorin 32\\Sub]\r\n\r\n");
}

TEST_F(RegistryTest, LeadingBackslashStartsFromTheRoot) {
  WriteFile(user_, "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Pelorin 32]\r\n\r\n");
  HKEY software = nullptr;
  ASSERT_EQ(Open(HKEY_CURRENT_USER, "\\Software", KEY_READ, &software), ERROR_SUCCESS);
  struct Case {
    const char* path;
    LSTATUS status;
  };
  for (const Case c :
       {Case{"Pelorin 32", ERROR_SUCCESS}, Case{"\\Software\\Pelorin 32", ERROR_SUCCESS},
        Case{"Software\\Pelorin 32", ERROR_FILE_NOT_FOUND},
        Case{"\\Pelorin 32", ERROR_FILE_NOT_FOUND}}) {
    HKEY key = nullptr;
    EXPECT_EQ(Open(software, c.path, KEY_READ, &key), c.status) << c.path;
    if (key != nullptr) RegCloseKey(key);
  }
  RegCloseKey(software);

  Registry registry;
  ASSERT_TRUE(registry.OpenKey("\\Software", false));
  EXPECT_TRUE(registry.OpenKey("Pelorin 32", false)) << "relative to the current key";
  EXPECT_FALSE(registry.OpenKey("Pelorin 32", false)) << "now relative to Pelorin 32";
  EXPECT_TRUE(registry.OpenKey("\\Software\\Pelorin 32", false));
}

TEST_F(RegistryTest, MissingValuesReadEmptyAndOtherKindsAreRefused) {
  WriteFile(user_, kMixedHive);
  Registry registry;
  ASSERT_TRUE(registry.OpenKey("\\Software\\Mixed", false));
  EXPECT_EQ(registry.ReadString("Name"), "text");
  EXPECT_EQ(registry.ReadString("Missing"), "");
  EXPECT_EQ(registry.ReadString(""), "");
  EXPECT_FALSE(registry.ValueExists("Missing"));
  for (const std::string name : {"Flags", "Blob"}) {
    try {
      registry.ReadString(name);
      ADD_FAILURE() << name << " read as a string";
    } catch (const RegistryError& error) {
      EXPECT_EQ(std::string(error.what()), "Invalid data type for '" + name + "'");
    }
  }

  HKEY key = registry.CurrentKey();
  std::uint32_t type = 0;
  std::uint8_t data[8] = {};
  std::uint32_t size = sizeof data;
  ASSERT_EQ(RegQueryValueExA(key, "flags", nullptr, &type, data, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(data[0], 1);
  EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, &type, data, &size), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, QueryReportsTheSizeItNeeds) {
  WriteFile(user_, kMixedHive);
  HKEY key = nullptr;
  ASSERT_EQ(Open(HKEY_CURRENT_USER, "\\Software\\Mixed", KEY_READ, &key), ERROR_SUCCESS);
  std::uint32_t size = 0;
  std::uint32_t type = 0;
  ASSERT_EQ(RegQueryValueExA(key, "Name", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 5u) << "the text and its terminating zero";
  std::uint8_t small[4] = {'x', 'x', 'x', 'x'};
  std::uint32_t smallSize = sizeof small;
  EXPECT_EQ(RegQueryValueExA(key, "Name", nullptr, &type, small, &smallSize), ERROR_MORE_DATA);
  EXPECT_EQ(smallSize, 5u);
  EXPECT_EQ(small[0], 'x') << "nothing is written into a buffer that is too small";
  RegCloseKey(key);
}

TEST_F(RegistryTest, WritingKeepsEverythingElseInTheHive) {
  WriteFile(user_, kMixedHive);
  Registry registry;
  ASSERT_TRUE(registry.OpenKey("\\Software\\Mixed", false));
  registry.WriteString("Name", "changed");
  const std::string expected =
      std::string(kMixedHive).replace(std::string(kMixedHive).find("\"text\""), 6, "\"changed\"");
  EXPECT_EQ(ReadFile(user_), expected);
  EXPECT_EQ(FilesInDirectory(), std::vector<std::string>{"hkcu.reg"}) << "no temporary left";
}

TEST_F(RegistryTest, RewriteKeepsTheFilesMode) {
  WriteFile(user_, kMixedHive);
  fs::permissions(user_, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  Registry registry;
  ASSERT_TRUE(registry.OpenKey("\\Software\\Mixed", false));
  registry.WriteString("Name", "changed");
  EXPECT_EQ(fs::status(user_).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST_F(RegistryTest, ReadOnlyHiveOpensOnlyForReading) {
  WriteFile(user_, kMixedHive);
  ASSERT_EQ(::chmod(user_.c_str(), 0444), 0);
  HKEY key = nullptr;
  EXPECT_EQ(Open(HKEY_CURRENT_USER, "\\Software\\Mixed", KEY_ALL_ACCESS, &key),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(Open(HKEY_CURRENT_USER, "\\Software\\Mixed", KEY_WRITE, &key), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Open(HKEY_CURRENT_USER, "\\Software\\Missing", KEY_ALL_ACCESS, &key),
            ERROR_FILE_NOT_FOUND)
      << "a missing key is missing, whatever the access";
  EXPECT_EQ(Create(HKEY_CURRENT_USER, "\\Software\\New", &key, nullptr), ERROR_ACCESS_DENIED);

  ASSERT_EQ(Open(HKEY_CURRENT_USER, "\\Software\\Mixed", KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(SetString(key, "Name", "changed"), ERROR_ACCESS_DENIED);
  RegCloseKey(key);

  Registry registry(KEY_READ);
  ASSERT_TRUE(registry.OpenKey("\\Software\\Mixed", false));
  EXPECT_EQ(registry.ReadString("Name"), "text");
  try {
    registry.WriteString("Name", "changed");
    ADD_FAILURE() << "a write into a read-only hive went through";
  } catch (const RegistryError& error) {
    EXPECT_STREQ(error.what(), "Failed to set data for 'Name'");
  }
  EXPECT_EQ(ReadFile(user_), kMixedHive);
}

TEST_F(RegistryTest, HiveIsReadOnlyWhereItsDirectoryIs) {
  WriteFile(user_, kMixedHive);
  ASSERT_EQ(::chmod(directory_.c_str(), 0555), 0);
  HKEY key = nullptr;
  EXPECT_EQ(Open(HKEY_CURRENT_USER, "\\Software\\Mixed", KEY_ALL_ACCESS, &key), ERROR_ACCESS_DENIED)
      << "the rewrite needs a new file beside the hive";
  EXPECT_EQ(Create(HKEY_LOCAL_MACHINE, "\\Software\\New", &key, nullptr), ERROR_ACCESS_DENIED)
      << "a hive that does not exist yet needs a writable directory";
  EXPECT_FALSE(fs::exists(machine_));
}

TEST_F(RegistryTest, MissingDirectoriesAreCreatedOnFirstWrite) {
  const fs::path nested = directory_ / "config" / "pelorin32" / "hkcu.reg";
  ::setenv("PELORIN_HKCU", nested.c_str(), 1);
  Registry registry;
  ASSERT_TRUE(registry.OpenKey("\\Software\\Pelorin 32", true));
  registry.WriteString("Command Line", "/usr/bin/pelorin32");
  EXPECT_EQ(ReadFile(nested),
            "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Pelorin 32]\r\n"
            "\"Command Line\"=\"/usr/bin/pelorin32\"\r\n\r\n");
}

TEST_F(RegistryTest, FileThatIsNoHiveIsNeitherReadNorOverwritten) {
  const std::string foreign = "not a registry file\n[HKEY_CURRENT_USER\\Software]\n";
  WriteFile(user_, foreign);
  HKEY key = nullptr;
  EXPECT_EQ(Open(HKEY_CURRENT_USER, "\\Software", KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Create(HKEY_CURRENT_USER, "\\Software\\New", &key, nullptr), ERROR_ACCESS_DENIED);
  EXPECT_EQ(ReadFile(user_), foreign);
}

TEST_F(RegistryTest, TextsWithLineBreaksAreRefused) {
  Registry registry;
  ASSERT_TRUE(registry.OpenKey("\\Software\\Pelorin 32", true));
  EXPECT_EQ(SetString(registry.CurrentKey(), "Command Line", "two\nlines"),
            ERROR_INVALID_PARAMETER);
  EXPECT_THROW(registry.WriteString("Command Line", "two\r\nlines"), RegistryError);
  EXPECT_FALSE(registry.ValueExists("Command Line"));
}

TEST_F(RegistryTest, ClosedAndUnknownHandlesAreRefused) {
  HKEY key = nullptr;
  ASSERT_EQ(Create(HKEY_CURRENT_USER, "\\Software\\A", &key, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(SetString(key, "x", "y"), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS) << "the roots stay open";
}

TEST_F(RegistryTest, HiveLocationsFollowTheEnvironment) {
  EXPECT_EQ(HiveFilePath(Hive::CurrentUser), user_.string());
  EXPECT_EQ(HiveFilePath(Hive::LocalMachine), machine_.string());
  environment_.Unset("PELORIN_HKCU");
  environment_.Unset("PELORIN_HKLM");
  environment_.Set("XDG_CONFIG_HOME", "/cfg");
  EXPECT_EQ(HiveFilePath(Hive::CurrentUser), "/cfg/pelorin32/hkcu.reg");
  environment_.Set("XDG_CONFIG_HOME", "relative");
  environment_.Set("HOME", "/home/someone");
  EXPECT_EQ(HiveFilePath(Hive::CurrentUser), "/home/someone/.config/pelorin32/hkcu.reg");
  EXPECT_EQ(HiveFilePath(Hive::LocalMachine), "/etc/pelorin32/hklm.reg");
}

// ---- Keys kept outside the hives ----------------------------------------------------------

class RecordingVirtualKey : public VirtualKey {
 public:
  LSTATUS Open(REGSAM desired) override {
    opens.push_back(desired);
    return openResult;
  }
  std::optional<std::string> QueryString(const std::string& name) override {
    if (name.empty() && defaultValue) return defaultValue;
    return std::nullopt;
  }
  LSTATUS SetString(const std::string& name, const std::string& value) override {
    writes.push_back(name + "=" + value);
    defaultValue = value;
    return ERROR_SUCCESS;
  }
  LSTATUS openResult = ERROR_SUCCESS;
  std::vector<REGSAM> opens;
  std::vector<std::string> writes;
  std::optional<std::string> defaultValue;
};

constexpr const char* kMailToKey = "\\SOFTWARE\\Classes\\MailTo\\Shell\\Open\\command";

TEST_F(RegistryTest, RegisteredKeyIsServedByItsHandler) {
  auto handler = std::make_shared<RecordingVirtualKey>();
  RegisterVirtualKey(HKEY_LOCAL_MACHINE, kMailToKey, handler);

  Registry registry;
  registry.SetRootKey(HKEY_LOCAL_MACHINE);
  ASSERT_TRUE(registry.OpenKey("\\software\\classes\\mailto\\shell\\open\\COMMAND", false));
  registry.WriteString("", "/opt/pelorin32/pelorin32 /u %1 %2");
  EXPECT_EQ(registry.ReadString(""), "/opt/pelorin32/pelorin32 /u %1 %2");
  EXPECT_EQ(handler->writes, std::vector<std::string>{"=/opt/pelorin32/pelorin32 /u %1 %2"});
  EXPECT_EQ(handler->opens, std::vector<REGSAM>{KEY_ALL_ACCESS});
  EXPECT_FALSE(fs::exists(machine_)) << "the hive is not involved";

  handler->openResult = ERROR_ACCESS_DENIED;
  EXPECT_FALSE(registry.OpenKey(kMailToKey, false));
  EXPECT_FALSE(registry.OpenKey(kMailToKey, true)) << "creating only opens such a key";

  RegisterVirtualKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\MailTo\\Shell\\Open\\command",
                     nullptr);
  handler->openResult = ERROR_SUCCESS;
  EXPECT_FALSE(registry.OpenKey(kMailToKey, false)) << "back to the (empty) hive";
  EXPECT_EQ(handler->opens.size(), 3u);
}

}  // namespace
}  // namespace os
