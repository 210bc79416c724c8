// What the outbox window lists: the messages waiting in the workflow's outbox and those kept
// in the refused folder, each with what the user is shown of it. Widget-free; read anew at
// each refresh, so nothing of it is kept beside the outbox and the folder.
#pragma once

#include <QDateTime>
#include <QString>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/send_workflow.h"

namespace pelorin {

enum class OutboxRowKind { Queued, Refused };
inline constexpr std::array<std::string_view, 2> kOutboxRowKindNames = {"Queued", "Refused"};

struct OutboxRow {
  OutboxRowKind kind = OutboxRowKind::Queued;
  std::uint64_t id = 0;  // a queued message's id in the outbox
  std::string path;      // a refused message's file
  QString recipient;
  QString subject;
  QDateTime since;  // queued: when; refused: when it was written; invalid when not known
  QString lastError;
  bool carriesFiles = false;
};

// The recipients, the subject (encoded words decoded) and the date of a message's header.
struct MessageSummary {
  QString recipient;
  QString subject;
  QDateTime written;
};
MessageSummary SummarizeMessage(std::string_view text);

// Queued messages first, in the order they go out, then the refused ones, oldest first.
std::vector<OutboxRow> ListOutbox(SendWorkflow& workflow);

}  // namespace pelorin
