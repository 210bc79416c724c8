// The built program on a desktop whose tray is a StatusNotifierItem host, as on KDE Plasma,
// GNOME with the AppIndicator extension or Xfce (here a private bus with
// status-notifier-watcher and gtk-sni-tray-standalone under Xvfb). In tray mode the program's
// icon is an item on the bus with the window's hint as its tip and the icon file's pictures; a
// click on it in the host's bar, or an activation over the bus, shows the window; the host's
// menu for it, read over the bus and opened in the bar, offers the window's pop-up menu, whose
// items do what they do there; its "&Close" ends the program.
#include <gtest/gtest.h>

#include <QIcon>
#include <QImage>
#include <QRect>
#include <algorithm>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "e2e/desktop_input.h"
#include "e2e/desktop_session.h"
#include "e2e/desktop_windows.h"
#include "e2e/program_copy.h"
#include "e2e/program_test.h"
#include "e2e/tray_sni_item.h"
#include "e2e/tray_sni_session.h"
#include "support/event_loop.h"

namespace {

using e2e::SniItemAddress;
using e2e::SniMenuItem;
using e2e::WindowGeometry;
using e2e::WindowId;
using testing_support::RunEventsUntil;

constexpr const char* kAboutTitle = "^About Pelorin 32$";
constexpr const char* kTrayTip = "Click here to send an e-mail!";
constexpr const char* kConfiguration = "localhost:2525\r\nme@example.org\r\n\r\nFALSE\r\n";
constexpr int kWaitMs = 20000;

// The window's pop-up menu as the host reads it: Qt writes a mnemonic with an underscore.
const std::vector<std::string> kMenuLabels = {"_Show Tessaly", "_Outbox...", "_About Pelorin", "-",
                                              "_Properties",   "_Close"};

std::vector<std::string> Labels(const SniMenuItem& root) {
  std::vector<std::string> labels;
  for (const SniMenuItem& item : root.children) {
    labels.push_back(item.IsSeparator() ? "-" : item.Label().toStdString());
  }
  return labels;
}

QImage PictureOf(const std::string& path) {
  return QImage(QString::fromStdString(path)).convertToFormat(QImage::Format_RGB32);
}

bool IsPopupMenu(WindowId window) {
  return e2e::PropertyOf(window, "_NET_WM_WINDOW_TYPE").find("_NET_WM_WINDOW_TYPE_POPUP_MENU") !=
         std::string::npos;
}

class SniTrayTest : public e2e::ProgramTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(ProgramTest::SetUp());
    ASSERT_NE(e2e::TheSniTray(), nullptr);
    ASSERT_TRUE(e2e::TheSniTray()->Error().empty()) << e2e::TheSniTray()->Error();
    bus_.emplace(e2e::TheSniTray()->BusAddress());
    ASSERT_TRUE(bus_->Connected()) << "cannot connect to the tray's bus";
    ASSERT_TRUE(program_->WriteFile(e2e::kConfigurationFileName, kConfiguration));
    ASSERT_TRUE(e2e::MoveMouse(900, 300));
    ASSERT_TRUE(program_->Start({}, e2e::TheSniTray()->ProgramEnvironment()));
  }

  // The program's item, once the watcher knows it.
  std::optional<SniItemAddress> ProgramItem() {
    std::optional<SniItemAddress> found;
    RunEventsUntil(
        [&] {
          for (const SniItemAddress& item : bus_->RegisteredItems()) {
            if (bus_->OwnerOf(item.service) == program_->Pid()) found = item;
          }
          return found.has_value();
        },
        kWaitMs);
    return found;
  }

  // The program's icon in the host's bar: where the bar's picture differs from its background
  // (the bar holds no other icon).
  std::optional<QRect> IconInBar() {
    const WindowId bar = e2e::TheSniTray()->HostBar();
    const std::optional<WindowGeometry> place = e2e::GeometryOf(bar);
    if (!place) return std::nullopt;
    QRect icon;
    RunEventsUntil(
        [&] {
          const std::string path = e2e::Screenshot("sni-tray-bar.png", bar);
          const QImage picture = path.empty() ? QImage() : PictureOf(path);
          if (picture.isNull()) return false;
          const QRgb background = picture.pixel(picture.width() - 1, picture.height() / 2);
          for (int y = 0; y < picture.height(); ++y) {
            for (int x = 0; x < picture.width(); ++x) {
              if (picture.pixel(x, y) != background) icon |= QRect(x, y, 1, 1);
            }
          }
          return !icon.isEmpty();
        },
        kWaitMs);
    if (icon.isEmpty()) return std::nullopt;
    return icon.translated(place->x, place->y);
  }

  void ExpectMainWindowShownAndHideIt(const char* how) {
    const std::optional<WindowId> window = MainWindow();
    ASSERT_TRUE(window.has_value()) << how << " did not show the window";
    e2e::ExpectMainWindowInPlace(*window);
    ASSERT_TRUE(e2e::Click(*window, e2e::kCloseButton.x, e2e::kCloseButton.y));
    EXPECT_TRUE(e2e::WaitUntilHidden(*window)) << "\"&Close\" did not hide the window";
  }

  // The host's menu for the icon, opened with a right click on the icon in the bar.
  std::optional<WindowId> OpenHostMenu(const QRect& icon) {
    if (!e2e::ClickAt(icon.center().x(), icon.center().y(), e2e::MouseButton::Right)) return {};
    return e2e::WaitForWindow(e2e::WindowQuery::OfProgram(e2e::TheSniTray()->HostPid()), kWaitMs,
                              IsPopupMenu);
  }

  std::optional<e2e::SniBus> bus_;
};

TEST_F(SniTrayTest, IconIsAnItemWithTheHintAndTheIconFilesPictures) {
  const std::optional<SniItemAddress> item = ProgramItem();
  ASSERT_TRUE(item.has_value()) << "the program's icon never registered with the watcher";
  EXPECT_TRUE(IconInBar().has_value()) << "the host shows no icon in its bar";
  EXPECT_TRUE(IconsInTray().empty()) << "the icon is also in the XEmbed tray";

  const std::optional<e2e::SniToolTip> tip = bus_->ToolTip(*item);
  ASSERT_TRUE(tip.has_value());
  EXPECT_EQ(tip->title.toStdString(), kTrayTip);
  // Hosts show the title where they list hidden items; Qt takes the program's name.
  EXPECT_EQ(bus_->Property(*item, QStringLiteral("Title")).toString().toStdString(),
            e2e::kProgramFileName);

  const QIcon file(QString::fromStdString(program_->PathOf(e2e::kIconFileName)));
  const std::vector<QImage> pictures = bus_->IconPixmap(*item);
  ASSERT_FALSE(pictures.empty()) << "the item offers no picture";
  bool fileSizeOffered = false;
  for (const QImage& picture : pictures) {
    if (!file.availableSizes().contains(picture.size())) continue;
    fileSizeOffered = true;
    EXPECT_EQ(picture, file.pixmap(picture.size()).toImage().convertToFormat(QImage::Format_ARGB32))
        << "the " << picture.width() << "x" << picture.height() << " picture is not the file's";
  }
  EXPECT_TRUE(fileSizeOffered) << "none of the pictures has a size that the icon file holds";
  EXPECT_TRUE(program_->Running());
}

TEST_F(SniTrayTest, ClickInTheBarAndActivationShowTheWindow) {
  const std::optional<SniItemAddress> item = ProgramItem();
  ASSERT_TRUE(item.has_value());
  const std::optional<QRect> icon = IconInBar();
  ASSERT_TRUE(icon.has_value());
  EXPECT_TRUE(e2e::FindWindows(ProgramWindows().Named(e2e::kMainWindowTitle)).empty())
      << "the main window is shown in tray mode";

  ASSERT_TRUE(e2e::ClickAt(icon->center().x(), icon->center().y()));
  ExpectMainWindowShownAndHideIt("a click on the icon in the host's bar");
  ASSERT_TRUE(bus_->CallItem(*item, QStringLiteral("Activate"), 10, 750));
  ExpectMainWindowShownAndHideIt("an activation of the item over the bus");
  EXPECT_TRUE(program_->Running()) << "\"&Close\" ended the program in tray mode";
}

// The D-Bus menu has no mark for a default item, so the bold "&Close" of the window's own menu
// is neither readable here nor shown by the host.
TEST_F(SniTrayTest, HostMenuOffersTheWindowsMenuAndOpensTheAboutBox) {
  const std::optional<SniItemAddress> item = ProgramItem();
  ASSERT_TRUE(item.has_value());
  const QString menuPath = bus_->MenuPath(*item);
  ASSERT_NE(menuPath.toStdString(), "/NO_DBUSMENU") << "the item offers no menu";
  const std::optional<SniMenuItem> root = bus_->MenuLayout(*item, menuPath);
  ASSERT_TRUE(root.has_value());
  EXPECT_EQ(Labels(*root), kMenuLabels);
  for (const SniMenuItem& entry : root->children) {
    EXPECT_TRUE(entry.properties.value(QStringLiteral("visible")).toBool()) << entry.id;
    if (entry.IsSeparator()) continue;
    EXPECT_TRUE(entry.properties.value(QStringLiteral("enabled")).toBool()) << entry.id;
  }

  const std::optional<QRect> icon = IconInBar();
  ASSERT_TRUE(icon.has_value());
  const std::optional<WindowId> menu = OpenHostMenu(*icon);
  ASSERT_TRUE(menu.has_value()) << "a right click on the icon opened no menu in the host";
  // The bar with the open menu above it, for the record.
  const std::optional<WindowGeometry> menuPlace = e2e::GeometryOf(*menu);
  const std::string screen = e2e::Screenshot("sni-tray-screen.png");
  ASSERT_TRUE(menuPlace.has_value() && !screen.empty());
  const int top = std::max(0, menuPlace->y - 12);
  const QImage screenPicture = PictureOf(screen);
  screenPicture.copy(0, top, menuPlace->x + menuPlace->width + 40, screenPicture.height() - top)
      .save(QString::fromStdString(e2e::ArtifactsDirectory() + "/sni-tray-menu.png"));
  EXPECT_FALSE(e2e::FindWindow(ProgramWindows(), IsPopupMenu).has_value())
      << "the program opened its own menu as well";

  // Its third item, chosen with the keyboard as a user may.
  ASSERT_TRUE(e2e::PressKeys({"Down", "Down", "Down", "Return"}));
  EXPECT_TRUE(e2e::WaitForWindow(ProgramWindows().Named(kAboutTitle)).has_value())
      << "\"&About Pelorin\" in the host's menu did not open the about box";
  EXPECT_TRUE(e2e::WaitUntilHidden(*menu));
  EXPECT_TRUE(program_->Running());
}

TEST_F(SniTrayTest, MenusCloseEndsTheProgram) {
  const std::optional<SniItemAddress> item = ProgramItem();
  ASSERT_TRUE(item.has_value());
  const QString menuPath = bus_->MenuPath(*item);
  const std::optional<SniMenuItem> root = bus_->MenuLayout(*item, menuPath);
  ASSERT_TRUE(root.has_value());
  ASSERT_FALSE(root->children.empty());
  const SniMenuItem& close = root->children.back();
  ASSERT_EQ(close.Label().toStdString(), "_Close");

  ASSERT_TRUE(bus_->MenuEvent(*item, menuPath, close.id, QStringLiteral("clicked")));
  const std::optional<e2e::ExitStatus> status = program_->WaitForExit();
  ASSERT_TRUE(status.has_value()) << "the program is still running";
  EXPECT_EQ(status->code, 0) << status->Describe();
}

}  // namespace
