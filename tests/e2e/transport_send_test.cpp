// Sends queued messages through the socket component and the SMTP session to a real
// OpenSMTPD on 127.0.0.1 and compares what it delivered with what was queued.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <random>
#include <vector>

#include "e2e/maildir.h"
#include "os/msgbox.h"
#include "support/event_loop.h"
#include "transport/mime_transfer.h"
#include "transport/shared_data.h"
#include "transport/smtp_session.h"
#include "transport/sockets.h"

namespace {

using namespace testing_support;

std::string UniqueMarker() {
  std::random_device random;
  return "run" + std::to_string(random()) + std::to_string(random());
}

// A message as the program lays it out, with its own Date and Message-ID: the server adds
// nothing to the header but its trace.
std::string ComposedMessage(const std::string& subject, const std::string& id,
                            const std::vector<std::string>& body,
                            const std::string& transferEncoding = "7bit") {
  std::string text = "Subject: " + subject + "\r\nTo: Ann <ann@example.org>\r\n" +
                     "From: me@example.com\r\nX-Mailer: Pelorin 1.06\r\n" +
                     "Date: Wed, 09 Dec 2026 14:05:09 +0100\r\n" + "Message-ID: <" + id +
                     "@example.com>\r\n" + "MIME-Version: 1.0\r\n" +
                     "Content-Type: text/plain; charset=UTF-8\r\n" +
                     "Content-Transfer-Encoding: " + transferEncoding + "\r\n\r\n\r\n";
  for (const std::string& line : body) text += line + "\r\n";
  return text;
}

// The socket component's events wired to the session, as the main window wires them.
struct Conversation {
  explicit Conversation() {
    socket.OnDataAvailable = [this](pelorin::TSockets* sender, int) {
      char buffer[4097] = {};
      const int size = 4096;
      sender->SReceive(sender->SocketHandle(), buffer, size);
      pelorin::SmtpHandleReply(*sender, buffer);
    };
    socket.OnErrorOccurred = [this](pelorin::TSockets* sender, int, int, const std::string& msg) {
      errors.push_back(msg);
      pelorin::SmtpError(*sender, msg);
    };
    socket.OnSessionClosed = [this](pelorin::TSockets*, int) { closed = true; };
  }
  pelorin::TSockets socket;
  std::vector<std::string> errors;
  bool closed = false;
};

TEST(TransportEndToEndTest, QueuedMessagesArriveWholeThroughOneConversation) {
  const TestMailServer server = TheTestMailServer();
  os::BoxRecorder boxes;
  const std::string marker = UniqueMarker();
  const std::vector<std::string> messages = {
      ComposedMessage("first " + marker, "1." + marker,
                      {"Hello,", ".", "..two dots", ".x", "x.y", "", "end"}),
      ComposedMessage("second " + marker, "2." + marker, {"A second message.", "."}),
      // The 7-bit form of a message beyond ASCII, as it goes to a server without 8BITMIME.
      pelorin::TransferForm(ComposedMessage("third " + marker, "3." + marker,
                                            {"Gr\xC3\xBC\xC3\x9F"
                                             "e aus K\xC3\xB6ln",
                                             "."},
                                            "8bit"),
                            false),
  };
  ASSERT_NE(messages[2].find("quoted-printable"), std::string::npos) << messages[2];
  pelorin::SenderAddress = "me@example.com";
  pelorin::OutboxBodies = messages;
  pelorin::OutboxRecipients = {"ann@example.org", "bob@example.org", "carol@example.org"};

  Conversation conversation;
  pelorin::SmtpStartSession(conversation.socket, "127.0.0.1", server.port);
  ASSERT_TRUE(RunEventsUntil([&] { return conversation.closed; }, 20000))
      << "the server did not close the connection after QUIT";

  EXPECT_TRUE(boxes.Boxes().empty()) << boxes.Texts()[0];
  EXPECT_TRUE(conversation.errors.empty());
  EXPECT_TRUE(pelorin::OutboxBodies.empty());
  EXPECT_TRUE(pelorin::OutboxRecipients.empty());
  EXPECT_EQ(pelorin::SmtpState, 0);

  const std::vector<std::string> delivered =
      DeliveredMessages(server.maildir, marker, 3, std::chrono::seconds(20));
  ASSERT_EQ(delivered.size(), 3u);
  for (const std::string& message : messages) {
    const std::string subjectLine = message.substr(0, message.find("\r\n"));
    bool found = false;
    for (const std::string& text : delivered) {
      if (text.find(subjectLine) == std::string::npos) continue;
      found = true;
      // The end-of-data mark follows one empty line, which the server keeps.
      EXPECT_EQ(WithoutServerHeaders(text), WithLfLineEnds(message) + "\n");
    }
    EXPECT_TRUE(found) << subjectLine;
  }
}

}  // namespace
