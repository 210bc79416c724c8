#include "app/outbox_listing.h"

#include <QByteArray>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QStringList>
#include <cctype>
#include <fstream>
#include <map>

#include "app/qstring_text.h"
#include "mail/mime_multipart.h"

namespace pelorin {
namespace {

// Enough for any header this program writes; the body is never read for the list.
constexpr std::size_t kHeadLimit = 64 * 1024;

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

std::string_view LineAt(std::string_view text, std::size_t& start) {
  std::size_t end = text.find('\n', start);
  if (end == std::string_view::npos) end = text.size();
  std::string_view line = text.substr(start, end - start);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  start = end + 1;
  return line;
}

// The header's fields by lower-case name, each unfolded onto one line; the first of a name
// counts.
std::map<std::string, std::string> HeaderFields(std::string_view text) {
  std::map<std::string, std::string> fields;
  std::string* last = nullptr;
  for (std::size_t start = 0; start < text.size();) {
    const std::string_view line = LineAt(text, start);
    if (line.empty()) break;  // the header ends
    if (line[0] == ' ' || line[0] == '\t') {
      if (last != nullptr) *last += line;
      continue;
    }
    const std::size_t colon = line.find(':');
    last = nullptr;
    if (colon == std::string_view::npos) continue;
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    const auto [field, added] = fields.emplace(Lower(line.substr(0, colon)), std::string(value));
    if (added) last = &field->second;
  }
  return fields;
}

QString DecodedWord(const QRegularExpressionMatch& word) {
  QByteArray bytes = word.captured(3).toLatin1();
  if (word.captured(2).compare(QLatin1String("B"), Qt::CaseInsensitive) == 0) {
    bytes = QByteArray::fromBase64(bytes);
  } else {
    bytes = QByteArray::fromPercentEncoding(bytes.replace('_', ' '), '=');
  }
  QStringDecoder decoder(word.captured(1).toLatin1().constData());
  if (!decoder.isValid()) return word.captured(0);  // a character set unknown here: as it is
  return decoder.decode(bytes);
}

// RFC 2047: encoded words decoded; the blanks between two of them belong to neither.
QString DecodedText(const std::string& value) {
  static const QRegularExpression kWord(QStringLiteral(R"(=\?([^?\s]+)\?([BbQq])\?([^?\s]*)\?=)"));
  const QString text = ToQString(value);
  QString decoded;
  qsizetype at = 0;
  for (auto words = kWord.globalMatch(text); words.hasNext();) {
    const QRegularExpressionMatch word = words.next();
    const QString between = text.mid(at, word.capturedStart() - at);
    if (at == 0 || !between.trimmed().isEmpty()) decoded += between;
    decoded += DecodedWord(word);
    at = word.capturedEnd();
  }
  return decoded + text.mid(at);
}

// The addresses a To field names, as the outbox names its recipients.
QString Addresses(const QString& to) {
  static const QRegularExpression kAddress(QStringLiteral("<([^<>]*)>"));
  QStringList addresses;
  for (auto found = kAddress.globalMatch(to); found.hasNext();) {
    addresses << found.next().captured(1);
  }
  return addresses.isEmpty() ? to : addresses.join(QStringLiteral(", "));
}

std::string Head(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::string head(kHeadLimit, '\0');
  file.read(head.data(), static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<std::size_t>(file.gcount()));
  return head;
}

OutboxRow QueuedRow(const SendWorkflow& workflow, const OutboxMessage& message) {
  OutboxRow row;
  row.id = message.id;
  row.recipient = ToQString(message.recipient);
  row.subject = ToQString(message.draft.subject);
  if (const auto queued = OutboxFolder::QueuedAt(message.storedAs)) {
    const auto since =
        std::chrono::duration_cast<std::chrono::milliseconds>(queued->time_since_epoch());
    row.since = QDateTime::fromMSecsSinceEpoch(since.count());
  }
  row.lastError = ToQString(workflow.LastError(message.id));
  row.carriesFiles = HasAttachments(message.text);
  return row;
}

OutboxRow RefusedRow(const std::string& path) {
  const std::string head = Head(path);
  const MessageSummary summary = SummarizeMessage(head);
  OutboxRow row;
  row.kind = OutboxRowKind::Refused;
  row.path = path;
  row.recipient = summary.recipient;
  row.subject = summary.subject;
  row.since = summary.written;
  row.carriesFiles = HasAttachments(head);
  return row;
}

}  // namespace

MessageSummary SummarizeMessage(std::string_view text) {
  const std::map<std::string, std::string> fields = HeaderFields(text);
  const auto field = [&fields](const char* name) {
    const auto found = fields.find(name);
    return found != fields.end() ? found->second : std::string();
  };
  return {Addresses(DecodedText(field("to"))), DecodedText(field("subject")),
          QDateTime::fromString(ToQString(field("date")), Qt::RFC2822Date)};
}

std::vector<OutboxRow> ListOutbox(SendWorkflow& workflow) {
  std::vector<OutboxRow> rows;
  const Outbox& outbox = workflow.Queue();
  for (std::size_t i = 0; i < outbox.Size(); ++i) rows.push_back(QueuedRow(workflow, outbox.At(i)));
  if (const OutboxFolder* folder = workflow.Folder()) {
    for (const std::string& path : folder->RefusedFiles()) rows.push_back(RefusedRow(path));
  }
  return rows;
}

}  // namespace pelorin
