#include "app/compose_message.h"

#include "app/mailto_link.h"
#include "app/web_address.h"
#include "transport/shared_data.h"

namespace pelorin {
namespace {

std::string HeaderLine(const std::string& text) {
  return ToSingleLine(text) + LineEnd;
}

void AppendSplitAtLineBreaks(const std::string& line, std::vector<std::string>& lines) {
  std::string current;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c != '\r' && c != '\n') {
      current += c;
      continue;
    }
    if (c == '\r' && i + 1 < line.size() && line[i + 1] == '\n') ++i;  // CR LF is one break
    lines.push_back(current);
    current.clear();
  }
  lines.push_back(current);
}

}  // namespace

std::vector<std::string> BodyLines(const std::vector<std::string>& memoLines) {
  std::vector<std::string> lines;
  for (const std::string& line : memoLines) AppendSplitAtLineBreaks(line, lines);
  return lines;
}

std::string ComposeMessage(const MessageFields& fields) {
  std::string text;
  text += HeaderLine("Subject: " + fields.subject);
  text += HeaderLine("To: " + fields.name + " <" + fields.email + ">");
  text += HeaderLine("From: " + fields.sender);
  text += HeaderLine("X-Mailer: Pelorin " + std::string(kProgramVersion));
  text += HeaderLine("X-Advertisment: Check out Vantrel at " + std::string(kProgramWebAddress));
  text += LineEnd;  // ends the header
  text += LineEnd;  // the body always begins with a blank line
  for (const std::string& line : BodyLines(fields.memoLines)) text += line + LineEnd;
  return text;
}

}  // namespace pelorin
