// The windowed presenter of the message boxes: each request becomes a QMessageBox.
#pragma once

#include <QMessageBox>
#include <memory>

#include "os/msgbox.h"

namespace os {

// The box for a request: its text as plain text, its caption, its buttons and its icon.
std::unique_ptr<QMessageBox> CreateMessageBox(const BoxRequest& request);

// Shows the box modally and returns IDOK or IDCANCEL; closing a box that has a Cancel
// button counts as Cancel. Installed with SetBoxPresenter by the start-up.
int ShowBoxInWindow(const BoxRequest& request);

}  // namespace os
