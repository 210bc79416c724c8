// Entry of the tests that run on a desktop: one virtual X server with a notification area for
// the whole test binary, started before the application object so that it runs on it.
#include <gtest/gtest.h>

#include <QApplication>
#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>

#include "e2e/desktop_session.h"

namespace e2e {
namespace {

DesktopSession* g_desktop = nullptr;

}  // namespace

DesktopSession* TheDesktop() {
  return g_desktop;
}

}  // namespace e2e

int main(int argc, char** argv) {
  // Listing the tests needs no desktop.
  const bool listing = std::any_of(argv, argv + argc, [](const char* argument) {
    return std::string(argument) == "--gtest_list_tests";
  });
  std::optional<e2e::DesktopSession> desktop;
  if (!listing) desktop.emplace();
  e2e::g_desktop = desktop ? &*desktop : nullptr;
  // Without a desktop the tests fail with its error; the application still needs a platform.
  if (!desktop || !desktop->Error().empty()) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
