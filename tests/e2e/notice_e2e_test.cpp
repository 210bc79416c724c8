// A send's outcome as a desktop notice, with the built program on a real desktop (Xvfb with
// trayer): the user writes a mail, presses Send and closes the window with "&Close" while the
// server (a scripted one of the test's own on 127.0.0.1, which greets only once the window is
// hidden) still has it. With Debian's notification server dunst on a private session bus the
// outcome arrives there, read back with dunstctl; without a session bus it comes up as a balloon
// over the tray icon.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "e2e/desktop_input.h"
#include "e2e/desktop_session.h"
#include "e2e/desktop_windows.h"
#include "e2e/program_copy.h"
#include "e2e/program_test.h"
#include "support/event_loop.h"

namespace {

using e2e::kCloseButton;
using e2e::kEmailField;
using e2e::kSendButton;
using e2e::kSubjectField;
using e2e::WindowId;
using testing_support::RunEventsUntil;

constexpr int kWaitMs = 20000;

// No service directories: only the notification server that the test starts may answer.
constexpr char kBusConfiguration[] =
    "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
    " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
    "<busconfig>\n"
    "  <type>session</type>\n"
    "  <listen>unix:tmpdir=/tmp</listen>\n"
    "  <auth>EXTERNAL</auth>\n"
    "  <policy context=\"default\">\n"
    "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
    "    <allow eavesdrop=\"true\"/>\n"
    "    <allow own=\"*\"/>\n"
    "  </policy>\n"
    "</busconfig>\n";

// An SMTP server that accepts every message, but greets only once it is let go.
class HeldSmtpServer {
 public:
  HeldSmtpServer() {
    server_.listen(QHostAddress::LocalHost);
    QObject::connect(&server_, &QTcpServer::newConnection, [this] {
      while (QTcpSocket* peer = server_.nextPendingConnection()) {
        peers_.push_back(peer);
        QObject::connect(peer, &QTcpSocket::readyRead, [this, peer] { Answer(peer); });
        if (greeting_) Greet(peer);
      }
    });
  }

  quint16 Port() const { return server_.serverPort(); }
  bool Connected() const { return !peers_.empty(); }
  int MessagesAccepted() const { return accepted_; }
  bool ConversationEnded() const { return ended_; }

  void LetGo() {
    greeting_ = true;
    for (QTcpSocket* peer : peers_) Greet(peer);
  }

 private:
  static void Greet(QTcpSocket* peer) { peer->write("220 held.example ESMTP\r\n"); }

  void Answer(QTcpSocket* peer) {
    buffer_ += peer->readAll();
    while (true) {
      if (inData_) {
        const qsizetype end = buffer_.indexOf("\r\n.\r\n");
        if (end < 0) return;
        buffer_.remove(0, end + 5);
        inData_ = false;
        ++accepted_;
        peer->write("250 queued\r\n");
        continue;
      }
      const qsizetype end = buffer_.indexOf("\r\n");
      if (end < 0) return;
      const QByteArray command = buffer_.left(end).toUpper();
      buffer_.remove(0, end + 2);
      if (command.startsWith("DATA")) {
        inData_ = true;
        buffer_.prepend("\r\n");  // the end mark may follow at once
        peer->write("354 go on\r\n");
      } else if (command.startsWith("QUIT")) {
        peer->write("221 bye\r\n");
        peer->disconnectFromHost();
        ended_ = true;
        return;
      } else {
        peer->write("250 ok\r\n");
      }
    }
  }

  QTcpServer server_;
  std::vector<QTcpSocket*> peers_;
  QByteArray buffer_;
  bool greeting_ = false;
  bool inData_ = false;
  int accepted_ = 0;
  bool ended_ = false;
};

// A session bus of the test's own with dunst serving notifications on the test's desktop.
class NotificationDesktop {
 public:
  NotificationDesktop() {
    for (const char* tool : {"dbus-daemon", "dunst", "dunstctl"}) {
      if (e2e::FindExecutable(tool).empty()) {
        error_ = e2e::MissingToolMessage(tool);
        return;
      }
    }
    if (!directory_.isValid()) {
      error_ = "no temporary directory";
      return;
    }
    if (!StartBus()) return;
    e2e::ChildOptions options;
    options.logFile = directory_.filePath("dunst.log").toStdString();
    // Its own home: no configuration of the user's.
    options.environment = e2e::TheDesktop()->ProgramEnvironment();
    options.environment.Merge(Bus())
        .Set("HOME", directory_.path().toStdString())
        .Unset("XDG_CONFIG_HOME");
    dunst_ = std::make_unique<e2e::ChildProcess>(e2e::FindExecutable("dunst"),
                                                 std::vector<std::string>{}, options);
    const bool up = RunEventsUntil([this] { return Dunstctl({"count"}).Ok(); }, kWaitMs);
    if (!up) error_ = "dunst did not come up on the private session bus: " + Log("dunst.log");
  }

  const std::string& Error() const { return error_; }

  // What a program needs to reach this bus.
  e2e::Environment Bus() const {
    e2e::Environment environment;
    environment.Set("DBUS_SESSION_BUS_ADDRESS", address_);
    return environment;
  }

  e2e::ToolResult Dunstctl(const std::vector<std::string>& arguments) const {
    std::vector<std::string> command = {"dunstctl"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return e2e::RunTool(command, e2e::kToolTimeoutMs, Bus());
  }

  // The notifications dunst has received and shown: closed, they go into its history.
  std::optional<QJsonArray> Received() const {
    if (!Dunstctl({"close-all"}).Ok()) return std::nullopt;
    const e2e::ToolResult history = Dunstctl({"history"});
    if (!history.Ok()) return std::nullopt;
    const QJsonArray data = QJsonDocument::fromJson(QByteArray::fromStdString(history.output))
                                .object()["data"]
                                .toArray();
    return data.isEmpty() ? QJsonArray() : data.first().toArray();
  }

  std::string Log(const char* file) const {
    QFile log(directory_.filePath(QString::fromLatin1(file)));
    return log.open(QIODevice::ReadOnly) ? log.readAll().toStdString() : std::string();
  }

 private:
  bool StartBus() {
    const QString config = directory_.filePath("bus.conf");
    QFile configFile(config);
    if (!configFile.open(QIODevice::WriteOnly) || configFile.write(kBusConfiguration) < 0) {
      error_ = "cannot write " + config.toStdString();
      return false;
    }
    configFile.close();
    address_ = "unix:path=" + directory_.filePath("bus").toStdString();
    e2e::ChildOptions options;
    options.logFile = directory_.filePath("dbus-daemon.log").toStdString();
    bus_ = std::make_unique<e2e::ChildProcess>(
        e2e::FindExecutable("dbus-daemon"),
        std::vector<std::string>{"--config-file=" + config.toStdString(), "--nofork",
                                 "--address=" + address_},
        options);
    if (!bus_->Started()) {
      error_ = "dbus-daemon did not start: " + bus_->Error();
      return false;
    }
    return true;
  }

  QTemporaryDir directory_;
  std::string address_;
  std::unique_ptr<e2e::ChildProcess> bus_;
  std::unique_ptr<e2e::ChildProcess> dunst_;
  std::string error_;
};

class NoticeTest : public e2e::ProgramTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(ProgramTest::SetUp());
    ASSERT_NO_FATAL_FAILURE(Configure(std::to_string(smtp_.Port()), "me@example.org"));
  }

  // Writes a mail, presses Send and closes the window before the server has answered; then
  // lets the server go on.
  void SendAndCloseTheWindow(WindowId icon) {
    const std::optional<e2e::WindowGeometry> place = e2e::GeometryOf(icon);
    ASSERT_TRUE(place.has_value());
    ASSERT_TRUE(e2e::ClickAt(place->CenterX(), place->CenterY()));
    const std::optional<WindowId> window =
        e2e::WaitForWindow(ProgramWindows().Named(e2e::kMainWindowTitle));
    ASSERT_TRUE(window.has_value()) << "the window did not come up";
    ASSERT_TRUE(e2e::Click(*window, kEmailField.x, kEmailField.y));
    ASSERT_TRUE(e2e::TypeText("anna@example.org"));
    ASSERT_TRUE(e2e::Click(*window, kSubjectField.x, kSubjectField.y));
    ASSERT_TRUE(e2e::TypeText("Sent while hidden"));
    ASSERT_TRUE(e2e::Click(*window, kSendButton.x, kSendButton.y));
    ASSERT_TRUE(RunEventsUntil([this] { return smtp_.Connected(); }, kWaitMs))
        << "the program did not connect to the server";
    ASSERT_TRUE(e2e::Click(*window, kCloseButton.x, kCloseButton.y));
    ASSERT_TRUE(e2e::WaitUntilHidden(*window)) << "\"&Close\" did not hide the window";
    smtp_.LetGo();
    // This process's events carry the conversation: they run until it is over.
    ASSERT_TRUE(RunEventsUntil([this] { return smtp_.ConversationEnded(); }, kWaitMs))
        << "the conversation did not end";
    EXPECT_EQ(smtp_.MessagesAccepted(), 1);
  }

  HeldSmtpServer smtp_;
};

TEST_F(NoticeTest, OutcomeOfASendEndedWhileHiddenReachesTheNotificationServer) {
  const NotificationDesktop desktop;
  ASSERT_TRUE(desktop.Error().empty()) << desktop.Error();
  ASSERT_TRUE(program_->Start({}, desktop.Bus()));
  const std::optional<WindowId> icon = TrayIcon();
  ASSERT_TRUE(icon.has_value()) << "no icon in the notification area";
  SendAndCloseTheWindow(*icon);

  std::optional<QJsonArray> received;
  ASSERT_TRUE(RunEventsUntil(
      [&] {
        const e2e::ToolResult count = desktop.Dunstctl({"count", "displayed"});
        return count.Ok() && count.output.find('1') != std::string::npos;
      },
      kWaitMs))
      << "dunst shows no notification: " << desktop.Log("dunst.log");
  received = desktop.Received();
  ASSERT_TRUE(received.has_value()) << "dunstctl could not read dunst's history";
  ASSERT_EQ(received->size(), 1) << QJsonDocument(*received).toJson().toStdString();
  const QJsonObject notice = received->first().toObject();
  const auto field = [&](const char* name) {
    return notice[QLatin1String(name)].toObject()["data"].toString().toStdString();
  };
  EXPECT_EQ(field("appname"), "Pelorin 32");
  EXPECT_EQ(field("summary"), "Pelorin 32");
  EXPECT_EQ(field("body"), "Mail has been sent!");
  EXPECT_TRUE(program_->Running());
  EXPECT_TRUE(e2e::FindWindows(ProgramWindows().Named(e2e::kMainWindowTitle)).empty())
      << "the window came back for the outcome";
}

// Without a session bus (the desktop session's default here) there is no notification server.
TEST_F(NoticeTest, WithoutANotificationServerTheOutcomeIsABalloonOverTheIcon) {
  ASSERT_TRUE(program_->Start({}));
  const std::optional<WindowId> icon = TrayIcon();
  ASSERT_TRUE(icon.has_value()) << "no icon in the notification area";
  SendAndCloseTheWindow(*icon);
  // Qt draws the balloon itself, as a window of the program's that is neither the icon nor the
  // main window, near the icon.
  const std::optional<WindowId> balloon =
      e2e::WaitForWindow(ProgramWindows(), kWaitMs, [&](WindowId window) {
        return window != *icon && !e2e::IsWithin(window, *icon) &&
               e2e::PropertyOf(window, "WM_NAME").find("Pelorin 32") == std::string::npos;
      });
  ASSERT_TRUE(balloon.has_value()) << "no balloon came up";
  e2e::Screenshot("notice-balloon.png");
  EXPECT_TRUE(program_->Running());
}

}  // namespace
