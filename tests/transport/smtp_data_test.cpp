#include "transport/smtp_data.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pelorin {
namespace {

using Lines = std::vector<std::string>;

struct DataCase {
  std::string body;
  Lines lines;
};

TEST(SmtpDataLines, SendsEachLineWithItsLineEndAndDoublesALeadingDot) {
  const DataCase cases[] = {
      {"", {}},
      {"no line end", {}},
      {"a\r\nrest without end", {"a\r\n"}},
      {".\r\n", {"..\r\n"}},
      {"..\r\n", {"...\r\n"}},
      {".x\r\n", {"..x\r\n"}},
      {"x.y\r\n", {"x.y\r\n"}},
      {"x.\r\n", {"x.\r\n"}},
      {"\r\n", {"\r\n"}},
      {"Subject: s\r\n\r\n\r\nbody\r\n", {"Subject: s\r\n", "\r\n", "\r\n", "body\r\n"}},
      {" .\r\n", {" .\r\n"}},
  };
  for (const DataCase& c : cases) EXPECT_EQ(SmtpDataLines(c.body), c.lines) << c.body;
}

TEST(SmtpDataLines, ABareCrOrLfEndsALineToo) {
  const DataCase cases[] = {
      {"a\n.\r\n", {"a\r\n", "..\r\n"}},
      {"a\r.\r\n", {"a\r\n", "..\r\n"}},
      {"a\r\r\n", {"a\r\n", "\r\n"}},
      {"\n\n", {"\r\n", "\r\n"}},
      {"a\n\rb\r\n", {"a\r\n", "\r\n", "b\r\n"}},
      {"x\r", {"x\r\n"}},
  };
  for (const DataCase& c : cases) EXPECT_EQ(SmtpDataLines(c.body), c.lines);
}

TEST(SmtpDataLines, KeepsOtherBytesAsTheyAre) {
  const std::string line("a\0b\x1a\xe9\r\n", 7);
  EXPECT_EQ(SmtpDataLines(line), Lines{line});
}

TEST(SmtpDataLines, NoBodyCanEndTheDataEarly) {
  // Every body of up to seven bytes drawn from the bytes that matter here.
  const std::string alphabet = ".\r\na";
  std::vector<std::string> bodies = {""};
  for (std::size_t length = 1, first = 0; length <= 7; ++length) {
    const std::size_t last = bodies.size();
    for (std::size_t i = first; i < last; ++i) {
      for (char c : alphabet) bodies.push_back(bodies[i] + c);
    }
    first = last;
  }
  for (const std::string& body : bodies) {
    std::string stream;
    for (const std::string& line : SmtpDataLines(body)) {
      ASSERT_GE(line.size(), 2u);
      const std::string content = line.substr(0, line.size() - 2);
      ASSERT_EQ(line.substr(line.size() - 2), "\r\n");
      ASSERT_EQ(content.find_first_of("\r\n"), std::string::npos) << body;
      ASSERT_NE(content, ".") << body;
      stream += line;
    }
    // Seen by the server after the reply to DATA, the end mark is the first end of data.
    const std::string seen = "\r\n" + stream + kSmtpEndOfData;
    ASSERT_EQ(seen.find("\r\n.\r\n"), seen.size() - kSmtpEndOfData.size()) << body;
  }
}

TEST(SmtpDataBlocks, GathersWholeLinesUpToTheBlockSize) {
  const struct {
    std::string body;
    std::size_t blockSize;
    Lines blocks;
  } cases[] = {
      {"", 4, {}},
      {"no line end", 4, {}},
      {"ab\r\ncd\r\n", 100, {"ab\r\ncd\r\n"}},
      // A block is closed by the first line that takes it to the size or past it.
      {"ab\r\ncd\r\nef\r\n", 4, {"ab\r\n", "cd\r\n", "ef\r\n"}},
      {"ab\r\ncd\r\nef\r\n", 5, {"ab\r\ncd\r\n", "ef\r\n"}},
      {"a\r\nb\r\n", 1, {"a\r\n", "b\r\n"}},
      {"a very long line\r\nx\r\n", 4, {"a very long line\r\n", "x\r\n"}},
      // The dot protection and the line ends are those of the lines.
      {"x\r\n.\r\n.y\nz", 100, {"x\r\n..\r\n..y\r\n"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SmtpDataBlocks(c.body, c.blockSize), c.blocks) << c.body << " / " << c.blockSize;
  }
}

TEST(SmtpDataBlocks, CarryTheBytesOfTheLinesWhateverTheBlockSize) {
  std::string body;
  for (int line = 0; line < 500; ++line)
    body += std::string(line % 90, line % 5 ? 'a' : '.') + "\n";
  std::string lines;
  for (const std::string& line : SmtpDataLines(body)) lines += line;
  for (std::size_t blockSize :
       {std::size_t{1}, std::size_t{70}, std::size_t{1000}, kSmtpDataBlockSize}) {
    std::string joined;
    for (const std::string& block : SmtpDataBlocks(body, blockSize)) {
      ASSERT_EQ(block.substr(block.size() - 2), "\r\n") << blockSize;
      joined += block;
    }
    EXPECT_EQ(joined, lines) << blockSize;
  }
}

TEST(SmtpEndOfData, IsAnEmptyLineThenADot) {
  EXPECT_EQ(kSmtpEndOfData, "\r\n.\r\n");
}

}  // namespace
}  // namespace pelorin
