// The outcome of a send told on the desktop when the send ends while the window is hidden (the
// user closed it with "&Close" in tray mode during the send): the status text the window
// shows then ("Mail has been sent!", or why the mail stays queued), as a notification of the
// desktop or a balloon over the tray icon. While the window is shown, its status line says it.
//
// User-interface thread only.
#pragma once

#include <QImage>
#include <QObject>
#include <QString>

namespace pelorin {

class TfrmMain;

// The program's own picture for its notices, from the program's resources.
QImage ProgramNoticePicture();

class SendOutcomeNotice : public QObject {
  Q_OBJECT
 public:
  explicit SendOutcomeNotice(TfrmMain& window);

 private:
  void SendEnded();

  TfrmMain& window_;
  QString lastStatus_;
};

}  // namespace pelorin
