// TTaskIcon against a recording stand-in for the shell and the cursor.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QIcon>
#include <QMenu>
#include <QPixmap>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "desktop/desktop_seams.h"
#include "desktop/shell_tray.h"
#include "platform/task_icon.h"
#include "support/shell_recorder.h"

namespace pelorin {
namespace {

// The recorded shell, with a cursor that stands where it is set.
class FakeShell : public testing_support::ShellRecorder {
 public:
  os::POINT cursor;
  int cursorReads = 0;

 private:
  os::ScopedSeams<os::DesktopSeams> seams_{[this](os::DesktopSeams& seams) {
    seams.cursorPos = [this] {
      ++cursorReads;
      return cursor;
    };
  }};
};

TIcon RedPicture() {
  QPixmap pixmap(16, 16);
  pixmap.fill(Qt::red);
  return TIcon(QIcon(pixmap));
}

class TaskIconTest : public ::testing::Test {
 protected:
  void SetUp() override {
    taskIcon_.OnClick = [this](QObject* sender) { Record("click", sender); };
    taskIcon_.OnDblClick = [this](QObject* sender) { Record("dblclick", sender); };
    taskIcon_.OnRightClick = [this](QObject* sender, TMouseButton button, TShiftState shift, int x,
                                    int y) {
      Record("right", sender);
      rightClicks_.push_back({button, shift, x, y});
    };
  }

  void Record(const std::string& event, QObject* sender) {
    EXPECT_EQ(sender, &taskIcon_) << event;
    events_.push_back(event);
  }

  // Posts the shell's callback messages and has them handled.
  void Callback(os::WPARAM id, const std::vector<os::LPARAM>& mouseMessages,
                unsigned message = TTaskIcon::kCallbackMessage) {
    for (const os::LPARAM mouseMessage : mouseMessages) {
      os::PostMessage(&taskIcon_, message, id, mouseMessage);
    }
    QCoreApplication::sendPostedEvents(&taskIcon_);
  }

  struct RightClick {
    TMouseButton button;
    TShiftState shift;
    int x;
    int y;
  };

  FakeShell shell_;
  TTaskIcon taskIcon_;
  std::vector<std::string> events_;
  std::vector<RightClick> rightClicks_;
};

TEST_F(TaskIconTest, EnabledAddsOnceAndRemovesOnlyWhatIsShown) {
  taskIcon_.SetEnabled(false);
  EXPECT_TRUE(shell_.calls.empty()) << "nothing to remove while hidden";

  taskIcon_.SetEnabled(true);
  taskIcon_.SetEnabled(true);
  EXPECT_EQ(shell_.Messages(), std::vector<unsigned>{os::NIM_ADD});
  EXPECT_TRUE(taskIcon_.Enabled());

  taskIcon_.SetEnabled(false);
  taskIcon_.SetEnabled(false);
  EXPECT_EQ(shell_.Messages(), (std::vector<unsigned>{os::NIM_ADD, os::NIM_DELETE}));
  EXPECT_FALSE(taskIcon_.Enabled());
}

TEST_F(TaskIconTest, RefusedAddLeavesHiddenAndIsTriedAgain) {
  shell_.answers[os::NIM_ADD] = false;
  taskIcon_.SetEnabled(true);
  EXPECT_FALSE(taskIcon_.Enabled());

  shell_.answers[os::NIM_ADD] = true;
  taskIcon_.SetEnabled(true);
  EXPECT_TRUE(taskIcon_.Enabled());
  EXPECT_EQ(shell_.Messages(), (std::vector<unsigned>{os::NIM_ADD, os::NIM_ADD}));
}

TEST_F(TaskIconTest, RefusedDeleteLeavesShown) {
  taskIcon_.SetEnabled(true);
  shell_.answers[os::NIM_DELETE] = false;
  taskIcon_.SetEnabled(false);
  EXPECT_TRUE(taskIcon_.Enabled());
  shell_.answers[os::NIM_DELETE] = true;
}

TEST_F(TaskIconTest, AddRecordCarriesWindowIdCallbackPictureAndTip) {
  taskIcon_.SetTaskIconID(42);
  taskIcon_.SetHint("Click here to send an e-mail!");
  taskIcon_.SetEnabled(true);

  ASSERT_EQ(shell_.calls.size(), 1u);
  const os::NOTIFYICONDATA& record = shell_.calls[0].record;
  EXPECT_EQ(record.cbSize, 88u);
  EXPECT_EQ(record.hWnd, &taskIcon_);
  EXPECT_EQ(record.uID, 42u);
  EXPECT_EQ(record.uFlags, 7u);
  EXPECT_EQ(record.uCallbackMessage, 1024u);
  EXPECT_EQ(record.hIcon, nullptr) << "an empty picture has no handle";
  EXPECT_EQ(shell_.calls[0].Tip(), "Click here to send an e-mail!");
}

TEST_F(TaskIconTest, TipIsCutToWhatTheFieldHolds) {
  const std::string a60(60, 'a');
  const std::string euro = "\xE2\x82\xAC";       // three bytes
  const std::string emoji = "\xF0\x9F\x93\xA7";  // four bytes
  struct Case {
    std::string hint;
    std::string tip;
  };
  const std::vector<Case> cases = {
      {std::string(63, 'x'), std::string(63, 'x')},
      {std::string(64, 'x'), std::string(63, 'x')},
      {std::string(200, 'x'), std::string(63, 'x')},
      {a60 + euro, a60 + euro},               // ends exactly at the limit
      {a60 + "b" + euro, a60 + "b"},          // a character across the limit is left out
      {a60 + "bc" + euro + "d", a60 + "bc"},  //
      {a60 + emoji + "z", a60},               //
      {a60 + "bcd" + emoji, a60 + "bcd"},     // cut falls between characters
      {std::string(70, '\x80'), std::string(63, '\x80')},  // not UTF-8: cut where it falls
  };
  for (const auto& c : cases) {
    shell_.calls.clear();
    taskIcon_.SetHint(c.hint);
    taskIcon_.ModifyTaskIcon();
    ASSERT_EQ(shell_.calls.size(), 1u);
    EXPECT_EQ(shell_.calls[0].Tip(), c.tip) << "hint of " << c.hint.size() << " bytes";
    EXPECT_EQ(shell_.calls[0].record.szTip[os::NOTIFYICON_TIP_SIZE - 1], '\0');
  }
}

TEST_F(TaskIconTest, HintReachesTheShellOnlyWithTheNextModification) {
  taskIcon_.SetHint("first");
  taskIcon_.SetEnabled(true);
  taskIcon_.SetHint("second");
  EXPECT_EQ(shell_.calls.size(), 1u);
  taskIcon_.SetIcon(RedPicture());
  ASSERT_EQ(shell_.calls.size(), 2u);
  EXPECT_EQ(shell_.calls[1].Tip(), "second");
}

TEST_F(TaskIconTest, WritingItsOwnIconDoesNothing) {
  taskIcon_.SetIcon(RedPicture());
  taskIcon_.SetEnabled(true);
  shell_.calls.clear();
  const qint64 before = taskIcon_.Icon().Picture().cacheKey();
  taskIcon_.SetIcon(taskIcon_.Icon());
  EXPECT_TRUE(shell_.calls.empty());
  EXPECT_EQ(taskIcon_.Icon().Picture().cacheKey(), before);
}

TEST_F(TaskIconTest, PictureWrittenWhileHiddenIsCopiedAndShownByTheNextAdd) {
  {
    const TIcon red = RedPicture();
    taskIcon_.SetIcon(red);
    EXPECT_TRUE(shell_.calls.empty());
    EXPECT_EQ(taskIcon_.Icon().Picture().cacheKey(), red.Picture().cacheKey());
  }
  taskIcon_.SetEnabled(true);
  ASSERT_EQ(shell_.calls.size(), 1u);
  EXPECT_EQ(shell_.calls[0].record.hIcon, taskIcon_.Icon().Handle()) << "its own copy";
  ASSERT_NE(shell_.calls[0].record.hIcon, nullptr);
  EXPECT_FALSE(shell_.calls[0].record.hIcon->isNull());
}

TEST_F(TaskIconTest, PictureWrittenWhileShownSendsOneModification) {
  taskIcon_.SetTaskIconID(3);
  taskIcon_.SetHint("tip");
  taskIcon_.SetEnabled(true);
  shell_.answers[os::NIM_MODIFY] = false;  // its answer is not examined
  taskIcon_.SetIcon(RedPicture());

  ASSERT_EQ(shell_.Messages(), (std::vector<unsigned>{os::NIM_ADD, os::NIM_MODIFY}));
  const os::NOTIFYICONDATA& record = shell_.calls[1].record;
  EXPECT_EQ(record.cbSize, 88u);
  EXPECT_EQ(record.hWnd, &taskIcon_);
  EXPECT_EQ(record.uID, 3u);
  EXPECT_EQ(record.uFlags, 7u);
  EXPECT_EQ(record.uCallbackMessage, 1024u);
  EXPECT_EQ(record.hIcon, taskIcon_.Icon().Handle());
  EXPECT_NE(record.hIcon, nullptr);
  EXPECT_EQ(shell_.calls[1].Tip(), "tip");
  EXPECT_TRUE(taskIcon_.Enabled());
}

TEST_F(TaskIconTest, RemovalUsesTheRecordOfTheAdd) {
  taskIcon_.SetTaskIconID(5);
  taskIcon_.SetHint("at add");
  taskIcon_.SetEnabled(true);
  taskIcon_.SetHint("later");
  taskIcon_.SetIcon(RedPicture());  // a modification does not change the stored record
  taskIcon_.SetEnabled(false);

  ASSERT_EQ(shell_.calls.back().message, os::NIM_DELETE);
  const os::NOTIFYICONDATA& removal = shell_.calls.back().record;
  EXPECT_EQ(removal.hWnd, &taskIcon_);
  EXPECT_EQ(removal.uID, 5u);
  EXPECT_EQ(shell_.calls.back().Tip(), "at add");
  EXPECT_EQ(removal.hIcon, nullptr) << "the add had an empty picture";
}

// A tray that opens the menu itself learns of it through the record; a component that never
// had a menu sends the shell's flags alone.
TEST_F(TaskIconTest, PopupMenuTravelsWithTheRecordOnceAssigned) {
  taskIcon_.SetEnabled(true);
  EXPECT_EQ(shell_.calls[0].record.uFlags, 7u);
  EXPECT_EQ(shell_.calls[0].record.hMenu, nullptr);

  auto menu = std::make_unique<QMenu>();
  taskIcon_.SetPopupMenu(menu.get());
  taskIcon_.SetPopupMenu(menu.get());
  ASSERT_EQ(shell_.Messages(), (std::vector<unsigned>{os::NIM_ADD, os::NIM_MODIFY}));
  EXPECT_EQ(shell_.calls[1].record.uFlags, 7u | os::NIF_MENU);
  EXPECT_EQ(shell_.calls[1].record.hMenu, menu.get());
  EXPECT_EQ(taskIcon_.PopupMenu(), menu.get());

  // A menu destroyed meanwhile is taken back from the tray with the next modification.
  menu.reset();
  EXPECT_EQ(taskIcon_.PopupMenu(), nullptr);
  taskIcon_.SetIcon(RedPicture());
  ASSERT_EQ(shell_.calls.size(), 3u);
  EXPECT_EQ(shell_.calls[2].record.uFlags, 7u | os::NIF_MENU);
  EXPECT_EQ(shell_.calls[2].record.hMenu, nullptr);

  QMenu other;
  taskIcon_.SetPopupMenu(&other);
  taskIcon_.SetEnabled(false);
  taskIcon_.SetEnabled(true);
  EXPECT_EQ(shell_.calls.back().message, os::NIM_ADD);
  EXPECT_EQ(shell_.calls.back().record.hMenu, &other) << "the add names the menu too";
}

TEST_F(TaskIconTest, PopupMenuWrittenWhileHiddenIsOnlyStored) {
  QMenu menu;
  taskIcon_.SetPopupMenu(&menu);
  EXPECT_TRUE(shell_.calls.empty());
  taskIcon_.SetEnabled(true);
  ASSERT_EQ(shell_.calls.size(), 1u);
  EXPECT_EQ(shell_.calls[0].record.hMenu, &menu);
}

TEST_F(TaskIconTest, NewIdentifierWhileHiddenIsOnlyStored) {
  taskIcon_.SetTaskIconID(9);
  EXPECT_TRUE(shell_.calls.empty());
  EXPECT_EQ(taskIcon_.TaskIconID(), 9);
}

// The shell cannot rename an icon: it is taken out under the old identifier and put back
// under the new one, so that its clicks carry the identifier the component listens to.
TEST_F(TaskIconTest, NewIdentifierWhileShownMovesTheIcon) {
  taskIcon_.SetTaskIconID(1);
  taskIcon_.SetEnabled(true);
  taskIcon_.SetTaskIconID(2);

  ASSERT_EQ(shell_.Messages(), (std::vector<unsigned>{os::NIM_ADD, os::NIM_DELETE, os::NIM_ADD}));
  EXPECT_EQ(shell_.calls[1].record.uID, 1u);
  EXPECT_EQ(shell_.calls[2].record.uID, 2u);
  EXPECT_TRUE(taskIcon_.Enabled());
  Callback(1, {os::WM_LBUTTONUP});
  Callback(2, {os::WM_LBUTTONUP});
  EXPECT_EQ(events_, std::vector<std::string>{"click"});

  taskIcon_.SetEnabled(false);
  EXPECT_EQ(shell_.calls.back().record.uID, 2u);
}

TEST_F(TaskIconTest, NewIdentifierWhileShownFailingToPutBackLeavesHidden) {
  taskIcon_.SetEnabled(true);
  shell_.answers[os::NIM_ADD] = false;
  taskIcon_.SetTaskIconID(2);
  EXPECT_FALSE(taskIcon_.Enabled());
}

TEST_F(TaskIconTest, MouseMessagesRaiseTheirEvents) {
  struct Case {
    os::LPARAM mouseMessage;
    std::vector<std::string> events;
  };
  const std::vector<Case> cases = {
      {512, {}},                                         // mouse move
      {513, {}},                                         // left button down
      {514, {"click"}}, {515, {"dblclick"}}, {516, {}},  // right button down
      {517, {"right"}}, {518, {}},                       // right double click
      {519, {}},                                         // middle button down
      {520, {}},                                         // middle button up
      {521, {}},                                         // middle double click
      {0, {}},
  };
  for (const auto& c : cases) {
    events_.clear();
    Callback(0, {c.mouseMessage});
    EXPECT_EQ(events_, c.events) << "mouse message " << c.mouseMessage;
  }
}

TEST_F(TaskIconTest, CallbacksForAnotherIdentifierOrMessageRaiseNothing) {
  taskIcon_.SetTaskIconID(4);
  Callback(0, {os::WM_LBUTTONUP, os::WM_LBUTTONDBLCLK, os::WM_RBUTTONUP});
  Callback(5, {os::WM_LBUTTONUP});
  Callback(4 + (os::WPARAM{1} << 32), {os::WM_LBUTTONUP});
  Callback(4, {os::WM_LBUTTONUP}, TTaskIcon::kCallbackMessage + 1);
  EXPECT_TRUE(events_.empty());
  EXPECT_EQ(shell_.cursorReads, 0);

  Callback(4, {os::WM_LBUTTONUP});
  EXPECT_EQ(events_, std::vector<std::string>{"click"});
}

TEST_F(TaskIconTest, NegativeIdentifierMatchesTheShellsUnsignedOne) {
  taskIcon_.SetTaskIconID(-1);
  taskIcon_.SetEnabled(true);
  EXPECT_EQ(shell_.calls[0].record.uID, 0xFFFFFFFFu);
  Callback(0xFFFFFFFFu, {os::WM_LBUTTONUP});
  EXPECT_EQ(events_, std::vector<std::string>{"click"});
}

TEST_F(TaskIconTest, DoubleClickIsClickDoubleClickClick) {
  Callback(0, {os::WM_LBUTTONUP, os::WM_LBUTTONDBLCLK, os::WM_LBUTTONUP});
  EXPECT_EQ(events_, (std::vector<std::string>{"click", "dblclick", "click"}));
}

TEST_F(TaskIconTest, RightClickGivesButtonEmptyShiftAndTheCursorWhenHandled) {
  shell_.cursor = {10, 20};
  os::PostMessage(&taskIcon_, TTaskIcon::kCallbackMessage, 0, os::WM_RBUTTONUP);
  shell_.cursor = {-300, 1400};  // the cursor moved before the message was handled
  QCoreApplication::sendPostedEvents(&taskIcon_);

  ASSERT_EQ(rightClicks_.size(), 1u);
  EXPECT_EQ(rightClicks_[0].button, TMouseButton::mbRight);
  EXPECT_TRUE(rightClicks_[0].shift.empty());
  EXPECT_EQ(rightClicks_[0].x, -300);
  EXPECT_EQ(rightClicks_[0].y, 1400);
}

TEST_F(TaskIconTest, EventsWithoutHandlersAreSkippedAndTheCursorIsNotRead) {
  taskIcon_.OnClick = nullptr;
  taskIcon_.OnDblClick = nullptr;
  taskIcon_.OnRightClick = nullptr;
  Callback(0, {os::WM_LBUTTONUP, os::WM_LBUTTONDBLCLK, os::WM_RBUTTONUP});
  EXPECT_TRUE(events_.empty());
  EXPECT_EQ(shell_.cursorReads, 0);
}

TEST_F(TaskIconTest, HandlerMayReplaceItself) {
  int calls = 0;
  taskIcon_.OnClick = [&](QObject*) {
    ++calls;
    taskIcon_.OnClick = [&](QObject*) { calls += 10; };
  };
  Callback(0, {os::WM_LBUTTONUP, os::WM_LBUTTONUP});
  EXPECT_EQ(calls, 11);
}

TEST(TaskIconLifetimeTest, DestructionRemovesAShownIconNamingTheAdd) {
  FakeShell shell;
  QObject owner;
  auto* taskIcon = new TTaskIcon(&owner);
  const void* window = static_cast<os::ComponentWindow*>(taskIcon);
  taskIcon->SetTaskIconID(12);
  taskIcon->SetEnabled(true);
  delete taskIcon;

  ASSERT_EQ(shell.Messages(), (std::vector<unsigned>{os::NIM_ADD, os::NIM_DELETE}));
  EXPECT_EQ(shell.calls[1].record.hWnd, window);
  EXPECT_EQ(shell.calls[1].record.uID, 12u);
}

TEST(TaskIconLifetimeTest, OwnerDestroysTheComponentAndWithItTheIcon) {
  FakeShell shell;
  {
    QObject owner;
    auto* taskIcon = new TTaskIcon(&owner);
    taskIcon->SetEnabled(true);
  }
  EXPECT_EQ(shell.Messages(), (std::vector<unsigned>{os::NIM_ADD, os::NIM_DELETE}));
}

TEST(TaskIconLifetimeTest, DestructionWhileHiddenSendsNothing) {
  FakeShell shell;
  { TTaskIcon taskIcon; }
  {
    TTaskIcon refused;
    shell.answers[os::NIM_ADD] = false;
    refused.SetEnabled(true);
  }
  EXPECT_EQ(shell.Messages(), std::vector<unsigned>{os::NIM_ADD});
}

}  // namespace
}  // namespace pelorin
