#include "os/box_presenter_widgets.h"

namespace os {
namespace {

QMessageBox::StandardButtons ButtonsOf(BoxButtons buttons) {
  if (buttons == BoxButtons::OkCancel) return QMessageBox::Ok | QMessageBox::Cancel;
  return QMessageBox::Ok;
}

QMessageBox::Icon IconOf(BoxIcon icon) {
  return icon == BoxIcon::Error ? QMessageBox::Critical : QMessageBox::NoIcon;
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

}  // namespace os
