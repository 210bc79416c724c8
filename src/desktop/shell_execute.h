// Opening a file through the desktop's shell, as ShellExecuteA does with the "open" verb: an
// internet shortcut (.url) opens its URL in the user's browser, any other file opens with the
// desktop's default program for it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "os/seams.h"

namespace os {

class ComponentWindow;
using HWND = ComponentWindow*;
using HINSTANCE = std::intptr_t;

constexpr int SW_SHOWNORMAL = 1;

// Results of 32 and below are failures, as the Windows shell gives them.
constexpr HINSTANCE SE_ERR_FNF = 2;
constexpr HINSTANCE SE_ERR_ACCESSDENIED = 5;
constexpr HINSTANCE SE_ERR_NOASSOC = 31;
constexpr HINSTANCE kShellExecuteOpened = 42;

// Opens `file` with the verb `operation` ("open", or null for the same).
// - Where the file is looked for: a name with a directory part as it stands, relative to
//   `directory` when that names an existing directory, else to the current directory. A bare
//   name is looked for beside the program only: it names one of the program's own files (its
//   web shortcut), and the current directory of a program started from the tray or the
//   desktop is anybody's choice.
// - A shortcut opens only an http or https address (see IsWebAddress).
// - `owner`, `parameters` and `showCommand` change nothing: documents and shortcuts are
//   opened, programs are never run.
// Returns a value above 32 when the desktop took the request (kShellExecuteOpened);
// SE_ERR_FNF when there is no such file, SE_ERR_ACCESSDENIED when it cannot be read or is a
// shortcut to anything but a web page, SE_ERR_NOASSOC for another verb, a shortcut without a
// URL, or a file the desktop could not open.
HINSTANCE ShellExecuteA(HWND owner, const char* operation, const char* file, const char* parameters,
                        const char* directory, int showCommand);

// The arguments of one call, for tests; null arguments are kept as empty texts.
struct ShellExecuteCall {
  std::string operation;
  std::string file;
  std::string parameters;
  std::string directory;
  int showCommand = 0;
  bool operator==(const ShellExecuteCall&) const = default;
};

// What the desktop was asked to open: a URL, or the full path of a file.
struct ShellOpening {
  enum class Kind { Url, File };
  Kind kind = Kind::Url;
  std::string target;
  bool operator==(const ShellOpening&) const = default;
};

// What a test puts in the desktop's seams (desktop/desktop_seams.h): told of every call, and
// asked to open in the desktop's place (returns whether it was opened).
using ShellExecuteWatcher = std::function<void(const ShellExecuteCall& call)>;
using DesktopOpener = std::function<bool(const ShellOpening& opening)>;

struct DesktopSeams;

// While alive, installed in the desktop's seams: every call is recorded, and what the desktop
// would be asked to open is recorded instead of being opened and answered with `desktopOpens`.
class ShellRecorder {
 public:
  explicit ShellRecorder(bool desktopOpens = true);
  ~ShellRecorder();
  ShellRecorder(const ShellRecorder&) = delete;
  ShellRecorder& operator=(const ShellRecorder&) = delete;

  std::vector<ShellExecuteCall> Calls() const;
  std::vector<ShellOpening> Openings() const;

  void RecordCall(const ShellExecuteCall& call);
  bool RecordOpening(const ShellOpening& opening);

 private:
  mutable std::mutex mutex_;
  std::vector<ShellExecuteCall> calls_;
  std::vector<ShellOpening> openings_;
  bool desktopOpens_;
  std::unique_ptr<ScopedSeams<DesktopSeams>> seams_;  // last: installed once the recorder is whole
};

}  // namespace os
