#include "os/box_presenter_widgets.h"

#include <QAbstractButton>
#include <QPointer>

namespace os {
namespace {

QMessageBox::StandardButtons ButtonsOf(BoxButtons buttons) {
  if (buttons == BoxButtons::OkCancel) return QMessageBox::Ok | QMessageBox::Cancel;
  return QMessageBox::Ok;
}

QMessageBox::Icon IconOf(BoxIcon icon) {
  return icon == BoxIcon::Error ? QMessageBox::Critical : QMessageBox::NoIcon;
}

// As exec() reports it: a box closed through its window (no button clicked yet when it says it
// is finished) counts as its escape button, Cancel where it has one.
int ChosenButton(const QMessageBox& box) {
  QAbstractButton* button = box.clickedButton();
  if (button == nullptr) button = box.escapeButton();
  return box.standardButton(button) == QMessageBox::Cancel ? IDCANCEL : IDOK;
}

}  // namespace

std::unique_ptr<QMessageBox> CreateMessageBox(const BoxRequest& request) {
  auto box = std::make_unique<QMessageBox>();
  // Server replies hold "<address>" texts that rich text would swallow.
  box->setTextFormat(Qt::PlainText);
  box->setText(QString::fromLocal8Bit(request.text));
  box->setWindowTitle(QString::fromLocal8Bit(request.caption));
  box->setIcon(IconOf(request.icon));
  box->setStandardButtons(ButtonsOf(request.buttons));
  box->setDefaultButton(QMessageBox::Ok);
  if (request.buttons == BoxButtons::OkCancel) box->setEscapeButton(QMessageBox::Cancel);
  return box;
}

int ShowBoxInWindow(const BoxRequest& request) {
  const auto box = CreateMessageBox(request);
  return box->exec() == QMessageBox::Cancel ? IDCANCEL : IDOK;
}

void OpenBoxInWindow(const BoxRequest& request, QObject* owner, BoxClosed closed) {
  QMessageBox* box = CreateMessageBox(request).release();
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::ApplicationModal);
  // The guard, not the connection's context: an owner being destroyed is still connected.
  QObject::connect(box, &QDialog::finished, box,
                   [box, closed = std::move(closed), guard = QPointer<QObject>(owner)] {
                     if (guard) closed(ChosenButton(*box));
                   });
  QObject::connect(owner, &QObject::destroyed, box, [box] {
    box->hide();
    box->deleteLater();
  });
  box->show();
}

OsSeams WindowedBoxSeams() {
  return {PresentedOnUserInterfaceThread(ShowBoxInWindow), OpenBoxInWindow};
}

}  // namespace os
