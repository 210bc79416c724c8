// Opens the desktop's default web browser at an address: xdg-open, the desktop's own way,
// when it is on PATH, otherwise the command that BROWSER names. Only the address is handed
// over, never a token.
#pragma once

#include <functional>
#include <string>

class QObject;

namespace pelorin::oauth {

// False, with the reason in `failure`, when there is no display or no browser to start.
// `failed` is called, while `context` lives, when the opener ends at once with a failure.
bool OpenBrowser(const std::string& url, QObject* context, std::string* failure,
                 std::function<void(const std::string& failure)> failed);

}  // namespace pelorin::oauth
