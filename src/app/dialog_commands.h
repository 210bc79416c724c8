// Opening the settings dialog and the about box: from the main window's menu, and at start-up.
#pragma once

class QWidget;

namespace pelorin {

// The Properties command: a new settings dialog owned by `owner` unless one is open, the
// application's minimised windows restored, then the dialog shown, modeless.
void OpenSettingsDialog(QWidget* owner);

// The About command: a new about box owned by `owner` unless one is open, then shown,
// modeless. No box exists before the first About command.
void OpenAboutBox(QWidget* owner);

// Start-up without a configuration file: the settings dialog, without owner, shown.
void ShowSettingsForFirstRun();

// The end of the run: destroys the about box and the settings dialog that still exist.
void DestroyDialogs();

}  // namespace pelorin
