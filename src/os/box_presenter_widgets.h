// The windowed presenter of the message boxes: each request becomes a QMessageBox.
#pragma once

#include <QMessageBox>
#include <memory>

#include "os/msgbox.h"

namespace os {

// The box for a request: its text as plain text, its caption, its buttons and its icon.
std::unique_ptr<QMessageBox> CreateMessageBox(const BoxRequest& request);

// Shows the box modally and returns IDOK or IDCANCEL; closing a box that has a Cancel
// button counts as Cancel.
int ShowBoxInWindow(const BoxRequest& request);

// Opens the box application-modal without a nested event loop and returns at once; `closed`
// gets IDOK or IDCANCEL as ShowBoxInWindow would return them.
void OpenBoxInWindow(const BoxRequest& request, QObject* owner, BoxClosed closed);

// The seams the windowed program installs at start-up: ShowBoxInWindow on the user-interface
// thread, whichever thread asks, and OpenBoxInWindow.
OsSeams WindowedBoxSeams();

}  // namespace os
