// The notification-area layer where the tray is a StatusNotifierItem host (a private bus with
// status-notifier-watcher and gtk-sni-tray-standalone on Xvfb): the icon as the host reads it
// over the bus, clicks as the host reports them (method calls on the item) and the icon's menu,
// exported for the host to show. Its own program, because the application must join that bus
// before it shows any tray icon.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QAction>
#include <QGuiApplication>
#include <QIcon>
#include <QMenu>
#include <QPixmap>
#include <QStyleHints>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "desktop/shell_tray.h"
#include "desktop/shell_tray_records.h"
#include "e2e/desktop_session.h"
#include "e2e/tray_sni_item.h"
#include "e2e/tray_sni_session.h"
#include "support/event_loop.h"

namespace {

using e2e::SniItemAddress;
using e2e::SniMenuItem;
using testing_support::RunEventsFor;
using testing_support::RunEventsUntil;

constexpr int kWaitMs = 20000;
constexpr const char* kNoMenu = "/NO_DBUSMENU";

using shell_tray_test::RecordingWindow;
using shell_tray_test::RedSquare;

// The labels of a menu's items as the host reads them, "-" for a separator.
std::vector<std::string> Labels(const SniMenuItem& root) {
  std::vector<std::string> labels;
  for (const SniMenuItem& item : root.children) {
    labels.push_back(item.IsSeparator() ? "-" : item.Label().toStdString());
  }
  return labels;
}

std::optional<int> IdOf(const SniMenuItem& root, const QString& label) {
  for (const SniMenuItem& item : root.children) {
    if (item.Label() == label) return item.id;
  }
  return std::nullopt;
}

class ShellTraySniTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(e2e::TheDesktop(), nullptr);
    ASSERT_TRUE(e2e::TheDesktop()->Error().empty()) << e2e::TheDesktop()->Error();
    ASSERT_NE(e2e::TheSniTray(), nullptr);
    ASSERT_TRUE(e2e::TheSniTray()->Error().empty()) << e2e::TheSniTray()->Error();
    bus_.emplace(e2e::TheSniTray()->BusAddress());
    ASSERT_TRUE(bus_->Connected()) << "cannot connect to the tray's bus";
  }

  os::NOTIFYICONDATA Record(std::uint32_t id) {
    return shell_tray_test::IconRecord(&window_, id, &picture_);
  }

  // This process's items that the watcher knows.
  std::vector<SniItemAddress> OwnItems() {
    std::vector<SniItemAddress> own;
    for (const SniItemAddress& item : bus_->RegisteredItems()) {
      if (bus_->OwnerOf(item.service) == getpid()) own.push_back(item);
    }
    return own;
  }

  // The one item of this process, once the watcher knows it (and a different one from
  // `before`, when given).
  std::optional<SniItemAddress> WaitForItem(const std::optional<SniItemAddress>& before = {}) {
    std::optional<SniItemAddress> found;
    RunEventsUntil(
        [&] {
          const std::vector<SniItemAddress> own = OwnItems();
          if (own.size() != 1) return false;
          if (before && own[0].service == before->service) return false;
          found = own[0];
          return true;
        },
        kWaitMs);
    return found;
  }

  bool WaitUntilNoItem() {
    return RunEventsUntil([&] { return OwnItems().empty(); }, kWaitMs);
  }

  std::string MenuPath(const SniItemAddress& item) { return bus_->MenuPath(item).toStdString(); }

  // The menu as the host reads it, once it has the labels expected.
  std::vector<std::string> WaitForLabels(const SniItemAddress& item,
                                         const std::vector<std::string>& expected) {
    std::vector<std::string> labels;
    RunEventsUntil(
        [&] {
          const std::optional<SniMenuItem> root = bus_->MenuLayout(item, bus_->MenuPath(item));
          labels = root ? Labels(*root) : std::vector<std::string>{};
          return labels == expected;
        },
        kWaitMs);
    return labels;
  }

  // Calls the item's methods one after the other and collects the callback messages.
  std::vector<unsigned> Clicks(const SniItemAddress& item, const std::vector<QString>& methods,
                               std::size_t expected) {
    window_.received.clear();
    for (const QString& method : methods) EXPECT_TRUE(bus_->CallItem(item, method, 5, 6));
    RunEventsUntil([&] { return window_.received.size() >= expected; }, kWaitMs);
    RunEventsFor(200);  // anything beyond the expected messages would show up here
    return window_.MouseMessages();
  }

  std::optional<e2e::SniBus> bus_;
  RecordingWindow window_;
  QIcon picture_ = RedSquare();
};

TEST_F(ShellTraySniTest, AddedIconIsAnItemWithItsTipAndPictureUntilDeleted) {
  os::NOTIFYICONDATA record = Record(1);
  std::snprintf(record.szTip, sizeof record.szTip, "%s", "A tip of the icon");
  ASSERT_TRUE(os::Shell_NotifyIconA(os::NIM_ADD, &record));
  const std::optional<SniItemAddress> item = WaitForItem();
  ASSERT_TRUE(item.has_value()) << "the watcher never learned of the icon";

  const std::optional<e2e::SniToolTip> tip = bus_->ToolTip(*item);
  ASSERT_TRUE(tip.has_value());
  EXPECT_EQ(tip->title.toStdString(), "A tip of the icon");
  const std::vector<QImage> pictures = bus_->IconPixmap(*item);
  ASSERT_FALSE(pictures.empty());
  for (const QImage& picture : pictures) {
    EXPECT_EQ(picture.pixel(0, 0), qRgb(255, 0, 0));
    EXPECT_EQ(picture.pixel(picture.width() - 1, picture.height() - 1), qRgb(255, 0, 0));
  }
  EXPECT_EQ(MenuPath(*item), kNoMenu) << "a menu without NIF_MENU";
  QRect rect(1, 2, 3, 4);
  EXPECT_TRUE(os::Shell_NotifyIconGetRect(&window_, 1, &rect));
  EXPECT_TRUE(rect.isEmpty()) << "the host's place for the icon is not the program's to know";

  std::snprintf(record.szTip, sizeof record.szTip, "%s", "Another tip");
  record.uFlags = os::NIF_TIP;
  ASSERT_TRUE(os::Shell_NotifyIconA(os::NIM_MODIFY, &record));
  EXPECT_TRUE(RunEventsUntil([&] {
    const std::optional<e2e::SniToolTip> now = bus_->ToolTip(*item);
    return now && now->title == QStringLiteral("Another tip");
  })) << "the modified tip did not reach the item";

  ASSERT_TRUE(os::Shell_NotifyIconA(os::NIM_DELETE, &record));
  EXPECT_TRUE(WaitUntilNoItem()) << "the item is still registered after the delete";
}

// A host reports clicks as method calls on the item; it knows no double click, so two
// activations within the double-click time make one, in the shell's order.
TEST_F(ShellTraySniTest, HostsCallsComeBackAsTheShellsMouseMessages) {
  const QString activate = QStringLiteral("Activate");
  struct Case {
    const char* what;
    int doubleClickMs;
    std::vector<QString> calls;
    std::vector<unsigned> expected;
  };
  const std::vector<Case> cases = {
      {"activation", 400, {activate}, {os::WM_LBUTTONUP}},
      {"two activations within the double-click time",
       60000,
       {activate, activate},
       {os::WM_LBUTTONUP, os::WM_LBUTTONDBLCLK, os::WM_LBUTTONUP}},
      {"three activations within the double-click time",
       60000,
       {activate, activate, activate},
       {os::WM_LBUTTONUP, os::WM_LBUTTONDBLCLK, os::WM_LBUTTONUP, os::WM_LBUTTONUP}},
      {"two activations farther apart than the double-click time",
       0,
       {activate, activate},
       {os::WM_LBUTTONUP, os::WM_LBUTTONUP}},
      {"secondary activation", 400, {QStringLiteral("SecondaryActivate")}, {os::WM_MBUTTONUP}},
      {"context menu asked for", 400, {QStringLiteral("ContextMenu")}, {os::WM_RBUTTONUP}},
  };
  std::uint32_t id = 10;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    QGuiApplication::styleHints()->setMouseDoubleClickInterval(c.doubleClickMs);
    const os::NOTIFYICONDATA record = Record(++id);  // an icon of its own: no earlier clicks
    ASSERT_TRUE(os::Shell_NotifyIconA(os::NIM_ADD, &record));
    const std::optional<SniItemAddress> item = WaitForItem();
    ASSERT_TRUE(item.has_value());
    EXPECT_EQ(Clicks(*item, c.calls, c.expected.size()), c.expected);
    for (const os::Message& m : window_.received) {
      EXPECT_EQ(m.msg, os::WM_USER);
      EXPECT_EQ(m.wParam, id);
    }
    ASSERT_TRUE(os::Shell_NotifyIconA(os::NIM_DELETE, &record));
    ASSERT_TRUE(WaitUntilNoItem());
  }
}

// The host shows the menu it reads over the bus; the program's own menu stays a window of its
// own (no platform menu of Qt's attached to it).
TEST_F(ShellTraySniTest, MenuIsExportedAndFollowsTheProgramsMenu) {
  QMenu source;
  QAction* one = source.addAction(QStringLiteral("&One"));
  source.addSeparator();
  QAction* two = source.addAction(QStringLiteral("&Two"));
  source.setDefaultAction(two);
  int twoTriggered = 0;
  QObject::connect(two, &QAction::triggered, [&] { ++twoTriggered; });

  os::NOTIFYICONDATA record = Record(3);
  record.uFlags |= os::NIF_MENU;
  record.hMenu = &source;
  ASSERT_TRUE(os::Shell_NotifyIconA(os::NIM_ADD, &record));
  const std::optional<SniItemAddress> item = WaitForItem();
  ASSERT_TRUE(item.has_value());
  ASSERT_NE(MenuPath(*item), kNoMenu) << "the item offers no menu";
  const std::optional<SniMenuItem> root = bus_->MenuLayout(*item, bus_->MenuPath(*item));
  ASSERT_TRUE(root.has_value());
  EXPECT_EQ(Labels(*root), (std::vector<std::string>{"_One", "-", "_Two"}));
  for (const SniMenuItem& entry : root->children) {
    EXPECT_TRUE(entry.properties.value(QStringLiteral("visible")).toBool());
  }
  EXPECT_EQ(source.platformMenu(), nullptr) << "the program's menu was handed over itself";

  const std::optional<int> twoId = IdOf(*root, QStringLiteral("_Two"));
  ASSERT_TRUE(twoId.has_value());
  ASSERT_TRUE(bus_->MenuEvent(*item, bus_->MenuPath(*item), *twoId, QStringLiteral("clicked")));
  EXPECT_TRUE(RunEventsUntil([&] { return twoTriggered == 1; })) << "the action did not trigger";
  EXPECT_TRUE(window_.received.empty()) << "a menu item chosen is no click on the icon";

  // Changes to the program's menu show in the host's.
  source.addAction(QStringLiteral("&Three"));
  source.removeAction(one);
  two->setText(QStringLiteral("T&wo again"));
  EXPECT_EQ(WaitForLabels(*item, {"-", "T_wo again", "_Three"}),
            (std::vector<std::string>{"-", "T_wo again", "_Three"}));
  two->setEnabled(false);
  EXPECT_TRUE(RunEventsUntil([&] {
    const std::optional<SniMenuItem> now = bus_->MenuLayout(*item, bus_->MenuPath(*item));
    return now && now->children.size() == 3 &&
           !now->children[1].properties.value(QStringLiteral("enabled")).toBool();
  })) << "the disabled item still shows as enabled";

  // A host that asks for the menu all the same gets the program to open it.
  EXPECT_EQ(Clicks(*item, {QStringLiteral("ContextMenu")}, 1),
            std::vector<unsigned>{os::WM_RBUTTONUP});
  ASSERT_TRUE(os::Shell_NotifyIconA(os::NIM_DELETE, &record));
}

TEST_F(ShellTraySniTest, MenuHandedLaterOrTakenBackReachesTheHost) {
  os::NOTIFYICONDATA record = Record(4);
  std::snprintf(record.szTip, sizeof record.szTip, "%s", "Kept");
  ASSERT_TRUE(os::Shell_NotifyIconA(os::NIM_ADD, &record));
  const std::optional<SniItemAddress> first = WaitForItem();
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(MenuPath(*first), kNoMenu);

  QMenu source;
  source.addAction(QStringLiteral("&Later"));
  record.uFlags = os::NIF_MENU;
  record.hMenu = &source;
  ASSERT_TRUE(os::Shell_NotifyIconA(os::NIM_MODIFY, &record));
  ASSERT_NE(MenuPath(*first), kNoMenu);
  EXPECT_EQ(WaitForLabels(*first, {"_Later"}), std::vector<std::string>{"_Later"});

  // An item cannot withdraw its menu: another item, without one, takes its place.
  record.hMenu = nullptr;
  ASSERT_TRUE(os::Shell_NotifyIconA(os::NIM_MODIFY, &record));
  const std::optional<SniItemAddress> second = WaitForItem(first);
  ASSERT_TRUE(second.has_value()) << "no item without the menu took the old one's place";
  EXPECT_EQ(MenuPath(*second), kNoMenu);
  const std::optional<e2e::SniToolTip> tip = bus_->ToolTip(*second);
  ASSERT_TRUE(tip.has_value());
  EXPECT_EQ(tip->title.toStdString(), "Kept");
  EXPECT_FALSE(bus_->IconPixmap(*second).empty());
  EXPECT_EQ(Clicks(*second, {QStringLiteral("Activate")}, 1),
            std::vector<unsigned>{os::WM_LBUTTONUP});
  ASSERT_TRUE(os::Shell_NotifyIconA(os::NIM_DELETE, &record));
  EXPECT_TRUE(WaitUntilNoItem());
}

// The program's menu may go before its icon; the host then finds the menu empty, never a
// menu that is gone.
TEST_F(ShellTraySniTest, MenuDestroyedWhileHandedLeavesAnEmptyMenu) {
  auto source = std::make_unique<QMenu>();
  source->addAction(QStringLiteral("&Gone"));
  os::NOTIFYICONDATA record = Record(5);
  record.uFlags |= os::NIF_MENU;
  record.hMenu = source.get();
  ASSERT_TRUE(os::Shell_NotifyIconA(os::NIM_ADD, &record));
  const std::optional<SniItemAddress> item = WaitForItem();
  ASSERT_TRUE(item.has_value());
  ASSERT_EQ(WaitForLabels(*item, {"_Gone"}), std::vector<std::string>{"_Gone"});
  source.reset();
  EXPECT_EQ(WaitForLabels(*item, {}), std::vector<std::string>{});
  ASSERT_TRUE(os::Shell_NotifyIconA(os::NIM_DELETE, &record));
}

TEST_F(ShellTraySniTest, ItemGoesWithItsWindow) {
  auto window = std::make_unique<RecordingWindow>();
  os::NOTIFYICONDATA record = Record(6);
  record.hWnd = window.get();
  ASSERT_TRUE(os::Shell_NotifyIconA(os::NIM_ADD, &record));
  ASSERT_TRUE(WaitForItem().has_value());
  window.reset();
  EXPECT_TRUE(WaitUntilNoItem());
  EXPECT_FALSE(os::Shell_NotifyIconA(os::NIM_DELETE, &record));
}

}  // namespace
