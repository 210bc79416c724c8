// The session entered again while it is busy: from inside a message box (boxes keep events
// flowing), from inside a send that fails, and from the worker thread that connects.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "transport/smtp_data.h"
#include "transport/smtp_session_fixture.h"

namespace testing_support {
namespace {

using pelorin::OutboxBodies;
using pelorin::OutboxRecipients;
using pelorin::ReplyBuffer;
using pelorin::SmtpState;
using Texts = std::vector<std::string>;

// A body whose data goes out in two blocks.
const std::string kTwoBlockBody = std::string(pelorin::kSmtpDataBlockSize, 'x') + "\r\nsecond\r\n";

class SmtpReentry : public SmtpSessionTest {
 protected:
  // Runs `action` from inside the first box only. The recorder calls a copy of the hook, so
  // the flag lives outside it.
  void WhileTheFirstBoxIsOpen(std::function<void()> action) {
    auto done = std::make_shared<bool>(false);
    boxes.OnBox([action, done](const os::BoxRequest&) {
      if (*done) return;
      *done = true;
      action();
    });
  }
};

TEST_F(SmtpReentry, AnErrorWhileARefusalIsShownEndsTheConversationOnce) {
  const struct {
    std::string refusal;
    std::size_t staying;
  } cases[] = {{"550 no such user\r\n", 0}, {"450 mailbox busy\r\n", 1}};
  for (const auto& c : cases) {
    Reset();
    Queue("a@example.net", "A\r\n");
    DriveTo(4);
    WhileTheFirstBoxIsOpen([this] { Error("TimeOut"); });
    Feed(c.refusal);
    EXPECT_EQ(boxes.Texts(), (Texts{c.refusal, "500 TimeOut\r\n"}));
    EXPECT_EQ(socket.calls, (Texts{"SetText QUIT\r\n", "Disconnect"})) << c.refusal;
    EXPECT_EQ(SmtpState, 0);
    EXPECT_EQ(OutboxBodies.size(), c.staying) << c.refusal;
  }
}

TEST_F(SmtpReentry, TextArrivingWhileARefusalIsShownStartsTheNextReply) {
  Queue("a@example.net", "A\r\n");
  DriveTo(1);
  WhileTheFirstBoxIsOpen([this] { Feed("221 "); });
  Feed("421 busy\r\n");
  EXPECT_EQ(socket.Sent(), Texts{kQuit});
  EXPECT_EQ(SmtpState, 7);
  EXPECT_EQ(ReplyBuffer, "221 ");
  Feed("bye\r\n");
  EXPECT_EQ(SmtpState, 0);
  EXPECT_EQ(boxes.Texts(), Texts{"421 busy\r\n"});
  EXPECT_EQ(socket.Count("Disconnect"), 0);
}

TEST_F(SmtpReentry, ARefusalRepeatedWhileItsBoxIsOpenDropsOneMessageAndQuitsOnce) {
  Queue("a@example.net", "A\r\n");
  Queue("b@example.net", "B\r\n");
  DriveTo(4);
  WhileTheFirstBoxIsOpen([this] { Feed("550 still no\r\n"); });
  Feed("550 no such user\r\n");
  EXPECT_EQ(boxes.Texts(), (Texts{"550 no such user\r\n", "550 still no\r\n"}));
  EXPECT_EQ(socket.Sent(), Texts{kQuit});
  EXPECT_EQ(SmtpState, 7);
  EXPECT_EQ(OutboxRecipients, Texts{"b@example.net"});
  EXPECT_EQ(pelorin::SmtpLastOutcome().dropped, 1);
}

TEST_F(SmtpReentry, AConversationEndedWhileARefusalIsShownDropsNoOtherMessage) {
  Queue("a@example.net", "A\r\n");
  Queue("b@example.net", "B\r\n");
  DriveTo(4);
  WhileTheFirstBoxIsOpen([this] {
    Feed("550 still no\r\n");
    Feed("221 bye\r\n");
  });
  Feed("550 no such user\r\n");
  EXPECT_EQ(SmtpState, 0);
  EXPECT_EQ(socket.Sent(), Texts{kQuit});
  EXPECT_EQ(OutboxRecipients, Texts{"b@example.net"});
}

TEST_F(SmtpReentry, AConversationMovedOnWhileARefusalIsShownKeepsItsMessage) {
  Queue("a@example.net", "A\r\n");
  DriveTo(4);
  WhileTheFirstBoxIsOpen([this] { Feed("250 recipient ok after all\r\n"); });
  Feed("550 no such user\r\n");
  EXPECT_EQ(socket.Sent(), Texts{"DATA\r\n"});
  EXPECT_EQ(SmtpState, 5);
  EXPECT_EQ(OutboxRecipients, Texts{"a@example.net"});
  Feed("354 go ahead\r\n");
  EXPECT_EQ(socket.Sent().back(), "A\r\n\r\n.\r\n");
}

TEST_F(SmtpReentry, AnErrorWhileAnUnexpectedEndIsShownClosesOnce) {
  Queue("a@example.net", "A\r\n");
  DriveTo(7);
  WhileTheFirstBoxIsOpen([this] { Error("Connection reset by peer"); });
  Feed("250 what\r\n");
  EXPECT_EQ(boxes.Texts(), (Texts{"250 what\r\n", "500 Connection reset by peer\r\n"}));
  EXPECT_EQ(socket.calls, (Texts{"SetText QUIT\r\n", "Disconnect"}));
  EXPECT_EQ(SmtpState, 0);
}

TEST_F(SmtpReentry, ANewConversationBegunWhileABoxIsOpenIsLeftAlone) {
  Queue("a@example.net", "A\r\n");
  DriveTo(4);
  WhileTheFirstBoxIsOpen([this] { Start(); });
  Feed("550 no such user\r\n");
  EXPECT_EQ(socket.calls, (Texts{"IPAddr mail.example", "Port 25", "SConnect"}));
  EXPECT_EQ(SmtpState, 1);
  EXPECT_EQ(OutboxBodies.size(), 1u) << "the message is in the new conversation's hands";
  Feed("220 ready\r\n");
  EXPECT_EQ(socket.Sent(), Texts{"HELO client.example\r\n"});
}

TEST_F(SmtpReentry, ASendThatFailsEndsTheConversationAndNothingMoreGoesOut) {
  const struct {
    int state;
    std::string reply;
    std::string failingSend;
  } cases[] = {
      {1, "220 ready\r\n", "HELO client.example\r\n"},
      {4, "250 recipient ok\r\n", "DATA\r\n"},
      {5, "354 go ahead\r\n", pelorin::SmtpDataBlocks(kTwoBlockBody)[0]},
      {5, "354 go ahead\r\n", pelorin::SmtpDataBlocks(kTwoBlockBody)[1] + "\r\n.\r\n"},
  };
  for (const auto& c : cases) {
    Reset();
    Queue("a@example.net", kTwoBlockBody);
    DriveTo(c.state);
    socket.onSetText = [this, &c](const std::string& text) {
      if (text == c.failingSend) Error("Connection reset by peer");
    };
    Feed(c.reply);
    EXPECT_EQ(boxes.Texts(), Texts{"500 Connection reset by peer\r\n"}) << c.failingSend;
    EXPECT_EQ(socket.Sent().back(), kQuit) << c.failingSend;
    EXPECT_EQ(socket.Sent()[socket.Sent().size() - 2], c.failingSend);
    EXPECT_EQ(socket.calls.back(), "Disconnect");
    EXPECT_EQ(SmtpState, 0);
    EXPECT_EQ(OutboxBodies.size(), 1u);
  }
}

TEST_F(SmtpReentry, AConnectThatFailsAtOnceOnTheWorkerThreadEndsTheConversation) {
  Queue("a@example.net", "A\r\n");
  socket.onSConnect = [this] { Error("Cannot convert host address"); };
  std::thread worker([this] { Start(); });
  worker.join();
  EXPECT_EQ(boxes.Texts(), Texts{"500 Cannot convert host address\r\n"});
  EXPECT_EQ(socket.calls, (Texts{"IPAddr mail.example", "Port 25", "SConnect", "SetText QUIT\r\n",
                                 "Disconnect"}));
  EXPECT_EQ(SmtpState, 0);
  EXPECT_EQ(OutboxBodies.size(), 1u);
  EXPECT_TRUE(pelorin::SmtpLastOutcome().failed);
}

}  // namespace
}  // namespace testing_support
