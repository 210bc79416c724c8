// The outbox window offscreen, opened from the tray menu of a real main window whose outbox
// lies on disk, sending to a scripted SMTP peer on 127.0.0.1: what it lists, and what Send
// now, Edit and Delete do to the queue, the refused folder and the quick-send window.
#include "app/frm_outbox.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QtTest/QTest>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/frm_main.h"
#include "app/globals.h"
#include "app/program_world.h"
#include "app/scripted_smtp_peer.h"
#include "app/security_settings.h"
#include "desktop/shell_execute.h"
#include "mail/compose_message.h"
#include "outbox/outbox_folder.h"
#include "support/event_loop.h"
#include "support/read_file.h"

namespace {

using pelorin::TfrmMain;
using pelorin::TfrmOutbox;
using testing_support::RunEventsUntil;

const QString kSendUnderWay =
    QStringLiteral("A send is under way and holds the queued mail; try again once it has ended.");
const QString kWindowHoldsText = QStringLiteral(
    "The quick-send window holds a message of its own: send it, or empty its subject and body, "
    "first.");

class OutboxWindowTest : public app_test::ProgramWorldTest {
 protected:
  void SetUp() override {
    world_.PlaceTrayIcon();
    pelorin::SenderAddress = "me@example.com";
    pelorin::SmtpServer = "127.0.0.1";
    pelorin::SmtpPort = peer_.Start();
  }
  void TearDown() override { window_.reset(); }

  std::string StateDirectory() const { return environment_.StateHome() + "/pelorin32"; }

  // A message that another copy queued and left on disk.
  void QueueFromAnotherCopy(const std::string& email, const std::string& subject) {
    pelorin::OutboxFolder folder(StateDirectory());
    pelorin::Outbox other(&folder);
    const pelorin::DraftFields draft{"", email, subject, "body of " + subject};
    const std::string text = pelorin::ComposeMessage({subject, "", email, "me@example.com", {}});
    ASSERT_EQ(other.Append(email, text, draft), "");
  }

  std::string KeepRefused(const std::string& email, const std::string& subject) {
    pelorin::OutboxFolder folder(StateDirectory());
    pelorin::OutboxMessage message;
    message.text = pelorin::ComposeMessage({subject, "Ann", email, "me@example.com", {"x"}});
    std::string why;
    return folder.KeepRefused(message, why);
  }

  // The main window in tray mode, shown, and its outbox window opened from the tray menu.
  TfrmOutbox& Open() {
    os::SetCommandLine(std::vector<std::string>{"pelorin32"});
    window_ = std::make_unique<TfrmMain>();
    QObject::connect(&window_->Workflow(), &pelorin::SendWorkflow::SendEnded,
                     [this](const pelorin::SendReport&) { ++sendsEnded_; });
    window_->Outbox1->trigger();
    return *window_->OutboxWindow();
  }

  std::vector<QStringList> Rows() const {
    std::vector<QStringList> rows;
    QTreeWidget* list = window_->OutboxWindow()->lstMessages;
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
      QStringList row;
      for (int column = 0; column < list->columnCount(); ++column) {
        row << list->topLevelItem(i)->text(column);
      }
      rows.push_back(row);
    }
    return rows;
  }

  void Select(int row) const {
    QTreeWidget* list = window_->OutboxWindow()->lstMessages;
    list->setCurrentItem(list->topLevelItem(row));
  }

  bool WaitForSendEnd(int ended) {
    return RunEventsUntil([this, ended] { return sendsEnded_ > ended; });
  }

  std::size_t Queued() const { return window_->Workflow().Queue().Size(); }

  app_test::ScriptedSmtpPeer peer_;
  std::unique_ptr<TfrmMain> window_;
  int sendsEnded_ = 0;
};

TEST_F(OutboxWindowTest, ListsQueuedAndRefusedMailWithItsColumns) {
  QueueFromAnotherCopy("a@example.org", "first");
  QueueFromAnotherCopy("b@example.org", "Grüße");
  const std::string refused = KeepRefused("c@example.org", "Überweisung für März");
  ASSERT_NE(refused, "");
  peer_.Script("MAIL", {"451 later"});
  TfrmOutbox& outbox = Open();
  window_->NextTry = [] { return QDateTime(QDate(2026, 12, 10), QTime(14, 5)); };
  const int ended = sendsEnded_;
  outbox.cmdSendNow->click();
  ASSERT_TRUE(WaitForSendEnd(ended));

  const std::vector<QStringList> rows = Rows();
  ASSERT_EQ(rows.size(), 3u);
  const QString nextTry =
      QLocale().toString(QDateTime(QDate(2026, 12, 10), QTime(14, 5)), QLocale::ShortFormat);
  EXPECT_EQ(rows[0].mid(0, 2), QStringList({"a@example.org", "first"}));
  EXPECT_EQ(rows[1].mid(0, 2), QStringList({"b@example.org", "Grüße"}));
  EXPECT_EQ(rows[2].mid(0, 2), QStringList({"c@example.org", "Überweisung für März"}));
  for (const QStringList& row : rows) EXPECT_NE(row[2], QString()) << "queued since";
  EXPECT_EQ(rows[0].mid(3), QStringList({"the server refused it", nextTry, "Queued"}));
  EXPECT_EQ(rows[1].mid(3), QStringList({"the server refused it", nextTry, "Queued"}));
  EXPECT_EQ(rows[2].mid(3), QStringList({"", "", "Refused"}));
}

TEST_F(OutboxWindowTest, SendNowDeliversTheQueueAndEmptiesTheList) {
  QueueFromAnotherCopy("a@example.org", "waiting");
  TfrmOutbox& outbox = Open();
  EXPECT_EQ(Rows().size(), 1u);
  EXPECT_EQ(Rows()[0][4], QStringLiteral("with the next send"));
  const int ended = sendsEnded_;
  outbox.cmdSendNow->click();
  ASSERT_TRUE(WaitForSendEnd(ended));
  ASSERT_EQ(peer_.Messages().size(), 1u);
  EXPECT_NE(peer_.Messages()[0].find("Subject: waiting"), std::string::npos);
  EXPECT_EQ(Rows().size(), 0u);
  EXPECT_EQ(outbox.lblStatus->text(), QStringLiteral("Mail has been sent!"));
  EXPECT_FALSE(outbox.cmdSendNow->isEnabled());
}

TEST_F(OutboxWindowTest, EditPutsTheMessageIntoEmptyFieldsAndTakesItOutOfTheQueue) {
  QueueFromAnotherCopy("a@example.org", "to edit");
  TfrmOutbox& outbox = Open();
  window_->edsEmail->setText(QStringLiteral("left@example.org"));  // as a send leaves it
  Select(0);
  outbox.cmdEdit->click();
  EXPECT_EQ(window_->edsEmail->text(), QStringLiteral("a@example.org"));
  EXPECT_EQ(window_->edsSubj->text(), QStringLiteral("to edit"));
  EXPECT_EQ(window_->edsMemo->toPlainText(), QStringLiteral("body of to edit"));
  EXPECT_TRUE(window_->isVisible());
  EXPECT_EQ(Queued(), 0u);
  EXPECT_EQ(Rows().size(), 0u);
  pelorin::OutboxFolder folder(StateDirectory());
  EXPECT_TRUE(folder.Load().messages.empty()) << "its file left the outbox";
}

// A send that failed leaves its text in the fields: Edit takes only the queued copy out.
TEST_F(OutboxWindowTest, EditOfTheTextTheFieldsStillHoldTakesOnlyTheQueuedCopyOut) {
  peer_.Script("MAIL", {"451 later"});
  TfrmOutbox& outbox = Open();
  window_->edsEmail->setText(QStringLiteral("x@example.org"));
  window_->edsSubj->setText(QStringLiteral("S"));
  window_->edsMemo->setPlainText(QStringLiteral("B"));
  const int ended = sendsEnded_;
  window_->cmdMake->click();
  ASSERT_TRUE(WaitForSendEnd(ended));
  ASSERT_EQ(Queued(), 1u);
  Select(0);
  outbox.cmdEdit->click();
  EXPECT_EQ(Queued(), 0u);
  EXPECT_EQ(window_->edsSubj->text(), QStringLiteral("S"));
}

// The text that Send queued, taken out again (by Edit or Delete) before any send began, is a
// new message for Send.
TEST_F(OutboxWindowTest, TheFieldsMessageTakenBackIsQueuedAgainBySend) {
  for (const bool edit : {true, false}) {
    SCOPED_TRACE(edit ? "Edit" : "Delete");
    ASSERT_TRUE(pelorin::WriteSecuritySettings({pelorin::SmtpSecurity::None, "ann"}));
    TfrmOutbox& outbox = Open();
    window_->edsEmail->setText(QStringLiteral("x@example.org"));
    window_->edsSubj->setText(QStringLiteral("S"));
    window_->edsMemo->setPlainText(QStringLiteral("B"));
    window_->cmdMake->click();  // queued, not sent: signing in needs encryption
    ASSERT_EQ(Queued(), 1u);
    Select(0);
    if (edit) {
      window_->edsSubj->clear();
      window_->edsMemo->clear();
      outbox.cmdEdit->click();
    } else {
      os::BoxRecorder box(os::IDOK);
      outbox.cmdDelete->click();
    }
    ASSERT_EQ(Queued(), 0u);
    ASSERT_EQ(window_->edsSubj->text(), QStringLiteral("S"));
    ASSERT_TRUE(pelorin::WriteSecuritySettings({pelorin::SmtpSecurity::None, ""}));
    const int ended = sendsEnded_;
    window_->cmdMake->click();
    ASSERT_EQ(Queued(), 1u) << window_->lblStatus->text().toStdString();
    ASSERT_TRUE(WaitForSendEnd(ended)) << window_->lblStatus->text().toStdString();
  }
  ASSERT_EQ(peer_.Messages().size(), 2u);
  EXPECT_EQ(peer_.Messages()[1].rfind("Subject: S\r\n", 0), 0u);
}

// Nothing is taken out while the window holds text of its own, nor while a send reads the
// outbox.
struct Refusal {
  const char* name;
  std::function<void(TfrmMain&, app_test::ScriptedSmtpPeer&)> before;
  QPushButton* TfrmOutbox::*command;
  QString status;
};

void PrintTo(const Refusal& refusal, std::ostream* out) {
  *out << refusal.name;
}

class OutboxRefusalTest : public OutboxWindowTest, public testing::WithParamInterface<Refusal> {};

TEST_P(OutboxRefusalTest, TakesNothingOutAndSaysWhy) {
  QueueFromAnotherCopy("a@example.org", "stays");
  TfrmOutbox& outbox = Open();
  GetParam().before(*window_, peer_);
  Select(0);
  (outbox.*GetParam().command)->click();
  EXPECT_EQ(outbox.lblStatus->text(), GetParam().status);
  EXPECT_EQ(Queued(), 1u);
  EXPECT_TRUE(boxes_.Boxes().empty()) << "nothing is asked";
  EXPECT_NE(window_->edsSubj->text(), QStringLiteral("stays"));
  const int ended = sendsEnded_;
  peer_.Release();
  if (window_->Workflow().Phase() != pelorin::SendPhase::Idle) {
    ASSERT_TRUE(WaitForSendEnd(ended));
  }
}

void HoldASend(TfrmMain& window, app_test::ScriptedSmtpPeer& peer) {
  peer.Script("data", {"<hold>250 accepted"});
  window.OutboxWindow()->cmdSendNow->click();
  ASSERT_TRUE(RunEventsUntil([&peer] { return peer.Holding(); }));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OutboxRefusalTest,
    testing::Values(Refusal{"SubjectTyped",
                            [](TfrmMain& window, app_test::ScriptedSmtpPeer&) {
                              window.edsSubj->setText(QStringLiteral("mine"));
                            },
                            &TfrmOutbox::cmdEdit, kWindowHoldsText},
                    Refusal{"BodyTyped",
                            [](TfrmMain& window, app_test::ScriptedSmtpPeer&) {
                              window.edsMemo->setPlainText(QStringLiteral("mine"));
                            },
                            &TfrmOutbox::cmdEdit, kWindowHoldsText},
                    Refusal{"EditDuringASend", HoldASend, &TfrmOutbox::cmdEdit, kSendUnderWay},
                    Refusal{"DeleteDuringASend", HoldASend, &TfrmOutbox::cmdDelete, kSendUnderWay}),
    [](const testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

TEST_F(OutboxWindowTest, DeleteAsksFirstAndKeepsTheQueuedMessageInTheRefusedFolder) {
  QueueFromAnotherCopy("a@example.org", "unwanted");
  TfrmOutbox& outbox = Open();
  for (const int answer : {os::IDCANCEL, os::IDOK}) {
    os::BoxRecorder box(answer);
    Select(0);
    outbox.cmdDelete->click();
    ASSERT_EQ(box.Texts(), std::vector<std::string>{
                               "Delete the message to a@example.org (subject \"unwanted\") from "
                               "the outbox? It is not sent, and kept in the refused folder."});
    EXPECT_EQ(Queued(), answer == os::IDOK ? 0u : 1u);
  }
  pelorin::OutboxFolder folder(StateDirectory());
  EXPECT_TRUE(folder.Load().messages.empty()) << "its file left the outbox";
  const std::vector<std::string> refused = folder.RefusedFiles();
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_NE(testing_support::ReadFile(refused[0]).find("Subject: unwanted\r\n"), std::string::npos);
  const std::vector<QStringList> rows = Rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][5], QStringLiteral("Refused"));
  EXPECT_EQ(outbox.lblStatus->text(),
            QString::fromStdString("The message to a@example.org has left the outbox; it is kept "
                                   "in " +
                                   refused[0] + "."));
}

TEST_F(OutboxWindowTest, DeletingARefusedMessageMovesItToTheWastebasket) {
  const std::string refused = KeepRefused("c@example.org", "old");
  TfrmOutbox& outbox = Open();
  Select(0);
  QTest::keyClick(outbox.lstMessages, Qt::Key_Delete);
  ASSERT_EQ(boxes_.Texts(), std::vector<std::string>{"Move the refused message to c@example.org "
                                                     "(subject \"old\") to the wastebasket?"});
  EXPECT_FALSE(std::filesystem::exists(refused));
  EXPECT_TRUE(std::filesystem::exists(environment_.Home() + "/.local/share/Trash/files/" +
                                      std::filesystem::path(refused).filename().string()));
  EXPECT_EQ(Rows().size(), 0u);
}

TEST_F(OutboxWindowTest, ShowFileOpensTheRefusedFolder) {
  const std::string refused = KeepRefused("c@example.org", "old");
  os::ShellRecorder desktop;
  TfrmOutbox& outbox = Open();
  outbox.cmdShowFile->click();
  ASSERT_EQ(desktop.Openings().size(), 1u);
  EXPECT_EQ(desktop.Openings()[0].target, std::filesystem::path(refused).parent_path().string());
}

TEST_F(OutboxWindowTest, AClickOnTheStatusLineOpensTheOutboxWhileMailIsQueued) {
  Open();
  window_->OutboxWindow()->close();
  app_test::ReleaseDeferredDeletes();
  QTest::mouseClick(window_->lblStatus, Qt::LeftButton);
  EXPECT_EQ(window_->OutboxWindow(), nullptr) << "nothing queued";
  QueueFromAnotherCopy("a@example.org", "waiting");
  window_->Workflow().LoadQueued();
  QTest::mouseClick(window_->lblStatus, Qt::LeftButton);
  ASSERT_NE(window_->OutboxWindow(), nullptr);
  EXPECT_TRUE(window_->OutboxWindow()->isVisible());
  EXPECT_EQ(Rows().size(), 1u);
}

}  // namespace
