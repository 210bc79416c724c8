// Where the password for signing in to the mail server comes from: this run's memory, else
// the desktop's keyring, else the user, asked in a small dialog; what the user gives is kept
// in the keyring. Never a file. Without a keyring a box says so, once a run, and the password
// is asked for at each send. All on the user-interface thread.
#pragma once

#include <functional>
#include <optional>
#include <string>

class QWidget;

namespace pelorin {

// Said once a run when the keyring cannot be reached or refuses; its own words follow.
inline constexpr const char* kNoKeyringText =
    "No keyring is available, so the password is not kept: it is asked for at each send.";

// Calls `done` with the password for `userName` at `server`, or with nothing when the user
// cancelled; may return before `done` runs (the keyring answers later). Fetches for the same
// user and server while one is under way share its answer. `parent` is the window the
// question is asked over; when it goes away first, `done` is not called.
void FetchPassword(QWidget* parent, const std::string& server, const std::string& userName,
                   std::function<void(std::optional<std::string>)> done);

// As FetchPassword, but never asks: nothing when neither this run's memory nor the keyring
// has the password. For sends nobody started.
void FetchKeptPassword(const std::string& server, const std::string& userName,
                       std::function<void(std::optional<std::string>)> done);

// Keeps `password` in the keyring (and this run's memory) for the next sends; `settled` runs
// once the keyring has answered, after any box.
void SavePassword(const std::string& server, const std::string& userName,
                  const std::string& password, std::function<void()> settled = {});

// The server refused the password: it leaves memory and keyring, and is asked for again at
// the next send. `settled` as above.
void ForgetPassword(const std::string& server, const std::string& userName,
                    std::function<void()> settled = {});

// Forgets this run's passwords and that the missing keyring was reported, as a new run would.
void ResetPasswordSourceForTesting();

}  // namespace pelorin
