// Where the password for signing in to the mail server comes from: this run's memory, else
// the desktop's keyring, else the user, asked in a small dialog. Never a file.
#pragma once

#include <functional>
#include <optional>
#include <string>

class QWidget;

namespace pelorin {

// Calls `done` with the password for `userName` at `server`, or with nothing when the user
// cancelled; may return before `done` runs (the keyring answers later).
void FetchPassword(QWidget* parent, const std::string& server, const std::string& userName,
                   std::function<void(std::optional<std::string>)> done);

// The server refused the password: it is asked for again at the next send.
void ForgetPassword(const std::string& server, const std::string& userName);

}  // namespace pelorin
