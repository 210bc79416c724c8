// The built program sending to a real OpenSMTPD on 127.0.0.1, driven on a real desktop (Xvfb
// with trayer) as a user would drive it: in link mode a body typed and Send pressed ends the
// program with exactly the composed message delivered; in tray mode two sends, the second
// pressed while the first is under way (dialling a fake pppd link through the shipped dial-up
// provider), both arrive; a recipient the server refuses brings its reply up in a message box,
// and the program goes on sending.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QJsonArray>
#include <QMessageBox>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "desktop/mailto_association.h"
#include "e2e/desktop_input.h"
#include "e2e/desktop_session.h"
#include "e2e/desktop_windows.h"
#include "e2e/maildir.h"
#include "e2e/program_copy.h"
#include "e2e/program_test.h"
#include "mail/mail_reader.h"
#include "mail/mime_header.h"
#include "os/box_presenter_widgets.h"
#include "providers/fake_ppp.h"
#include "support/event_loop.h"
#include "support/stamp_placeholders.h"

namespace {

using e2e::kEmailField;
using e2e::kMemo;
using e2e::kSendButton;
using e2e::kSubjectField;
using e2e::PictureOnceItShows;
using e2e::Point;
using e2e::SettledPicture;
using e2e::WindowId;
using testing_support::RunEventsFor;
using testing_support::RunEventsUntil;
using testing_support::UniqueMarker;

constexpr const char* kBoxTitle = "^Pelorin32$";
constexpr const char* kSender = "me@example.com";
// OpenSMTPD's answer to a recipient that its rules reject, as the box shows it.
constexpr const char* kRefusalReply = "550 Invalid recipient: <refused@example.org>\r\n";

const std::string kGreeting =
    "Gr\xC3\xBC\xC3\x9F"
    "e aus K\xC3\xB6ln \xE2\x80\x93 \xE6\x9D\xB1\xE4\xBA\xAC";

// The message as the program composes it, with the line ends a maildir keeps, and the empty
// line that the end-of-data mark leaves at its end. Its Date and Message-ID stand as
// placeholders (support/stamp_placeholders.h).
std::string Composed(const std::string& subject, const std::string& to,
                     const std::vector<std::string>& body) {
  std::string text =
      testing_support::WithLfLineEnds(pelorin::UnstructuredField("Subject", subject)) + "To:  <" +
      to + ">\nFrom: " + kSender +
      "\nX-Mailer: Pelorin 1.06\n"
      "X-Advertisment: Check out Vantrel at https://pelorin32.example.org/\n"
      "Date: <date>\n"
      "Message-ID: <id>\n"
      "MIME-Version: 1.0\n"
      "Content-Type: text/plain; charset=UTF-8\n"
      "Content-Transfer-Encoding: 7bit\n\n\n";
  for (const std::string& line : body) text += line + "\n";
  return text + "\n";
}

// The program's plain message box with this text, drawn here on the same desktop.
std::optional<QImage> MessageBoxPicture(const std::string& text, const std::string& fileName) {
  const std::unique_ptr<QMessageBox> box = os::CreateMessageBox({text, "Pelorin32"});
  box->show();
  if (!RunEventsUntil([&] { return box->isVisible(); })) return std::nullopt;
  return SettledPicture(box->winId(), fileName);
}

class SendEndToEndTest : public e2e::ProgramTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(ProgramTest::SetUp());
    ASSERT_NO_FATAL_FAILURE(Configure(server_.port, kSender));
  }

  static bool TypeBody(WindowId window, const std::vector<std::string>& lines) {
    if (!e2e::Click(window, kMemo.x, kMemo.y) || !e2e::PressKeys({"ctrl+a", "BackSpace"})) {
      return false;
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (i > 0 && !e2e::PressKeys({"Return"})) return false;
      if (!e2e::TypeText(lines[i])) return false;
    }
    return true;
  }

  std::vector<std::string> Delivered(const std::string& marker, std::size_t count) const {
    std::vector<std::string> messages;
    for (const std::string& message : testing_support::DeliveredMessages(
             server_.maildir, marker, count, std::chrono::seconds(20))) {
      messages.push_back(testing_support::WithStampReplaced(
          testing_support::WithoutServerHeaders(message), "example.com", "\n"));
    }
    return messages;
  }

  const testing_support::TestMailServer server_ = testing_support::TheTestMailServer();
};

TEST_F(SendEndToEndTest, InLinkModeASendDeliversTheMessageAndEndsTheProgram) {
  const std::string marker = UniqueMarker();
  // A subject beyond ASCII goes as encoded words: the window hands the text on as UTF-8
  // whatever the locale. (Typed with xdotool, such characters now and then come out wrong.)
  ASSERT_TRUE(program_->Start({"/u", "mailto:ann@example.org?Subject=" + kGreeting}));
  const std::optional<WindowId> window = MainWindow();
  ASSERT_TRUE(window.has_value()) << "the window did not come up in link mode";
  const std::vector<std::string> body = {"Hello Ann,", ".", "a line with a dot follows",
                                         "Bye " + marker};
  ASSERT_TRUE(TypeBody(*window, body));
  ASSERT_TRUE(e2e::Click(*window, kSendButton.x, kSendButton.y));

  const std::optional<e2e::ExitStatus> status = program_->WaitForExit();
  ASSERT_TRUE(status.has_value()) << "the program did not end after the send";
  EXPECT_EQ(status->code, 0) << status->Describe();
  const std::vector<std::string> delivered = Delivered(marker, 1);
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(delivered[0], Composed(kGreeting, "ann@example.org", body));
}

TEST_F(SendEndToEndTest, InTrayModeASecondSendDuringTheFirstIsDeliveredToo) {
  // The dial keeps the first send under way until the test brings the link up; the program
  // inherits the fake ppp installation and loads the dial-up provider shipped beside it.
  provider_test::FakePpp ppp;
  ppp.Mode("isp", "held");
  const std::string configuration =
      "127.0.0.1:" + server_.port + "\r\n" + kSender + "\r\nisp\r\nTRUE\r\n";
  ASSERT_TRUE(program_->WriteFile(e2e::kConfigurationFileName, configuration));
  std::filesystem::copy_file(PELORIN_RASAPI32_FILE, program_->PathOf("librasapi32.so"));
  const std::string marker = UniqueMarker();
  ASSERT_TRUE(program_->Start({}));
  const std::optional<WindowId> window = ShowFromTray();
  ASSERT_TRUE(window.has_value()) << "the window did not come up from the tray";
  ASSERT_TRUE(Fill(*window, kEmailField, "bob@example.org"));
  ASSERT_TRUE(Fill(*window, kSubjectField, "One " + marker));
  ASSERT_TRUE(TypeBody(*window, {"First"}));
  ASSERT_TRUE(e2e::Click(*window, kSendButton.x, kSendButton.y));
  ASSERT_TRUE(Fill(*window, kSubjectField, "Two " + marker));
  ASSERT_TRUE(TypeBody(*window, {"Second"}));
  ASSERT_TRUE(e2e::Click(*window, kSendButton.x, kSendButton.y));
  EXPECT_EQ(ppp.Calls(), "pon isp\n") << "the second Send came after the first had ended";
  ppp.BringUp("isp");

  std::vector<std::string> delivered = Delivered(marker, 2);
  ASSERT_EQ(delivered.size(), 2u);
  std::sort(delivered.begin(), delivered.end());
  EXPECT_EQ(delivered[0], Composed("One " + marker, "bob@example.org", {"First"}));
  EXPECT_EQ(delivered[1], Composed("Two " + marker, "bob@example.org", {"Second"}));
  EXPECT_TRUE(RunEventsUntil([&] { return ppp.Calls() == "pon isp\npoff isp\n"; }))
      << "the line was not hung up: " << ppp.Calls();
  EXPECT_TRUE(program_->Running()) << "the program ended in tray mode";
}

TEST_F(SendEndToEndTest, ARefusedRecipientShowsTheServersReplyAndTheProgramGoesOn) {
  const std::string marker = UniqueMarker();
  ASSERT_TRUE(program_->Start({}));
  const std::optional<WindowId> window = ShowFromTray();
  ASSERT_TRUE(window.has_value());
  ASSERT_TRUE(Fill(*window, kEmailField, "refused@example.org"));
  ASSERT_TRUE(Fill(*window, kSubjectField, "Refused " + marker));
  ASSERT_TRUE(TypeBody(*window, {"Kept"}));
  ASSERT_TRUE(e2e::Click(*window, kSendButton.x, kSendButton.y));

  const std::optional<WindowId> box =
      e2e::WaitForWindow(e2e::WindowQuery::OfProgram(program_->Pid()).Named(kBoxTitle));
  ASSERT_TRUE(box.has_value()) << "no message box came up for the refusal";
  // The box shows the server's reply: its picture is that of a box with the reply drawn here.
  // The reply, then the message it refused, named, since it leaves the outbox.
  const std::optional<QImage> expected = MessageBoxPicture(
      std::string(kRefusalReply) + "\r\nThe message to refused@example.org (subject \"Refused " +
          marker + "\") is refused for good and leaves the outbox.",
      "send-refused-box-expected.png");
  const std::optional<QImage> other =
      MessageBoxPicture("550 Invalid recipient: <refused@example.com>\r\n", "send-other-box.png");
  ASSERT_TRUE(expected && other);
  ASSERT_NE(*expected, *other) << "the pictures cannot tell the two texts apart";
  const std::optional<QImage> shown = PictureOnceItShows(*box, *expected, "send-refused-box.png");
  ASSERT_TRUE(shown.has_value());
  EXPECT_TRUE(*shown == *expected)
      << "the box does not read the server's reply: compare "
      << "send-refused-box.png with send-refused-box-expected.png in " << e2e::ArtifactsDirectory();
  ASSERT_TRUE(e2e::Click(*box, 5, 5));
  ASSERT_TRUE(e2e::PressKeys({"Return"}));
  ASSERT_TRUE(e2e::WaitUntilHidden(*box));

  // The subject and body were kept: only the address needs correcting.
  ASSERT_TRUE(Fill(*window, kEmailField, "carol@example.org"));
  ASSERT_TRUE(e2e::Click(*window, kSendButton.x, kSendButton.y));
  const std::vector<std::string> delivered = Delivered(marker, 1);
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(delivered[0], Composed("Refused " + marker, "carol@example.org", {"Kept"}));
  EXPECT_TRUE(program_->Running());
}

// "Send by e-mail" in a file manager: the real xdg-email --attach, in a home of the program's
// own where the program is the mailto: handler through the desktop entry its MailTo writes.
// The window comes up listing the file (the row of attachments makes it taller) and nothing
// goes before Send; then the message arrives with the text and the file, named and whole.
TEST_F(SendEndToEndTest, AFileSentByXdgEmailIsListedAndDeliveredWhole) {
  const std::string xdgEmail = e2e::FindExecutable("xdg-email");
  ASSERT_FALSE(xdgEmail.empty()) << e2e::MissingToolMessage("xdg-email");
  const std::string home = program_->HomeDirectory();
  ::setenv("XDG_DATA_HOME", (home + "/.local/share").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
  os::MailtoAssociationKey handler;
  const os::LSTATUS opened = handler.Open(os::KEY_ALL_ACCESS);
  const os::LSTATUS written =
      handler.SetString("", program_->PathOf(e2e::kProgramFileName) + " /u %1 %2");
  ::unsetenv("XDG_DATA_HOME");
  ::unsetenv("XDG_CONFIG_HOME");
  ASSERT_EQ(opened, os::ERROR_SUCCESS);
  ASSERT_EQ(written, os::ERROR_SUCCESS);

  const std::string marker = UniqueMarker();
  const std::string name = "Quarterly Report \xE2\x80\x93 " + marker + ".pdf";
  const std::string path = home + "/" + name;
  std::string bytes = "%PDF-1.4\n";
  for (int i = 0; i < 300000; ++i) bytes += static_cast<char>(i * 7 % 256);
  std::ofstream(path, std::ios::binary) << bytes;

  e2e::Environment environment = e2e::TheDesktop()->ProgramEnvironment();
  environment.Merge(e2e::Environment()
                        .Set("HOME", home)
                        .Unset("XDG_CONFIG_HOME")
                        .Unset("XDG_DATA_HOME")
                        .Unset("XDG_CURRENT_DESKTOP")
                        .Unset("DESKTOP_SESSION")
                        // xdg-email passes the path through iconv from the locale's character
                        // set: under C it cuts the name at its first byte beyond ASCII. A
                        // desktop session has a UTF-8 locale.
                        .Set("LANG", "C.UTF-8")
                        .Unset("LC_ALL"));
  e2e::ChildOptions options;
  options.environment = environment;
  options.logFile = e2e::ArtifactsDirectory() + "/send_xdg_email.log";
  e2e::ChildProcess mailer(
      xdgEmail, {"--subject", "Report " + marker, "--attach", path, "ann@example.org"}, options);
  ASSERT_TRUE(mailer.Started()) << mailer.Error();
  const std::optional<WindowId> window =
      e2e::WaitForWindow(e2e::WindowQuery().Named(e2e::kMainWindowTitle));
  ASSERT_TRUE(window.has_value()) << "no window came up for xdg-email's link";
  e2e::Screenshot("send-xdg-email-window.png", *window);
  const std::optional<e2e::WindowGeometry> geometry = e2e::GeometryOf(*window);
  ASSERT_TRUE(geometry.has_value());
  EXPECT_GT(geometry->height, 355) << "the window shows no row of attached files";
  EXPECT_TRUE(
      testing_support::DeliveredMessages(server_.maildir, marker, 1, std::chrono::seconds(0))
          .empty())
      << "nothing goes before Send";
  ASSERT_TRUE(TypeBody(*window, {"The figures, " + marker}));
  ASSERT_TRUE(e2e::Click(*window, kSendButton.x, kSendButton.y));
  ASSERT_TRUE(mailer.WaitForExit(e2e::kWindowTimeoutMs).has_value())
      << "the program did not end after the send";
  ASSERT_TRUE(std::filesystem::remove(path));

  const std::vector<std::string> delivered =
      testing_support::DeliveredMessages(server_.maildir, marker, 1, std::chrono::seconds(20));
  ASSERT_EQ(delivered.size(), 1u);
  std::vector<QJsonObject> readings;
  ASSERT_TRUE(app_test::ReadByMailReader(delivered, readings));
  EXPECT_EQ(app_test::Text(readings[0], "subject"), "Report " + marker);
  EXPECT_EQ(app_test::Text(readings[0], "body"), "\nThe figures, " + marker + "\n");
  const QJsonArray attachments = readings[0].value(QLatin1String("attachments")).toArray();
  ASSERT_EQ(attachments.size(), 1);
  EXPECT_EQ(app_test::Text(attachments[0].toObject(), "filename"), name);
  EXPECT_EQ(app_test::Text(attachments[0].toObject(), "content_type"), "application/pdf");
  EXPECT_EQ(QByteArray::fromBase64(
                attachments[0].toObject().value(QLatin1String("data")).toString().toLatin1())
                .toStdString(),
            bytes);
}

}  // namespace
