// Test entry: a Qt application object on the main thread, as the program has, so that
// component windows, posted messages and timers work in every test.
#include <gtest/gtest.h>

#include <QCoreApplication>

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
