// The outcome of a send as a desktop notice, offscreen: the window in tray mode, the end of a
// send raised by its workflow, the window's own outcome text, and the notice recorded as the
// tray icon's balloon (no session bus here, so no notification server).
#include "app/send_outcome_notice.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/frm_main.h"
#include "app/globals.h"
#include "app/program_world.h"
#include "desktop/desktop_notice.h"
#include "desktop/desktop_seams.h"
#include "desktop/shell_tray.h"
#include "os/kernel.h"
#include "os/msgbox.h"
#include "support/event_loop.h"

namespace {

using pelorin::SendReport;
using pelorin::TfrmMain;

struct Balloon {
  os::HWND window;
  std::uint32_t id;
  os::DesktopNotice notice;
};

class SendOutcomeNoticeTest : public app_test::ProgramWorldTest {
 protected:
  void SetUp() override {
    // Before anything asks for the session bus: a desktop's notification server must not get
    // the test's notices.
    environment_.Set("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus");
    world_.PlaceTrayIcon();
    balloonFake_.emplace([this](os::DesktopSeams& seams) {
      seams.trayBalloon = [this](os::HWND window, std::uint32_t id,
                                 const os::DesktopNotice& notice) {
        balloons_.push_back({window, id, notice});
        return true;
      };
    });
    window_ = std::make_unique<TfrmMain>();
    new pelorin::SendOutcomeNotice(*window_);
  }

  void TearDown() override {
    window_.reset();
    balloonFake_.reset();
  }

  void EndSend(const SendReport& report) {
    emit window_->Workflow().SendEnded(report);
    testing_support::RunEventsFor(50);  // a notice would be on its way by now
  }

  std::unique_ptr<TfrmMain> window_;
  std::vector<Balloon> balloons_;
  std::optional<os::ScopedSeams<os::DesktopSeams>> balloonFake_;
};

SendReport Delivered() {
  return {};
}

SendReport StillQueued(const std::string& why) {
  SendReport report;
  report.failure = why;
  report.stillQueued = 1;
  return report;
}

SendReport DialRefused(const std::string& why) {
  SendReport report;
  report.dialRefusal = why;
  report.stillQueued = 1;
  return report;
}

TEST_F(SendOutcomeNoticeTest, SendEndingWhileTheWindowIsHiddenIsToldWithTheWindowsOutcome) {
  struct Case {
    const char* what;
    SendReport report;
    const char* text;
  };
  const Case cases[] = {
      {"delivered", Delivered(), "Mail has been sent!"},
      {"server away", StillQueued("Connection refused"),
       "Mail not sent (Connection refused); it stays queued for the next send."},
      {"dial refused", DialRefused("No line"), "No line; the mail stays queued for the next send."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    balloons_.clear();
    EndSend(c.report);
    EXPECT_EQ(window_->lblStatus->text().toStdString(), c.text);
    ASSERT_EQ(balloons_.size(), 1u);
    EXPECT_EQ(balloons_[0].window, window_->TaskIcon);
    EXPECT_EQ(balloons_[0].id, 0u);
    EXPECT_EQ(balloons_[0].notice.title, "Pelorin 32");
    EXPECT_EQ(balloons_[0].notice.text, c.text);
    EXPECT_EQ(balloons_[0].notice.iconName, "pelorin32");
    EXPECT_FALSE(balloons_[0].notice.picture.isNull()) << "the program's picture is missing";
  }
}

TEST_F(SendOutcomeNoticeTest, WhileTheWindowIsShownItsStatusLineAloneTellsTheOutcome) {
  window_->TaskIconClick(nullptr);
  ASSERT_TRUE(window_->isVisible());
  EndSend(Delivered());
  EXPECT_EQ(window_->lblStatus->text().toStdString(), "Mail has been sent!");
  EXPECT_TRUE(balloons_.empty());
}

TEST_F(SendOutcomeNoticeTest, OnlyTheEndOfASendIsTold) {
  emit window_->Workflow().Progress(QStringLiteral("Sending mail..."));
  window_->edsSubj->setText(QStringLiteral("typed while hidden"));
  testing_support::RunEventsFor(50);
  EXPECT_TRUE(balloons_.empty());
}

}  // namespace
