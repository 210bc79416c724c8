// The outbox on disk with the built program on a real desktop (Xvfb with trayer): a message
// sent while the mail server is down stays queued in a file, survives the program's SIGKILL,
// and the next start's Send delivers it to a real OpenSMTPD on 127.0.0.1, once. With queued
// mail tried again by itself, the tray copy delivers it once the server is up, without a key
// press, and takes over what a link-mode copy left queued as that copy ends. The test starts
// and stops that server itself, on a port of its own, so that it can be down first.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "e2e/child_process.h"
#include "e2e/desktop_input.h"
#include "e2e/desktop_session.h"
#include "e2e/desktop_windows.h"
#include "e2e/maildir.h"
#include "e2e/program_copy.h"
#include "e2e/program_test.h"
#include "e2e/status_line.h"
#include "support/event_loop.h"
#include "support/stamp_placeholders.h"

namespace {

using e2e::kEmailField;
using e2e::kMemo;
using e2e::kSendButton;
using e2e::kSubjectField;
using e2e::WindowId;
using testing_support::UniqueMarker;

constexpr const char* kBoxTitle = "^Pelorin32$";
constexpr const char* kSender = "me@example.com";
constexpr const char* kRecipient = "ann@example.org";
// The back-off's minute for the test's tray copies (PELORIN_RETRY_MINUTE_MS): a second, so that
// the steps after the server comes up take seconds; well within this.
constexpr const char* kRetryMinuteMs = "1000";
constexpr std::chrono::seconds kDeliveryTimeout(90);

// The message as the program composes it, with the line ends a maildir keeps, and the empty
// line that the end-of-data mark leaves at its end.
std::string Composed(const std::string& subject, const std::vector<std::string>& body) {
  std::string text = "Subject: " + subject + "\nTo:  <" + kRecipient + ">\nFrom: " + kSender +
                     "\nX-Mailer: Pelorin 1.06\n"
                     "X-Advertisment: Check out Vantrel at https://pelorin32.example.org/\n"
                     "Date: <date>\nMessage-ID: <id>\nMIME-Version: 1.0\n"
                     "Content-Type: text/plain; charset=UTF-8\n"
                     "Content-Transfer-Encoding: 7bit\n\n\n";
  for (const std::string& line : body) text += line + "\n";
  return text + "\n";
}

// A mail server of the test's own that is down until Start.
class OwnMailServer {
 public:
  OwnMailServer() { Stop(); }  // a server left over from an interrupted run would be up
  ~OwnMailServer() { Stop(); }
  OwnMailServer(const OwnMailServer&) = delete;
  OwnMailServer& operator=(const OwnMailServer&) = delete;

  const std::string port = PELORIN_OUTBOX_SMTPD_PORT;
  const std::string maildir = std::string(PELORIN_OUTBOX_SMTPD_DIR) + "/maildir";

  bool Listening() const {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(std::stoi(port)));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
  }

  e2e::ToolResult Start() const {
    return e2e::RunTool({PELORIN_SMTPD_SCRIPT, "start", PELORIN_OUTBOX_SMTPD_DIR, port}, 30000);
  }

 private:
  void Stop() const { e2e::RunTool({PELORIN_SMTPD_SCRIPT, "stop", PELORIN_OUTBOX_SMTPD_DIR}); }
};

class OutboxEndToEndTest : public e2e::ProgramTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(ProgramTest::SetUp());
    ASSERT_NO_FATAL_FAILURE(Configure(server_.port, kSender));
  }

  std::string OutboxDirectory() const {
    return program_->HomeDirectory() + "/.local/state/pelorin32/outbox";
  }

  std::vector<std::string> QueuedFiles() const {
    std::vector<std::string> names;
    std::error_code failed;
    for (const auto& entry : std::filesystem::directory_iterator(OutboxDirectory(), failed)) {
      const std::string name = entry.path().filename().string();
      if (name != ".lock") names.push_back(name);  // the folder's lock file is no message
    }
    return names;
  }

  static bool TypeBody(WindowId window, const std::vector<std::string>& lines) {
    if (!e2e::Click(window, kMemo.x, kMemo.y)) return false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (i > 0 && !e2e::PressKeys({"Return"})) return false;
      if (!e2e::TypeText(lines[i])) return false;
    }
    return true;
  }

  // The box that the failed connection brings up, closed with its button.
  bool CloseTheBox() {
    const std::optional<WindowId> box =
        e2e::WaitForWindow(e2e::WindowQuery::OfProgram(program_->Pid()).Named(kBoxTitle));
    if (!box) {
      ADD_FAILURE() << "no message box came up for the refused connection";
      return false;
    }
    return e2e::Click(*box, 5, 5) && e2e::PressKeys({"Return"}) && e2e::WaitUntilHidden(*box);
  }

  // The advanced setting "Try queued mail again by itself" turned off, in a registry file of
  // the test's own that the program is started with.
  e2e::Environment WithoutRetries() {
    const std::string hive = program_->PathOf("hkcu.reg");
    EXPECT_TRUE(program_->WriteFile("hkcu.reg",
                                    "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Pelorin 32]\r\n"
                                    "\"Retry Queued Mail\"=\"0\"\r\n\r\n"));
    return e2e::Environment().Set("PELORIN_HKCU", hive);
  }

  // Another copy of the program (`copy`), as the same user with the same outbox.
  void MakeOtherCopy(std::optional<e2e::ProgramCopy>& copy) {
    copy.emplace(*e2e::TheDesktop());
    ASSERT_TRUE(copy->Error().empty()) << copy->Error();
    ASSERT_TRUE(copy->WriteFile(e2e::kConfigurationFileName, "127.0.0.1:" + server_.port + "\r\n" +
                                                                 kSender + "\r\n\r\nFALSE\r\n"));
  }
  e2e::Environment SameHome() const {
    return e2e::Environment().Set("HOME", program_->HomeDirectory());
  }

  bool NoBoxOpen() const {
    return e2e::FindWindows(e2e::WindowQuery::OfProgram(program_->Pid()).Named(kBoxTitle)).empty();
  }

  // Sends a message from the window shown now; the refused connection's box is closed.
  bool SendWhileTheServerIsDown(WindowId window, const std::string& subject) {
    return Fill(window, kEmailField, kRecipient) && Fill(window, kSubjectField, subject) &&
           TypeBody(window, {"Sent by itself"}) &&
           e2e::Click(window, kSendButton.x, kSendButton.y) && CloseTheBox() &&
           testing_support::RunEventsUntil([&] { return QueuedFiles().size() == 1; },
                                           e2e::kStatusTimeoutMs);
  }

  // Delivered once: a second copy does not follow it into the maildir.
  void ExpectDeliveredOnce(const std::string& marker) {
    const std::vector<std::string> delivered =
        testing_support::DeliveredMessages(server_.maildir, marker, 1, kDeliveryTimeout);
    ASSERT_EQ(delivered.size(), 1u) << "nothing was delivered";
    EXPECT_TRUE(testing_support::RunEventsUntil([&] { return QueuedFiles().empty(); },
                                                e2e::kStatusTimeoutMs))
        << "in " << OutboxDirectory();
    EXPECT_EQ(
        testing_support::DeliveredMessages(server_.maildir, marker, 2, std::chrono::seconds(2))
            .size(),
        1u);
  }

  OwnMailServer server_;
};

TEST_F(OutboxEndToEndTest, AMessageQueuedWhileTheServerIsDownSurvivesAKillAndGoesOutOnce) {
  ASSERT_FALSE(server_.Listening()) << "something listens on port " << server_.port;
  const std::string marker = UniqueMarker();
  const std::vector<std::string> body = {"Queued while the server was down,", "sent after a kill"};
  ASSERT_TRUE(program_->Start({}, WithoutRetries()));
  std::optional<WindowId> window = ShowFromTray();
  ASSERT_TRUE(window.has_value()) << "the window did not come up from the tray";
  ASSERT_TRUE(Fill(*window, kEmailField, kRecipient));
  ASSERT_TRUE(Fill(*window, kSubjectField, "Queued " + marker));
  ASSERT_TRUE(TypeBody(*window, body));
  ASSERT_TRUE(e2e::Click(*window, kSendButton.x, kSendButton.y));
  ASSERT_TRUE(CloseTheBox());
  ASSERT_TRUE(e2e::WaitForStatus(
      *window, "Mail not sent (Connection refused); it stays queued for the next send.",
      "outbox-queued-status.png"));
  EXPECT_EQ(QueuedFiles().size(), 1u) << "in " << OutboxDirectory();

  ASSERT_TRUE(Kill()) << "the program did not end with SIGKILL";
  const e2e::ToolResult started = server_.Start();
  ASSERT_TRUE(started.Ok()) << started.Describe();
  ASSERT_TRUE(program_->Start({}, WithoutRetries()));
  window = ShowFromTray();
  ASSERT_TRUE(window.has_value()) << "the window did not come up from the tray after the kill";
  ASSERT_TRUE(e2e::WaitForStatus(*window, "1 message waits; it goes out with the next send.",
                                 "outbox-waiting-status.png"));
  ASSERT_TRUE(e2e::Click(*window, kSendButton.x, kSendButton.y));
  ASSERT_TRUE(e2e::WaitForStatus(*window, "Mail has been sent!", "outbox-sent-status.png"));

  const std::vector<std::string> delivered =
      testing_support::DeliveredMessages(server_.maildir, marker, 1, std::chrono::seconds(20));
  ASSERT_EQ(delivered.size(), 1u) << "nothing was delivered";
  EXPECT_EQ(testing_support::WithStampReplaced(testing_support::WithoutServerHeaders(delivered[0]),
                                               "example.com", "\n"),
            Composed("Queued " + marker, body));
  // Once: the server took the one conversation in; no second copy follows it into the maildir.
  EXPECT_EQ(testing_support::DeliveredMessages(server_.maildir, marker, 2, std::chrono::seconds(2))
                .size(),
            1u);
  EXPECT_TRUE(QueuedFiles().empty()) << "in " << OutboxDirectory();
  EXPECT_TRUE(program_->Running());
}

TEST_F(OutboxEndToEndTest, TheTrayCopyDeliversQueuedMailByItselfOnceTheServerIsUp) {
  ASSERT_FALSE(server_.Listening()) << "something listens on port " << server_.port;
  const std::string marker = UniqueMarker();
  ASSERT_TRUE(
      program_->Start({}, e2e::Environment().Set("PELORIN_RETRY_MINUTE_MS", kRetryMinuteMs)));
  const std::optional<WindowId> window = ShowFromTray();
  ASSERT_TRUE(window.has_value()) << "the window did not come up from the tray";
  ASSERT_TRUE(SendWhileTheServerIsDown(*window, "By itself " + marker));
  ASSERT_TRUE(e2e::Click(*window, e2e::kCloseButton.x, e2e::kCloseButton.y));

  const e2e::ToolResult started = server_.Start();
  ASSERT_TRUE(started.Ok()) << started.Describe();
  // A second tray start meanwhile only shows the running copy's window.
  std::optional<e2e::ProgramCopy> second;
  ASSERT_NO_FATAL_FAILURE(MakeOtherCopy(second));
  ASSERT_TRUE(second->Start({}, SameHome()));
  const std::optional<e2e::ExitStatus> status = second->WaitForExit();
  ASSERT_TRUE(status.has_value()) << "the second tray start still runs";
  EXPECT_EQ(status->code, 0) << status->Describe();

  ASSERT_NO_FATAL_FAILURE(ExpectDeliveredOnce(marker));
  EXPECT_TRUE(NoBoxOpen()) << "a try nobody started opened a box";
  EXPECT_TRUE(program_->Running());
}

TEST_F(OutboxEndToEndTest, TheTrayCopyTakesOverWhatALinkModeCopyLeftQueued) {
  ASSERT_FALSE(server_.Listening()) << "something listens on port " << server_.port;
  const std::string marker = UniqueMarker();
  ASSERT_TRUE(program_->Start({}));  // the tray copy, with the back-off's real minutes
  ASSERT_TRUE(TrayIcon().has_value()) << "the tray copy has no icon";

  std::optional<e2e::ProgramCopy> link;
  ASSERT_NO_FATAL_FAILURE(MakeOtherCopy(link));
  ASSERT_TRUE(link->Start({"/u", std::string("mailto:") + kRecipient + "?subject=Left%20" + marker},
                          SameHome()));
  const std::optional<WindowId> window =
      e2e::WaitForWindow(e2e::WindowQuery::OfProgram(link->Pid()).Named(e2e::kMainWindowTitle));
  ASSERT_TRUE(window.has_value()) << "the link-mode window did not come up";
  ASSERT_TRUE(e2e::Click(*window, kSendButton.x, kSendButton.y));
  const std::optional<WindowId> box =
      e2e::WaitForWindow(e2e::WindowQuery::OfProgram(link->Pid()).Named(kBoxTitle));
  ASSERT_TRUE(box.has_value()) << "no box came up for the refused connection";
  ASSERT_TRUE(e2e::Click(*box, 5, 5) && e2e::PressKeys({"Return"}) && e2e::WaitUntilHidden(*box));
  ASSERT_TRUE(testing_support::RunEventsUntil([&] { return QueuedFiles().size() == 1; },
                                              e2e::kStatusTimeoutMs));

  const e2e::ToolResult started = server_.Start();
  ASSERT_TRUE(started.Ok()) << started.Describe();
  // The link-mode copy does not stay to try again: its end hands the message over.
  ASSERT_TRUE(e2e::Click(*window, e2e::kCloseButton.x, e2e::kCloseButton.y));
  ASSERT_TRUE(link->WaitForExit().has_value()) << "the link-mode copy did not end";
  ASSERT_NO_FATAL_FAILURE(ExpectDeliveredOnce(marker));
  EXPECT_TRUE(NoBoxOpen()) << "a try nobody started opened a box";
}

}  // namespace
