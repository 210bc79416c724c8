#include "app/dialog_commands.h"

#include <QApplication>
#include <QWidget>

#include "app/frm_about.h"
#include "app/frm_settings.h"

namespace pelorin {
namespace {

void RestoreApplication() {
  for (QWidget* window : QApplication::topLevelWidgets()) {
    if (window->isVisible() && window->isMinimized()) {
      window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
    }
  }
}

void ShowModeless(QWidget* window) {
  window->show();
  window->raise();
  window->activateWindow();
}

}  // namespace

void OpenSettingsDialog(QWidget* owner) {
  // A dialog closed by the window system rather than with OK or Cancel is still the open one;
  // one that went with its owner is not.
  if (!SettingsOpen || !frmSettings) frmSettings = new TfrmSettings(owner);
  RestoreApplication();
  ShowModeless(frmSettings);
}

void OpenAboutBox(QWidget* owner) {
  // Even the first box is made here rather than hidden at start-up: in tray mode the program
  // would otherwise hold the box's widgets and bold font all day for a window that is seldom
  // opened.
  if (!AboutOpen || !frmAbout) frmAbout = new TfrmAbout(owner);
  ShowModeless(frmAbout);
}

void ShowSettingsForFirstRun() {
  frmSettings = new TfrmSettings();
  frmSettings->show();
}

void DestroyDialogs() {
  delete frmAbout.data();
  delete frmSettings.data();
}

}  // namespace pelorin
