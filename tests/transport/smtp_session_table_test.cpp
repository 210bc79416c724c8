// The state table: each state meets success codes, failure codes and codes it ignores.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transport/smtp_session_fixture.h"

namespace testing_support {
namespace {

using pelorin::OutboxBodies;
using pelorin::SmtpState;

const std::string kHelo = "HELO client.example\r\n";
const std::string kMail = "MAIL FROM: <me@example.org>\r\n";
const std::string kRcpt = "RCPT TO: <you@example.net>\r\n";
const std::string kData = "DATA\r\n";
const std::string kBody = "Subject: hi\r\n\r\n.\r\nbody\r\n";
const std::vector<std::string> kBodySent = {"Subject: hi\r\n\r\n..\r\nbody\r\n\r\n.\r\n"};

struct Row {
  const char* name;
  int state;
  std::string reply;
  std::vector<std::string> sent;
  int next;
  bool box;  // the reply is shown
  std::size_t queued;
  bool disconnect = false;
};

const Row kRows[] = {
    {"S0_220Dropped", 0, "220 ready\r\n", {}, 0, false, 1},
    {"S0_500Dropped", 0, "500 what\r\n", {}, 0, false, 1},
    {"S1_220Helo", 1, "220 ready\r\n", {kHelo}, 2, false, 1},
    {"S1_421Fails", 1, "421 busy\r\n", {kQuit}, 7, true, 1},
    {"S1_554Ignored", 1, "554 no service\r\n", {}, 1, false, 1},
    {"S1_250Ignored", 1, "250 ok\r\n", {}, 1, false, 1},
    {"S1_NoCodeIgnored", 1, "\r\n", {}, 1, false, 1},
    {"S2_250MailFrom", 2, "250 hello\r\n", {kMail}, 3, false, 1},
    {"S2_421Fails", 2, "421 closing\r\n", {kQuit}, 7, true, 1},
    {"S2_500Fails", 2, "500 syntax\r\n", {kQuit}, 7, true, 1},
    {"S2_501Fails", 2, "501 arguments\r\n", {kQuit}, 7, true, 1},
    {"S2_504Fails", 2, "504 not implemented\r\n", {kQuit}, 7, true, 1},
    {"S2_550Ignored", 2, "550 no\r\n", {}, 2, false, 1},
    {"S2_220Ignored", 2, "220 again\r\n", {}, 2, false, 1},
    {"S3_250RcptTo", 3, "250 sender ok\r\n", {kRcpt}, 4, false, 1},
    {"S3_421Fails", 3, "421 closing\r\n", {kQuit}, 7, true, 1},
    {"S3_451Fails", 3, "451 local error\r\n", {kQuit}, 7, true, 1},
    {"S3_452Fails", 3, "452 storage\r\n", {kQuit}, 7, true, 1},
    {"S3_500Fails", 3, "500 syntax\r\n", {kQuit}, 7, true, 1},
    {"S3_501Fails", 3, "501 arguments\r\n", {kQuit}, 7, true, 1},
    {"S3_552Fails", 3, "552 too much\r\n", {kQuit}, 7, true, 1},
    {"S3_553Fails", 3, "553 bad sender\r\n", {kQuit}, 7, true, 1},
    {"S3_550Ignored", 3, "550 no\r\n", {}, 3, false, 1},
    {"S3_251Ignored", 3, "251 forwarded\r\n", {}, 3, false, 1},
    {"S4_250Data", 4, "250 recipient ok\r\n", {kData}, 5, false, 1},
    {"S4_251Data", 4, "251 will forward\r\n", {kData}, 5, false, 1},
    {"S4_550Drops", 4, "550 no such user\r\n", {kQuit}, 7, true, 0},
    {"S4_500Drops", 4, "500 syntax\r\n", {kQuit}, 7, true, 0},
    {"S4_599Drops", 4, "599 odd\r\n", {kQuit}, 7, true, 0},
    {"S4_450Keeps", 4, "450 try later\r\n", {kQuit}, 7, true, 1},
    {"S4_499Keeps", 4, "499 odd\r\n", {kQuit}, 7, true, 1},
    {"S4_600Keeps", 4, "600 odd\r\n", {kQuit}, 7, true, 1},
    {"S4_354Keeps", 4, "354 early\r\n", {kQuit}, 7, true, 1},
    {"S4_NoCodeKeeps", 4, "\r\n", {kQuit}, 7, true, 1},
    {"S5_354SendsData", 5, "354 go ahead\r\n", kBodySent, 6, false, 1},
    {"S5_250Keeps", 5, "250 odd\r\n", {kQuit}, 7, true, 1},
    {"S5_451Keeps", 5, "451 later\r\n", {kQuit}, 7, true, 1},
    {"S5_554Drops", 5, "554 no data\r\n", {kQuit}, 7, true, 0},
    {"S6_250Accepted", 6, "250 queued\r\n", {kQuit}, 7, false, 0},
    {"S6_552Drops", 6, "552 too big\r\n", {kQuit}, 7, true, 0},
    {"S6_452Keeps", 6, "452 storage\r\n", {kQuit}, 7, true, 1},
    {"S6_354Keeps", 6, "354 again\r\n", {kQuit}, 7, true, 1},
    {"S7_221Ends", 7, "221 bye\r\n", {}, 0, false, 0},
    {"S7_250EndsUnexpectedly", 7, "250 what\r\n", {kQuit}, 0, true, 0, true},
    {"S7_421EndsUnexpectedly", 7, "421 closing\r\n", {kQuit}, 0, true, 0, true},
};

class SmtpStateTable : public SmtpSessionTest, public ::testing::WithParamInterface<Row> {};

TEST_P(SmtpStateTable, AnswersTheReplyForItsState) {
  const Row& row = GetParam();
  os::SetApplicationTitle("Pelorin32");
  Queue("you@example.net", kBody);
  if (row.state != 0) DriveTo(row.state);

  Feed(row.reply);

  EXPECT_EQ(socket.Sent(), row.sent);
  EXPECT_EQ(SmtpState, row.next);
  std::vector<os::BoxRequest> shown;
  if (row.box) shown.push_back({row.reply, "Pelorin32", os::BoxButtons::Ok, os::BoxIcon::None});
  EXPECT_EQ(boxes.Boxes(), shown);
  EXPECT_EQ(OutboxBodies.size(), row.queued);
  EXPECT_EQ(pelorin::OutboxRecipients.size(), row.queued);
  EXPECT_EQ(socket.Count("Disconnect"), row.disconnect ? 1 : 0);
  EXPECT_EQ(pelorin::ReplyBuffer, "");
}

INSTANTIATE_TEST_SUITE_P(Rows, SmtpStateTable, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) { return info.param.name; });

}  // namespace
}  // namespace testing_support
