// The status text of a send's outcome for every kind of report, told from the side of the
// fields' message; the window tests reach only the outcomes a scripted server gives easily.
#include "app/send_controller.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace {

using pelorin::OutboxMessage;
using pelorin::SendReport;

constexpr std::uint64_t kFields = 7;  // the fields' message
constexpr std::uint64_t kEarlier = 3;

struct OutcomeCase {
  const char* name;
  SendReport report;
  std::string status;
};

SendReport Report(std::vector<std::uint64_t> accepted, std::vector<std::uint64_t> refused,
                  std::size_t stillQueued, std::string failure = {}) {
  SendReport report;
  report.accepted = std::move(accepted);
  for (std::uint64_t id : refused) report.refused.push_back(OutboxMessage{id, "to@x", "", {}, ""});
  report.stillQueued = stillQueued;
  report.failure = std::move(failure);
  return report;
}

SendReport WithRecipients(SendReport report, std::vector<std::string> refused,
                          std::vector<std::string> deferred) {
  report.refusedRecipients = std::move(refused);
  report.deferredRecipients = std::move(deferred);
  return report;
}

void PrintTo(const OutcomeCase& c, std::ostream* out) {
  *out << c.name;
}

class OutcomeTextTest : public ::testing::TestWithParam<OutcomeCase> {};

TEST_P(OutcomeTextTest, SaysWhatBecameOfTheFieldsMessageFirst) {
  EXPECT_EQ(pelorin::SendOutcomeText(GetParam().report, kFields), GetParam().status);
}

const std::string kStaysQueued = "; it stays queued for the next send.";

INSTANTIATE_TEST_SUITE_P(
    Reports, OutcomeTextTest,
    ::testing::Values(
        OutcomeCase{"AllWent", Report({kEarlier, kFields}, {}, 0), "Mail has been sent!"},
        OutcomeCase{"DialRefused",
                    [] {
                      SendReport report = Report({}, {}, 1);
                      report.dialRefusal = "The line is busy";
                      return report;
                    }(),
                    "The line is busy; the mail stays queued for the next send."},
        OutcomeCase{"RecipientsRefused", WithRecipients(Report({kFields}, {}, 0), {"a", "b"}, {}),
                    "Mail has been sent, but the server refused these recipients: a; b"},
        OutcomeCase{"RecipientsDeferredAndRefused",
                    WithRecipients(Report({kFields}, {}, 1), {"a"}, {"b", "c"}),
                    "Mail has been sent, but the server refused these recipients for now; it "
                    "stays queued for them alone: b; c. Refused for good: a"},
        OutcomeCase{"FieldsRefused", Report({kEarlier}, {kFields}, 0),
                    "Mail not sent: the server refused it."},
        OutcomeCase{"EarlierStaysQueued", Report({kFields}, {}, 1, "lost"),
                    "Mail has been sent, but an earlier message stays queued for the next send."},
        OutcomeCase{"EarlierRefused", Report({kFields}, {kEarlier}, 0),
                    "Mail has been sent, but an earlier message was refused."},
        OutcomeCase{"OnlyAnEarlierOneRefused", Report({}, {kEarlier}, 0),
                    "Mail not sent: the server refused it."},
        OutcomeCase{"Failed", Report({}, {}, 2, "connection refused"),
                    "Mail not sent (connection refused)" + kStaysQueued},
        OutcomeCase{"FailedWithoutReason", Report({}, {}, 1),
                    "Mail not sent (the server refused it)" + kStaysQueued}),
    [](const ::testing::TestParamInfo<OutcomeCase>& info) { return info.param.name; });

}  // namespace
