// The about box offscreen: its texts, the centring on screens of several sizes, the button's
// caption at each activation, the address field that cannot be edited and whose click opens
// the shortcut shipped beside the program (copied beside this test), and a new box after
// each close.
#include "app/frm_about.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "app/dialog_commands.h"
#include "app/globals.h"
#include "app/program_world.h"
#include "desktop/shell_execute.h"
#include "mail/web_address.h"

namespace pelorin {
namespace {

using app_test::ReleaseDeferredDeletes;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class FrmAboutTest : public app_test::ProgramWorldTest {
 protected:
  void SetUp() override { AboutOpen = false; }
  void TearDown() override { delete frmAbout.data(); }

  TfrmAbout& Create(QSize screen = {1024, 768}, QWidget* owner = nullptr) {
    frmAbout = new TfrmAbout(owner, screen);
    return *frmAbout;
  }
};

TEST_F(FrmAboutTest, ShowsNameVersionNoticeHelpAndAddress) {
  TfrmAbout& box = Create();
  EXPECT_EQ(box.windowTitle(), QStringLiteral("About Pelorin 32"));
  EXPECT_EQ(box.size(), QSize(344, 166));
  EXPECT_EQ(box.minimumSize(), box.maximumSize()) << "fixed frame";
  EXPECT_FALSE(box.windowFlags() & Qt::WindowSystemMenuHint);
  EXPECT_FALSE(box.windowFlags() & Qt::WindowCloseButtonHint);
  EXPECT_EQ(box.font().family(), QStringLiteral("MS Sans Serif"));
  const std::vector<std::pair<QWidget*, QString>> texts = {
      {box.Label1, QStringLiteral("Pelorin 32")},
      {box.lblVersion, QStringLiteral("Ver: 1.06")},
      {box.Label2, QStringLiteral("Freeware. Use it as you like.")},
      {box.Label3, QStringLiteral("For help on an item, just let the mouse pointer rest over it.")},
      {box.Label4, QStringLiteral("See the Vantrel home page for the latest updates, changes ")},
      {box.Label5, QStringLiteral("and help with troubleshooting. Remember to check back often.")},
  };
  for (const auto& [label, text] : texts) {
    EXPECT_EQ(qobject_cast<QLabel*>(label)->text(), text) << label->objectName().toStdString();
  }
  EXPECT_TRUE(box.Label1->font().bold());
  EXPECT_EQ(box.lblVersion->size(), QSize(113, 16));
  EXPECT_TRUE(box.lblVersion->alignment() & Qt::AlignHCenter);
  EXPECT_EQ(box.txtHTML->text(),
            QStringLiteral("The URL is: ") + QString::fromLatin1(kProgramWebAddress));
  EXPECT_EQ(box.txtHTML->size(), QSize(321, 16));
  EXPECT_FALSE(box.txtHTML->hasFrame());
  EXPECT_EQ(box.txtHTML->palette().color(QPalette::Base), QColor(192, 192, 192));
  EXPECT_EQ(box.txtHTML->cursor().shape(), Qt::UpArrowCursor);
  EXPECT_EQ(box.txtHTML->toolTip(), QStringLiteral("Click here to start your browser!"));
  EXPECT_EQ(box.cmdClose->size(), QSize(75, 25));
  EXPECT_EQ(box.cmdClose->toolTip(), QStringLiteral("Closes this about box."));
  QWidget* next = box.cmdClose->nextInFocusChain();
  while (next->focusPolicy() == Qt::NoFocus) next = next->nextInFocusChain();
  EXPECT_EQ(next, box.txtHTML) << "tab order: button, then field";
  EXPECT_TRUE(AboutOpen);
  EXPECT_FALSE(box.isVisible()) << "created hidden";
}

// The outer size of an about box: the offscreen platform, like a real one, gives it a frame,
// which is what tells the outer size from the client size here.
QSize OuterSize() {
  TfrmAbout probe;
  return probe.frameGeometry().size();
}

TEST_F(FrmAboutTest, IsCentredOnTheScreenByItsOuterSizeTruncatingTowardZero) {
  const QSize outer = OuterSize();
  ASSERT_GT(outer.width(), 344) << "no frame: outer and client size cannot be told apart";
  ASSERT_GT(outer.height(), 166);
  // Screen size as the outer size plus a difference, and the position that difference gives.
  const std::vector<std::pair<QSize, QPoint>> cases = {
      {{680, 602}, {340, 301}},
      {{1, 0}, {0, 0}},
      // Smaller than the window: the negative halves truncate toward zero.
      {{-1, -3}, {0, -1}},
      {{-47, -69}, {-23, -34}},
  };
  for (const auto& [difference, position] : cases) {
    SCOPED_TRACE(testing::PrintToString(difference.width()) + "," +
                 testing::PrintToString(difference.height()));
    TfrmAbout& box = Create(outer + difference);
    EXPECT_EQ(box.pos(), position);
    EXPECT_EQ(box.frameGeometry().topLeft(), position);
    delete frmAbout.data();
  }
}

TEST_F(FrmAboutTest, EveryControlIsCentredByTheOuterWidthAtItsDesignedTop) {
  TfrmAbout& box = Create();
  const int outer = box.frameGeometry().width();
  ASSERT_GT(outer, box.width());
  const std::vector<std::pair<QWidget*, int>> tops = {
      {box.Label1, 7},  {box.lblVersion, 21}, {box.Label2, 43},   {box.Label3, 59},
      {box.Label4, 75}, {box.Label5, 91},     {box.txtHTML, 115}, {box.cmdClose, 136},
  };
  for (const auto& [control, top] : tops) {
    SCOPED_TRACE(control->objectName().toStdString());
    EXPECT_EQ(control->x(), (outer - control->width()) / 2);
    EXPECT_EQ(control->y(), top);
  }
}

TEST_F(FrmAboutTest, ButtonCaptionFollowsNeedsSetupAtEveryActivation) {
  TfrmAbout& box = Create();
  box.show();
  box.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&box));
  EXPECT_EQ(box.cmdClose->text(), QStringLiteral("&Close"));

  NeedsSetup = true;
  QWidget other;
  other.show();
  other.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
  EXPECT_EQ(box.cmdClose->text(), QStringLiteral("&Close")) << "decided at activation only";
  box.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&box));
  EXPECT_EQ(box.cmdClose->text(), QStringLiteral("&Continue"));
}

TEST_F(FrmAboutTest, TypingOrPastingIntoTheAddressFieldChangesNothing) {
  TfrmAbout& box = Create();
  box.show();
  const QString fixed = box.txtHTML->text();
  QTest::keyClicks(box.txtHTML, QStringLiteral("abc"));
  EXPECT_EQ(box.txtHTML->text(), fixed);
  box.txtHTML->selectAll();
  QTest::keyClick(box.txtHTML, Qt::Key_Backspace);
  EXPECT_EQ(box.txtHTML->text(), fixed);
  box.txtHTML->insert(QStringLiteral("pasted"));
  EXPECT_EQ(box.txtHTML->text(), fixed);
}

TEST_F(FrmAboutTest, ClickingTheAddressAsksTheShellToOpenTheShortcutBesideTheProgram) {
  os::ShellRecorder shell;
  TfrmAbout& box = Create();
  box.show();
  QTest::mouseClick(box.txtHTML, Qt::RightButton);
  EXPECT_THAT(shell.Calls(), IsEmpty());
  QTest::mouseClick(box.txtHTML, Qt::LeftButton);
  EXPECT_THAT(shell.Calls(), ElementsAre(os::ShellExecuteCall{"open", "skelmar32.url", " ", " ",
                                                              os::SW_SHOWNORMAL}));
  // The shortcut shipped with the program leads to the program's web page.
  EXPECT_THAT(shell.Openings(), ElementsAre(os::ShellOpening{os::ShellOpening::Kind::Url,
                                                             std::string(kProgramWebAddress)}));
}

TEST_F(FrmAboutTest, CloseHidesTheBoxAndTheNextAboutCommandMakesANewOne) {
  QWidget owner;
  OpenAboutBox(&owner);
  QPointer<TfrmAbout> first = frmAbout;
  ASSERT_TRUE(first);
  EXPECT_TRUE(first->isVisible());
  EXPECT_TRUE(AboutOpen);

  OpenAboutBox(&owner);
  EXPECT_EQ(frmAbout, first) << "an open box is shown again, not made anew";

  first->cmdClose->click();
  EXPECT_FALSE(AboutOpen);
  EXPECT_FALSE(first->isVisible());
  ReleaseDeferredDeletes();
  EXPECT_FALSE(first);

  OpenAboutBox(&owner);
  ASSERT_TRUE(frmAbout);
  EXPECT_TRUE(AboutOpen);
  EXPECT_TRUE(frmAbout->isVisible());
  EXPECT_EQ(frmAbout->parentWidget(), &owner);
  const QSize space = PrimaryScreenSize() - frmAbout->frameGeometry().size();
  EXPECT_EQ(frmAbout->pos(), QPoint(space.width() / 2, space.height() / 2)) << "centred again";
}

TEST_F(FrmAboutTest, ClosingByTheWindowSystemAlsoClearsTheFlag) {
  TfrmAbout& box = Create();
  box.show();
  QCloseEvent close;
  QApplication::sendEvent(&box, &close);
  EXPECT_FALSE(AboutOpen);
}

}  // namespace
}  // namespace pelorin
