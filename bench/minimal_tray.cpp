// The smallest Qt Widgets program with an icon in the notification area: the yardstick that
// bench/memory.sh measures the program against. It shows the icon from the file given as its
// argument and does nothing else until it is ended.
//
//   pelorin_minimal_tray ICON_FILE
#include <QApplication>
#include <QIcon>
#include <QSystemTrayIcon>
#include <cstdio>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: pelorin_minimal_tray ICON_FILE\n");
    return 2;
  }
  const QIcon icon(QString::fromLocal8Bit(argv[1]));
  if (icon.availableSizes().isEmpty()) {
    std::fprintf(stderr, "pelorin_minimal_tray: cannot read the icon %s\n", argv[1]);
    return 1;
  }
  if (!QSystemTrayIcon::isSystemTrayAvailable()) {
    std::fprintf(stderr, "pelorin_minimal_tray: the desktop has no notification area\n");
    return 1;
  }
  QSystemTrayIcon trayIcon(icon);
  trayIcon.show();
  return app.exec();
}
