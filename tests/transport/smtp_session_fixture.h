// The SMTP session's test fixture: a clean session, an empty outbox, a known sender, a
// recording socket, and every box recorded.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "os/msgbox.h"
#include "transport/recording_socket.h"
#include "transport/shared_data.h"
#include "transport/smtp_session.h"

namespace testing_support {

class SmtpSessionTest : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }
  void TearDown() override { Reset(); }

  // For table-driven tests: each row begins as a test does.
  void Reset() {
    pelorin::SmtpResetSession();
    pelorin::OutboxBodies.clear();
    pelorin::OutboxRecipients.clear();
    pelorin::SenderAddress = "me@example.org";
    socket.Clear();
    socket.onSetText = nullptr;
    socket.onSConnect = nullptr;
    boxes.Clear();
    boxes.OnBox(nullptr);
  }

  static void Queue(const std::string& recipient, const std::string& body) {
    pelorin::OutboxRecipients.push_back(recipient);
    pelorin::OutboxBodies.push_back(body);
  }
  void Start(const std::string& port = "25") {
    pelorin::SmtpStartSession(socket, "mail.example", port);
  }
  void Feed(const std::string& text) { pelorin::SmtpHandleReply(socket, text); }
  void Error(const std::string& message) { pelorin::SmtpError(socket, message); }

  // Starts a conversation and answers it until it reaches `state` (1 to 6; 7 with one message
  // queued); the calls and boxes up to there are cleared.
  void DriveTo(int state) {
    static const char* const kReplies[] = {"220 ready\r\n",     "250 hello\r\n",
                                           "250 sender ok\r\n", "250 recipient ok\r\n",
                                           "354 go ahead\r\n",  "250 queued\r\n"};
    Start();
    for (int reached = 1; reached < state; ++reached) Feed(kReplies[reached - 1]);
    ASSERT_EQ(pelorin::SmtpState, state);
    socket.Clear();
    boxes.Clear();
  }

  RecordingSocket socket;
  os::BoxRecorder boxes;
};

inline const std::string kQuit = "QUIT\r\n";

}  // namespace testing_support
