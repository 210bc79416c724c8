// Entry of the tests that run on a desktop whose tray is a StatusNotifierItem host: one virtual
// X server and one such tray for the whole test binary, started before the application object,
// which joins the tray's bus so that its own tray icons go there.
#include <gtest/gtest.h>

#include <QApplication>
#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>

#include "e2e/desktop_session.h"
#include "e2e/tray_sni_session.h"

namespace e2e {
namespace {

DesktopSession* g_desktop = nullptr;
SniTraySession* g_tray = nullptr;

}  // namespace

DesktopSession* TheDesktop() {
  return g_desktop;
}

SniTraySession* TheSniTray() {
  return g_tray;
}

}  // namespace e2e

namespace {

constexpr const char* kQtDbusTrayLeak = "leak:libQt6DBus.so\n";

// The programs this binary starts (and the tools) get the same suppressions through
// LeakSanitizer's options; they are read when a program starts, so this binary's own come from
// the function below.
void SuppressQtDbusTrayLeaksInChildren() {
  const char* options = getenv("LSAN_OPTIONS");
  std::string all = options != nullptr ? options : "";
  if (!all.empty()) all += ":";
  all += "suppressions=" PELORIN_QT_DBUS_TRAY_SUPPRESSIONS;
  setenv("LSAN_OPTIONS", all.c_str(), 1);
}

}  // namespace

// Qt's tray icon on the bus leaks a little at exit (tests/sanitizers/qt_dbus_tray.supp).
extern "C" const char* __lsan_default_suppressions() {
  return kQtDbusTrayLeak;
}

int main(int argc, char** argv) {
  // Listing the tests needs no desktop.
  const bool listing = std::any_of(argv, argv + argc, [](const char* argument) {
    return std::string(argument) == "--gtest_list_tests";
  });
  SuppressQtDbusTrayLeaksInChildren();
  std::optional<e2e::DesktopSession> desktop;
  std::optional<e2e::SniTraySession> tray;
  if (!listing) desktop.emplace();
  if (desktop && desktop->Error().empty()) {
    tray.emplace(*desktop);
    if (tray->Error().empty()) tray->JoinThisProcess();
  }
  e2e::g_desktop = desktop ? &*desktop : nullptr;
  e2e::g_tray = tray ? &*tray : nullptr;
  // Without a desktop the tests fail with its error; the application still needs a platform.
  if (!desktop || !desktop->Error().empty()) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
