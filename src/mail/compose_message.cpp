#include "mail/compose_message.h"

#include "mail/mailto_link.h"
#include "mail/mime_header.h"
#include "mail/web_address.h"
#include "transport/mime_transfer.h"
#include "transport/recipients.h"
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

std::string ComposeMessage(const MessageFields& fields, const MessageStamp& stamp) {
  std::string body = LineEnd;  // the body always begins with a blank line
  for (const std::string& line : BodyLines(fields.memoLines)) body += line + LineEnd;
  const char* const transferEncoding = FitsSevenBit(body) ? "7bit" : "8bit";

  std::string text;
  text += UnstructuredField("Subject", ToSingleLine(fields.subject));
  text += AddressListField("To", ToSingleLine(fields.name),
                           SplitRecipients(ToSingleLine(fields.email)));
  text += HeaderLine("From: " + fields.sender);
  text += HeaderLine("X-Mailer: Pelorin " + std::string(kProgramVersion));
  text += HeaderLine("X-Advertisment: Check out Vantrel at " + std::string(kProgramWebAddress));
  text += HeaderLine("Date: " + stamp.date);
  text += HeaderLine("Message-ID: " + stamp.messageId);
  text += HeaderLine("MIME-Version: 1.0");
  text += HeaderLine("Content-Type: text/plain; charset=UTF-8");
  text += HeaderLine("Content-Transfer-Encoding: " + std::string(transferEncoding));
  text += LineEnd;  // ends the header
  return text + body;
}

std::string ComposeMessage(const MessageFields& fields) {
  return ComposeMessage(fields, StampNow(fields.sender));
}

}  // namespace pelorin
