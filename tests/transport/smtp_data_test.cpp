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

// The data as the first version sent it, byte by byte: the reference for SmtpDataText.
std::string DataByteByByte(const std::string& body) {
  std::string data;
  std::string line;
  for (std::size_t i = 0; i < body.size(); ++i) {
    if (body[i] != '\r' && body[i] != '\n') {
      line += body[i];
      continue;
    }
    if (body[i] == '\r' && i + 1 < body.size() && body[i + 1] == '\n') ++i;
    if (!line.empty() && line[0] == '.') data += '.';
    data += line + "\r\n";
    line.clear();
  }
  return data + "\r\n.\r\n";
}

// Every body of up to `longest` bytes drawn from `alphabet`.
std::vector<std::string> AllBodies(const std::string& alphabet, std::size_t longest) {
  std::vector<std::string> bodies = {""};
  for (std::size_t length = 1, first = 0; length <= longest; ++length) {
    const std::size_t last = bodies.size();
    for (std::size_t i = first; i < last; ++i) {
      for (char c : alphabet) bodies.push_back(bodies[i] + c);
    }
    first = last;
  }
  return bodies;
}

TEST(SmtpDataText, IsTheLinesThenTheEndMark) {
  const struct {
    const char* what;
    std::string body;
    std::string data;
  } cases[] = {
      {"empty body", "", "\r\n.\r\n"},
      {"no line end", "no line end", "\r\n.\r\n"},
      {"as it goes", "a\r\nb\r\n", "a\r\nb\r\n\r\n.\r\n"},
      {"empty lines", "\r\n\r\n", "\r\n\r\n\r\n.\r\n"},
      {"text after the last line end", "a\r\nrest", "a\r\n\r\n.\r\n"},
      {"dot first", ".a\r\nb\r\n", "..a\r\nb\r\n\r\n.\r\n"},
      {"dot later", "a\r\n.\r\nb\r\n..\r\n", "a\r\n..\r\nb\r\n...\r\n\r\n.\r\n"},
      {"dot inside", "a.\r\n x.\r\n", "a.\r\n x.\r\n\r\n.\r\n"},
      {"bare LF", "a\nb\r\n", "a\r\nb\r\n\r\n.\r\n"},
      {"bare CR", "a\rb\r\n", "a\r\nb\r\n\r\n.\r\n"},
      {"CR at the very end", "a\r\nb\r", "a\r\nb\r\n\r\n.\r\n"},
      {"LF CR", "a\n\rb\r\n", "a\r\n\r\nb\r\n\r\n.\r\n"},
      {"CR CR LF", "a\r\r\n", "a\r\n\r\n\r\n.\r\n"},
      {"dot after a bare LF", "a\n.b\n", "a\r\n..b\r\n\r\n.\r\n"},
      {"dot on a line ended by a bare CR", ".\r.\r", "..\r\n..\r\n\r\n.\r\n"},
      {"other bytes", std::string("\0\xe9\x1a\r\n", 5), std::string("\0\xe9\x1a\r\n\r\n.\r\n", 10)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SmtpDataText(c.body), c.data) << c.what;
    EXPECT_EQ(DataByteByByte(c.body), c.data) << c.what << " (the reference)";
  }
}

TEST(SmtpDataText, EveryShortBodyGoesAsByteByByte) {
  for (const std::string& body : AllBodies(".\r\na", 7)) {
    std::string lines;
    for (const std::string& line : SmtpDataLines(body)) lines += line;
    ASSERT_EQ(SmtpDataText(body), DataByteByByte(body)) << body;
    ASSERT_EQ(lines + kSmtpEndOfData, DataByteByByte(body)) << body;
  }
}

TEST(SmtpDataText, LargeBodiesGoAsByteByByte) {
  const std::string canonical = [] {
    std::string body;
    for (int line = 0; body.size() < (4 << 20); ++line)
      body += std::string(line % 997, 'a' + line % 26) + "\r\n";
    return body;
  }();
  // Changes far apart, so that long runs go as they are between them.
  std::string changed = canonical;
  changed[0] = '.';
  changed[changed.size() / 3] = '\n';
  changed.insert(changed.find("\r\n", changed.size() / 2) + 2, ".");
  changed[changed.find("\r\n", 2 * changed.size() / 3) + 1] = 'z';  // a bare CR
  changed.back() = '\r';
  changed += "rest";
  const struct {
    const char* what;
    const std::string& body;
  } cases[] = {{"lines as they go", canonical}, {"some lines to change", changed}};
  for (const auto& c : cases) {
    const std::string data = SmtpDataText(c.body);
    EXPECT_TRUE(data == DataByteByByte(c.body)) << c.what;
  }
  EXPECT_TRUE(SmtpDataText(canonical) == canonical + kSmtpEndOfData);
}

TEST(SmtpDataUnchangedLength, StopsBeforeTheFirstLineToChangeAndWithinTheLimit) {
  const struct {
    const char* what;
    std::string body;
    std::size_t limit;
    std::size_t expected;
  } cases[] = {
      {"all as it goes", "ab\r\ncd\r\n", 100, 8},
      {"text after the last line end", "ab\r\ncd", 100, 4},
      {"a dot to double", "ab\r\n.c\r\nd\r\n", 100, 4},
      {"a dot first", ".a\r\nb\r\n", 100, 0},
      {"a bare LF", "ab\r\nc\nd\r\n", 100, 4},
      {"a bare CR", "ab\r\nc\rd\r\n", 100, 4},
      {"a CR at the very end", "ab\r\nc\r", 100, 4},
      {"the limit inside a line", "ab\r\ncd\r\n", 7, 4},
      {"the limit at a line end", "ab\r\ncd\r\n", 8, 8},
      {"nothing within the limit", "ab\r\n", 3, 0},
      {"empty lines", "\r\n\r\n", 100, 4},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SmtpDataUnchangedLength(c.body, c.limit), c.expected) << c.what;
  }
}

// The bytes it counts, then the data of the rest, are the data of the whole, for every split.
TEST(SmtpDataUnchangedLength, ItsBytesThenTheRestAreTheWholeData) {
  for (const std::string& body : AllBodies(".\r\na", 6)) {
    for (std::size_t limit = 0; limit <= body.size(); ++limit) {
      const std::size_t unchanged = SmtpDataUnchangedLength(body, limit);
      ASSERT_LE(unchanged, limit) << body;
      const std::string_view view(body);
      ASSERT_EQ(std::string(view.substr(0, unchanged)) + SmtpDataText(view.substr(unchanged)),
                SmtpDataText(body))
          << body << " up to " << limit;
    }
  }
}

TEST(SmtpEndOfData, IsAnEmptyLineThenADot) {
  EXPECT_EQ(kSmtpEndOfData, "\r\n.\r\n");
}

}  // namespace
}  // namespace pelorin
