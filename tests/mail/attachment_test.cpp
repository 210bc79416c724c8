// Attachments without windows: the files a mailto: link names, the checks made when a file is
// attached, and the message that carries them read back by a mail reader (Python's email
// package): the typed text as typed, each file under its name with exactly its bytes, in the
// form the outbox keeps and in the 7-bit form that goes to a server without 8BITMIME.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QJsonArray>
#include <QTemporaryDir>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>

#include "mail/attachment_list.h"
#include "mail/compose_message.h"
#include "mail/mail_reader.h"
#include "mail/mailto_attachments.h"
#include "mail/mime_multipart.h"
#include "transport/mime_transfer.h"

namespace pelorin {
namespace {

using app_test::Text;

TEST(LinkAttachmentsTest, ReadsTheFormsThatDesktopsWrite) {
  struct Case {
    std::string link;
    LinkAttachments expected;
  };
  const std::vector<Case> cases = {
      // xdg-email: a plain path, percent-encoded
      {"mailto:bob@example.org?subject=Report&attach=/home/ann/My%20Report.pdf",
       {{"/home/ann/My Report.pdf"}, {}}},
      // the portals: file:// URIs, repeated, with or without localhost
      {"mailto:?attachment=file:///tmp/a.txt&attachment=file://localhost/tmp/b%C3%BC.txt",
       {{"/tmp/a.txt", "/tmp/b\xC3\xBC.txt"}, {}}},
      {"MAILTO:x?ATTACH=/a&Attachment=FILE:///b&body=attach=/c&attachments=/d", {{"/a", "/b"}, {}}},
      {"mailto:x?attach=relative/path&attach=http://example.org/f&attach=file://host/f"
       "&attach=&attachment=/a%00b&attach=/ok",
       {{"/ok"},
        {"\"relative/path\": it is not an absolute path",
         "\"http://example.org/f\": only local files can be attached",
         "\"file://host/f\": the file is on another computer", "\"\": it names no file",
         "\"/a%00b\": it holds a NUL character"}}},
      {"mailto:x?subject=no%20files", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseMailtoAttachments(c.link), c.expected) << c.link;
}

class AttachmentFilesTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.isValid()); }

  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = dir_.filePath(QString::fromStdString(name)).toStdString();
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  std::string Sized(const std::string& name, std::uint64_t size) {
    const std::string path = Write(name, "");
    std::filesystem::resize_file(path, size);
    return path;
  }

  QTemporaryDir dir_;
};

TEST_F(AttachmentFilesTest, RefusesWhatCannotGoWithTheReasonAndTheFilesName) {
  const std::string folder = dir_.path().toStdString();
  const std::string missing = folder + "/missing.txt";
  const std::string big = Sized("big.bin", kAttachmentLimit - 10);
  const std::string eleven = Sized("eleven.bin", 11);
  struct Case {
    std::string path;
    std::string why;  // empty: attached
  };
  std::vector<Case> cases = {
      {missing, "The file " + missing + " cannot be attached: it does not exist."},
      {folder, "The file " + folder + " cannot be attached: it is a folder, not a file."},
      {"/dev/null", "The file /dev/null cannot be attached: it is not a regular file."},
      {big, ""},
      {big, ""},  // once only
      {eleven, "The file " + eleven +
                   " cannot be attached: with it the attached files would come to 25.0 MiB, "
                   "more than the 25.0 MiB most mail servers take."},
      {Sized("ten.bin", 10), ""},
      {"/proc/self/environ",
       "The file /proc/self/environ cannot be attached: it is not a regular file."},
  };
  const std::string sysFile = "/sys/kernel/mm/transparent_hugepage/enabled";
  if (std::filesystem::exists(sysFile)) {
    cases.push_back(
        {sysFile, "The file " + sysFile + " cannot be attached: it is not a regular file."});
  }
  AttachmentList list;
  for (const Case& c : cases) EXPECT_EQ(list.Add(c.path), c.why) << c.path;
  EXPECT_EQ(list.Files().size(), 2u);
  EXPECT_EQ(list.TotalSize(), kAttachmentLimit);
}

const MessageStamp kStamp = {"Wed, 09 Dec 2026 14:05:09 +0100",
                             "<0123456789abcdef0123456789abcdef@example.com>"};
const std::string kGreeting =
    "Gr\xC3\xBC\xC3\x9F"
    "e aus K\xC3\xB6ln \xE2\x80\x93 \xE6\x9D\xB1";

// Python's parser calls encoded words inside a quoted string a defect; readers that know no
// RFC 2231 look for them there, and all others take the disposition's filename.
const std::set<std::string> kFoundInTheRfc2047Copy = {
    "Content-Type: InvalidHeaderDefect: encoded word inside quoted string",
    "Content-Type: InvalidHeaderDefect: missing trailing whitespace after encoded-word"};

std::string RandomBytes(std::size_t size) {
  std::mt19937 random(size);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

TEST_F(AttachmentFilesTest, AReaderFindsTheTextAndEachFileByNameWithItsBytes) {
  const std::vector<std::pair<std::string, std::string>> files = {
      {"report 1.pdf", "%PDF-1.4\n" + RandomBytes(200000)},
      {kGreeting + " \"quoted\".txt", "text\r\n.\r\n"},
      {std::string(200, 'n') + "\xC3\xA9.bin", RandomBytes(57 * 3)},
      {"empty", ""},
  };
  AttachmentList list;
  for (const auto& [name, bytes] : files) ASSERT_EQ(list.Add(Write(name, bytes)), "");
  for (const std::vector<std::string>& memo :
       {std::vector<std::string>{"Hello", "."}, std::vector<std::string>{kGreeting}}) {
    const MessageFields fields{"S", "", "a@example.org", "me@example.com", memo};
    std::string why;
    const std::string message = WithAttachments(ComposeMessage(fields, kStamp), list.Files(), why);
    ASSERT_EQ(why, "");
    std::vector<QJsonObject> readings;
    ASSERT_TRUE(app_test::ReadByMailReader({message, SevenBitForm(message)}, readings));
    std::string typed = "\r\n";
    for (const std::string& line : memo) typed += line + "\r\n";
    for (const QJsonObject& reading : readings) {
      EXPECT_EQ(Text(reading, "multipart"), "multipart/mixed");
      EXPECT_EQ(Text(reading, "subject"), "S");
      EXPECT_EQ(Text(reading, "body"), typed);
      for (const QJsonValue defect : reading.value(QLatin1String("defects")).toArray()) {
        EXPECT_TRUE(kFoundInTheRfc2047Copy.count(defect.toString().toStdString()))
            << defect.toString().toStdString();
      }
      const QJsonArray attached = reading.value(QLatin1String("attachments")).toArray();
      ASSERT_EQ(attached.size(), static_cast<qsizetype>(files.size()));
      for (std::size_t i = 0; i < files.size(); ++i) {
        const QJsonObject file = attached[static_cast<qsizetype>(i)].toObject();
        EXPECT_EQ(Text(file, "filename"), files[i].first);
        EXPECT_EQ(Text(file, "name"), files[i].first);
        EXPECT_EQ(QByteArray::fromBase64(file.value(QLatin1String("data")).toString().toLatin1())
                      .toStdString(),
                  files[i].second)
            << files[i].first;
      }
      EXPECT_EQ(Text(attached[0].toObject(), "content_type"), "application/pdf");
      EXPECT_EQ(Text(attached[1].toObject(), "content_type"), "text/plain");
    }
    EXPECT_EQ(Text(readings[0], "transfer_encoding"), FitsSevenBit(typed) ? "7bit" : "8bit");
    EXPECT_EQ(Text(readings[1], "transfer_encoding"),
              FitsSevenBit(typed) ? "7bit" : "quoted-printable");
    EXPECT_EQ(SevenBitForm(message).find_first_of("\x80\xff"), std::string::npos);
  }
}

TEST_F(AttachmentFilesTest, AFileGoneOrUnreadableByTheTimeOfQueuingIsNamedAndNothingComposed) {
  AttachmentList list;
  const std::string path = Write("gone.txt", "x");
  ASSERT_EQ(list.Add(path), "");
  ASSERT_EQ(::unlink(path.c_str()), 0);
  std::string why;
  EXPECT_EQ(WithAttachments("Subject: S\r\n\r\n\r\n", list.Files(), why), "");
  EXPECT_EQ(why, "The file " + path + " cannot be read: it no longer exists.");
  ASSERT_TRUE(std::filesystem::create_directory(path));
  EXPECT_EQ(WithAttachments("Subject: S\r\n\r\n\r\n", list.Files(), why), "");
  EXPECT_EQ(why, "The file " + path + " cannot be read: it is no longer a regular file.");
  std::filesystem::remove(path);
  std::filesystem::create_symlink("/proc/self/environ", path);
  EXPECT_EQ(WithAttachments("Subject: S\r\n\r\n\r\n", list.Files(), why), "");
  EXPECT_EQ(why, "The file " + path + " cannot be read: it is no longer a regular file.");
}

}  // namespace
}  // namespace pelorin
