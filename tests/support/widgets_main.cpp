// Test entry for window and tray tests: a QApplication on the main thread, offscreen unless
// the run asks for another platform (the test listing runs without CTest's environment).
#include <gtest/gtest.h>

#include <QApplication>
#include <QTemporaryDir>

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  // Queued mail goes to a state directory of this run's own, never the user's.
  const QTemporaryDir state;
  if (!state.isValid()) return 2;
  qputenv("XDG_STATE_HOME", state.path().toUtf8());
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
