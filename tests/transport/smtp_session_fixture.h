// The SMTP session's test fixture: a fresh session over an empty outbox, a known sender, a
// recording socket, the turns the session returns, and a box recorder that must stay empty
// (the session reports; it never shows anything itself).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "os/msgbox.h"
#include "transport/outbox.h"
#include "transport/recording_socket.h"
#include "transport/shared_data.h"
#include "transport/smtp_session.h"

namespace pelorin {

// Readable names in failure messages.
inline void PrintTo(SmtpTurn::Kind kind, std::ostream* out) {
  static const char* const kNames[] = {"Going", "Halted", "Notice", "Over"};
  *out << kNames[static_cast<int>(kind)];
}
inline void PrintTo(SmtpHalt::Kind kind, std::ostream* out) {
  *out << (kind == SmtpHalt::Kind::Refusal ? "Refusal" : "UnexpectedEnd");
}
inline void PrintTo(SmtpState state, std::ostream* out) {
  *out << static_cast<int>(state) << " (" << SmtpStepName(state) << ")";
}

}  // namespace pelorin

namespace testing_support {

using Texts = std::vector<std::string>;
using Ids = std::vector<std::uint64_t>;
using pelorin::SmtpHalt;
using pelorin::SmtpState;
using pelorin::SmtpTurn;

inline const std::string kHelo = "HELO client.example\r\n";
inline const std::string kMail = "MAIL FROM: <me@example.org>\r\n";
inline const std::string kData = "DATA\r\n";
inline const std::string kQuit = "QUIT\r\n";
inline const std::string kEnd = "\r\n.\r\n";

inline std::string Rcpt(const std::string& to) {
  return "RCPT TO: <" + to + ">\r\n";
}

// The helpers are public so that tables of cases can hold lambdas that use them.
class SmtpSessionTest : public ::testing::Test {
 public:
  void SetUp() override { Reset(); }
  void TearDown() override {
    EXPECT_TRUE(boxes.Boxes().empty()) << "the session showed a box: " << boxes.Texts()[0];
  }

  // For table-driven tests: each row begins as a test does.
  void Reset() {
    session.reset();
    outbox = pelorin::Outbox();
    session = std::make_unique<pelorin::SmtpSession>(outbox);
    pelorin::SenderAddress = "me@example.org";
    socket.Clear();
    socket.hostName = "client.example";
    socket.onSetText = nullptr;
    socket.onSConnect = nullptr;
  }

  std::uint64_t Queue(const std::string& recipient, const std::string& text) {
    std::uint64_t id = 0;
    EXPECT_EQ(outbox.Append(recipient, text, {"Name", recipient, "Subject", text}, &id), "");
    return id;
  }
  void Start(const std::string& port = "25") {
    session->SmtpStartSession(socket, "mail.example", port);
  }
  SmtpTurn Feed(std::string_view text) { return session->SmtpHandleReply(socket, text); }
  SmtpTurn Error(const std::string& message) { return session->SmtpError(socket, message); }
  SmtpTurn Closed() { return session->ConnectionClosed(socket); }
  SmtpTurn GoOn() { return session->GoOn(socket); }

  SmtpState State() const { return session->State(); }
  const pelorin::SmtpOutcome& Outcome() const { return session->Outcome(); }
  Ids Accepted() const { return Outcome().accepted; }
  Ids Dropped() const {
    Ids ids;
    for (const pelorin::OutboxMessage& message : Outcome().dropped) ids.push_back(message.id);
    return ids;
  }
  // The outbox holds exactly `ids`, in this order. The outbox only ever loses its head, so its
  // size, its head and its last message pin it down.
  void ExpectQueued(const Ids& ids) const {
    ASSERT_EQ(outbox.Size(), ids.size());
    if (ids.empty()) return;
    EXPECT_EQ(outbox.Head().id, ids.front());
    for (std::uint64_t id : ids) EXPECT_TRUE(outbox.Holds(id)) << "message " << id;
  }

  // Starts a conversation and answers it until it reaches `state` (Greeting to MessageData;
  // Quit with one message queued); the calls up to there are cleared.
  void DriveTo(SmtpState state) {
    static const char* const kReplies[] = {"220 ready\r\n",     "250 hello\r\n",
                                           "250 sender ok\r\n", "250 recipient ok\r\n",
                                           "354 go ahead\r\n",  "250 queued\r\n"};
    Start();
    for (int reached = 1; reached < static_cast<int>(state); ++reached) {
      ASSERT_EQ(Feed(kReplies[reached - 1]).kind, SmtpTurn::Kind::Going);
    }
    ASSERT_EQ(State(), state);
    socket.Clear();
  }

  // The turn is a halt of `kind` at `at` that shows `shown`.
  static void ExpectHalt(const SmtpTurn& turn, SmtpHalt::Kind kind, const std::string& shown,
                         SmtpState at, bool dropsMessage) {
    ASSERT_EQ(turn.kind, SmtpTurn::Kind::Halted);
    EXPECT_EQ(turn.halt.kind, kind);
    EXPECT_EQ(turn.halt.shown, shown);
    EXPECT_EQ(turn.halt.at, at);
    EXPECT_EQ(turn.halt.dropsMessage, dropsMessage);
  }

  // The session has ended the conversation and closed the connection from this side.
  void ExpectOver(const SmtpTurn& turn) const {
    EXPECT_EQ(turn.kind, SmtpTurn::Kind::Over);
    EXPECT_EQ(State(), SmtpState::Idle);
    EXPECT_FALSE(session->IsHalted());
    EXPECT_EQ(socket.Count("Disconnect"), 1);
    ASSERT_FALSE(socket.calls.empty());
    EXPECT_EQ(socket.calls.back(), "Disconnect");
  }

  pelorin::Outbox outbox;
  std::unique_ptr<pelorin::SmtpSession> session;
  RecordingSocket socket;
  os::BoxRecorder boxes;
};

}  // namespace testing_support
