// Which queued message the server accepted or refused, from the outbox's size and the counts.
#include "app/outbox_ledger.h"

#include <gtest/gtest.h>

namespace pelorin {
namespace {

using Fate = OutboxLedger::Fate;

TEST(OutboxLedgerTest, NewMessagesWaitUntilTheOutboxShrinks) {
  OutboxLedger ledger;
  const auto first = ledger.Queue();
  const auto second = ledger.Queue();
  ledger.BeginConversation();
  ledger.Observe(2, 0, 0);
  EXPECT_EQ(ledger.FateOf(first), Fate::Queued);
  EXPECT_EQ(ledger.FateOf(second), Fate::Queued);
  EXPECT_EQ(ledger.FateOf(second + 1), Fate::Unknown);
}

TEST(OutboxLedgerTest, HeadMessagesTakeTheFateTheCountsShow) {
  OutboxLedger ledger;
  const auto a = ledger.Queue();
  const auto b = ledger.Queue();
  const auto c = ledger.Queue();
  ledger.BeginConversation();
  ledger.Observe(2, 0, 1);  // a refused for good
  ledger.Observe(1, 1, 1);  // b accepted
  EXPECT_EQ(ledger.FateOf(a), Fate::Refused);
  EXPECT_EQ(ledger.FateOf(b), Fate::Accepted);
  EXPECT_EQ(ledger.FateOf(c), Fate::Queued);
  EXPECT_EQ(ledger.RefusedCount(), 1);
}

TEST(OutboxLedgerTest, CountsStartAgainWithEachConversation) {
  OutboxLedger ledger;
  const auto a = ledger.Queue();
  ledger.BeginConversation();
  ledger.Observe(0, 1, 0);
  const auto b = ledger.Queue();
  ledger.BeginConversation();
  ledger.Observe(1, 0, 0);  // greeting and HELO: nothing moves
  ledger.Observe(0, 1, 0);
  EXPECT_EQ(ledger.FateOf(a), Fate::Accepted);
  EXPECT_EQ(ledger.FateOf(b), Fate::Accepted);
  EXPECT_EQ(ledger.RefusedCount(), 0);
}

TEST(OutboxLedgerTest, MessagesQueuedBeforeTheLedgerComeFirst) {
  OutboxLedger ledger(1);
  const auto mine = ledger.Queue();
  ledger.BeginConversation();
  ledger.Observe(1, 1, 0);
  EXPECT_EQ(ledger.FateOf(mine), Fate::Queued);
  ledger.Observe(0, 2, 0);
  EXPECT_EQ(ledger.FateOf(mine), Fate::Accepted);
}

TEST(OutboxLedgerTest, ARemovalTheCountsDoNotExplainIsUnknown) {
  OutboxLedger ledger;
  const auto a = ledger.Queue();
  ledger.BeginConversation();
  ledger.Observe(0, 0, 0);
  EXPECT_EQ(ledger.FateOf(a), Fate::Unknown);
}

}  // namespace
}  // namespace pelorin
