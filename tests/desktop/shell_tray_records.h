// What the shell tray tests share: a window that keeps the messages an icon sends it, a
// picture, and an icon record for a window.
#pragma once

#include <QIcon>
#include <QPixmap>
#include <cstdint>
#include <vector>

#include "desktop/shell_tray.h"
#include "os/messages.h"

namespace shell_tray_test {

class RecordingWindow : public os::ComponentWindow {
 public:
  void HandleMessage(const os::Message& message) override { received.push_back(message); }
  std::vector<unsigned> MouseMessages() const {
    std::vector<unsigned> result;
    for (const auto& m : received) result.push_back(static_cast<unsigned>(m.lParam));
    return result;
  }
  std::vector<os::Message> received;
};

inline QIcon RedSquare() {
  QPixmap pixmap(16, 16);
  pixmap.fill(Qt::red);
  return QIcon(pixmap);
}

// An icon with a callback message and a tip, and a picture when one is given.
inline os::NOTIFYICONDATA IconRecord(os::ComponentWindow* window, std::uint32_t id,
                                     const QIcon* picture = nullptr) {
  os::NOTIFYICONDATA record;
  record.cbSize = os::NOTIFYICONDATA_SIZE;
  record.hWnd = window;
  record.uID = id;
  record.uFlags = os::NIF_MESSAGE | os::NIF_ICON | os::NIF_TIP;
  record.uCallbackMessage = os::WM_USER;
  record.hIcon = picture;
  return record;
}

}  // namespace shell_tray_test
