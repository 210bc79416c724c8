// Sends queued messages through the socket component and the SMTP session to a real
// OpenSMTPD on 127.0.0.1 and compares what it delivered with what was queued.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "e2e/maildir.h"
#include "support/event_loop.h"
#include "transport/mime_transfer.h"
#include "transport/outbox.h"
#include "transport/shared_data.h"
#include "transport/smtp_session.h"
#include "transport/sockets.h"

namespace {

using namespace testing_support;

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

// The socket component's events wired to the session, as the send workflow wires them: every
// received byte handed on, socket errors handed on from the event loop rather than from inside
// the socket call that raised them, and GoOn after whatever the session halts for (recorded
// here instead of shown). Errors that GoOn's own QUIT and close raise on a connection already
// lost are the trouble just shown, so they are not handed on.
class Conversation {
 public:
  Conversation() {
    socket.OnDataAvailable = [this](pelorin::TSockets* sender, int) {
      char buffer[4096];
      const int received = sender->SReceive(sender->SocketHandle(), buffer, sizeof buffer);
      if (received > 0) Take(session.SmtpHandleReply(*sender, std::string_view(buffer, received)));
    };
    socket.OnErrorOccurred = [this](pelorin::TSockets*, int, int, const std::string& msg) {
      errors.push_back(msg);
      if (goingOn_) return;
      QMetaObject::invokeMethod(
          &socket, [this, msg] { Take(session.SmtpError(socket, msg)); }, Qt::QueuedConnection);
    };
    socket.OnSessionClosed = [this](pelorin::TSockets*, int) {
      Take(session.ConnectionClosed(socket));
    };
  }

  // Starts the conversation and runs events until it is over.
  bool Run(const std::string& port) {
    over = false;
    session.SmtpStartSession(socket, "127.0.0.1", port);
    return RunEventsUntil([&] { return over; }, 20000);
  }

  void Take(const pelorin::SmtpTurn& turn) {
    switch (turn.kind) {
      case pelorin::SmtpTurn::Kind::Going:
        return;
      case pelorin::SmtpTurn::Kind::Halted: {
        shown.push_back(turn.halt.shown);
        goingOn_ = true;
        const pelorin::SmtpTurn next = session.GoOn(socket);
        goingOn_ = false;
        return Take(next);
      }
      case pelorin::SmtpTurn::Kind::Notice:
        notices.push_back(turn.halt.shown);
        return;
      case pelorin::SmtpTurn::Kind::Over:
        over = true;
        return;
    }
  }

  pelorin::Outbox outbox;
  pelorin::SmtpSession session{outbox};
  pelorin::TSockets socket;
  std::vector<std::string> errors;   // every error event, handed on or not
  std::vector<std::string> shown;    // what each halt showed
  std::vector<std::string> notices;  // errors that came with no conversation
  bool over = false;

 private:
  bool goingOn_ = false;
};

// A port on 127.0.0.1 that refuses connections for as long as the object lives: bound, never
// listening.
class RefusingPort {
 public:
  RefusingPort() {
    socket_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(socket_, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
        ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port_ = std::to_string(ntohs(address.sin_port));
    }
  }
  ~RefusingPort() { ::close(socket_); }
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  const std::string& Port() const { return port_; }

 private:
  int socket_ = -1;
  std::string port_;
};

TEST(TransportEndToEndTest, QueuedMessagesArriveWholeThroughOneConversation) {
  const TestMailServer server = TheTestMailServer();
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
  Conversation conversation;
  std::uint64_t first = 0, second = 0, third = 0;
  ASSERT_EQ(conversation.outbox.Append("ann@example.org", messages[0], {}, &first), "");
  ASSERT_EQ(conversation.outbox.Append("bob@example.org", messages[1], {}, &second), "");
  ASSERT_EQ(conversation.outbox.Append("carol@example.org", messages[2], {}, &third), "");

  ASSERT_TRUE(conversation.Run(server.port))
      << "the conversation did not end; the session is at step "
      << pelorin::SmtpStepName(conversation.session.State());

  EXPECT_EQ(conversation.shown, std::vector<std::string>{});
  EXPECT_EQ(conversation.notices, std::vector<std::string>{});
  EXPECT_EQ(conversation.errors, std::vector<std::string>{});
  EXPECT_TRUE(conversation.outbox.Empty());
  EXPECT_EQ(conversation.session.Outcome().accepted,
            (std::vector<std::uint64_t>{first, second, third}));
  EXPECT_FALSE(conversation.session.Outcome().failed) << conversation.session.Outcome().failure;
  EXPECT_EQ(conversation.session.State(), pelorin::SmtpState::Idle);
  EXPECT_EQ(conversation.socket.SocketHandle(), -1) << "this side closes after the 221";

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

TEST(TransportEndToEndTest, ARefusedRecipientIsDroppedAndTheNextSendDeliversTheRest) {
  const TestMailServer server = TheTestMailServer();
  const std::string marker = UniqueMarker();
  pelorin::SenderAddress = "me@example.com";
  Conversation conversation;
  std::uint64_t ids[3] = {};
  const char* const recipients[] = {"ann@example.org", "refused@example.org", "bob@example.org"};
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(
        conversation.outbox.Append(recipients[i],
                                   ComposedMessage(std::to_string(i) + " " + marker,
                                                   std::to_string(i) + "." + marker, {"text"}),
                                   {}, &ids[i]),
        "");
  }

  ASSERT_TRUE(conversation.Run(server.port)) << "the refusal's QUIT was not answered";
  ASSERT_EQ(conversation.shown.size(), 1u);
  EXPECT_EQ(conversation.shown[0].substr(0, 4), "550 ") << conversation.shown[0];
  EXPECT_EQ(conversation.session.Outcome().accepted, std::vector<std::uint64_t>{ids[0]});
  ASSERT_EQ(conversation.session.Outcome().dropped.size(), 1u);
  EXPECT_EQ(conversation.session.Outcome().dropped[0].id, ids[1]);
  EXPECT_EQ(conversation.session.Outcome().failure, "the server refused it");
  ASSERT_EQ(conversation.outbox.Size(), 1u);
  EXPECT_EQ(conversation.outbox.Head().id, ids[2]);

  ASSERT_TRUE(conversation.Run(server.port));
  EXPECT_EQ(conversation.shown.size(), 1u);
  EXPECT_EQ(conversation.session.Outcome().accepted, std::vector<std::uint64_t>{ids[2]});
  EXPECT_FALSE(conversation.session.Outcome().failed);
  EXPECT_TRUE(conversation.outbox.Empty());
  EXPECT_EQ(conversation.notices, std::vector<std::string>{});

  const std::vector<std::string> delivered =
      DeliveredMessages(server.maildir, marker, 2, std::chrono::seconds(20));
  EXPECT_EQ(delivered.size(), 2u);
  for (const std::string& text : delivered) {
    EXPECT_EQ(text.find("Subject: 1 " + marker), std::string::npos) << "the refused one arrived";
  }
}

TEST(TransportEndToEndTest, ARefusedConnectionIsShownOnceAndKeepsTheMessage) {
  const RefusingPort refusing;
  ASSERT_FALSE(refusing.Port().empty()) << "no port to refuse on";
  pelorin::SenderAddress = "me@example.com";
  Conversation conversation;
  ASSERT_EQ(conversation.outbox.Append("ann@example.org",
                                       ComposedMessage("x", "x." + UniqueMarker(), {"x"}), {}),
            "");

  ASSERT_TRUE(conversation.Run(refusing.Port()));
  QCoreApplication::sendPostedEvents();  // whatever the end itself raised and handed on

  EXPECT_EQ(conversation.shown, std::vector<std::string>{"500 Connection refused\r\n"});
  EXPECT_EQ(conversation.notices, std::vector<std::string>{});
  EXPECT_EQ(conversation.session.Outcome().failure, "Connection refused");
  EXPECT_EQ(conversation.outbox.Size(), 1u);
  EXPECT_EQ(conversation.session.State(), pelorin::SmtpState::Idle);
}

}  // namespace
