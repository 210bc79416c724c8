// The shell's notification area as a test sees it: every call recorded with its record, each
// message answered as the test says (every one accepted unless told otherwise). Installed for
// the recorder's life.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "desktop/desktop_seams.h"
#include "desktop/shell_tray.h"

namespace testing_support {

class ShellRecorder {
 public:
  struct Call {
    unsigned message;
    os::NOTIFYICONDATA record;
    std::string Tip() const { return record.szTip; }
  };

  ShellRecorder() = default;
  ShellRecorder(const ShellRecorder&) = delete;
  ShellRecorder& operator=(const ShellRecorder&) = delete;

  std::vector<unsigned> Messages() const {
    std::vector<unsigned> result;
    for (const Call& call : calls) result.push_back(call.message);
    return result;
  }
  void AcceptAll(bool accept) {
    for (unsigned message : {os::NIM_ADD, os::NIM_MODIFY, os::NIM_DELETE})
      answers[message] = accept;
  }

  std::vector<Call> calls;
  std::map<unsigned, bool> answers{
      {os::NIM_ADD, true}, {os::NIM_MODIFY, true}, {os::NIM_DELETE, true}};

 private:
  os::ScopedSeams<os::DesktopSeams> seams_{[this](os::DesktopSeams& seams) {
    seams.shellNotifyIcon = [this](unsigned message, const os::NOTIFYICONDATA& record) {
      calls.push_back({message, record});
      return answers[message];
    };
  }};
};

}  // namespace testing_support
