// Message boxes, one function for each kind the program shows. The boxes themselves are
// drawn by the presenter in this layer's seams, which the windowed part of the program
// installs; tests install a recorder instead. The windowed presenter shows a box requested on
// another thread on the user-interface thread while the caller waits. A box may also be opened
// without waiting (OpenBox): its closing then calls back, and no nested event loop runs
// meanwhile.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "os/seams.h"

class QObject;

namespace os {

enum class BoxButtons { Ok, OkCancel };
enum class BoxIcon { None, Error };
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

struct BoxRequest {
  std::string text;
  std::string caption;
  BoxButtons buttons = BoxButtons::Ok;
  BoxIcon icon = BoxIcon::None;
  bool operator==(const BoxRequest&) const = default;
};

// Shows the box modally and returns the button chosen (IDOK or IDCANCEL).
using BoxPresenter = std::function<int(const BoxRequest&)>;
// Told the button chosen (IDOK or IDCANCEL) once an opened box is closed.
using BoxClosed = std::function<void(int answer)>;
// Opens the box modally and returns at once; `closed` runs when the user closes it, unless
// `owner` is gone by then, and the box goes with `owner`.
using BoxOpener = std::function<void(const BoxRequest&, QObject* owner, BoxClosed closed)>;

void SetApplicationTitle(const std::string& title);
std::string ApplicationTitle();

// The services of this layer that a test may swap. An empty member leaves its service to the
// terminal: the box is written to the standard error and answered with IDOK at once.
struct OsSeams {
  BoxPresenter presentBox;  // runs on the thread that asks for the box
  BoxOpener openBox;        // user-interface thread only; empty: presentBox, then `closed`
};
template <>
OsSeams InstalledSeams<OsSeams>();
template <>
void InstallSeams<OsSeams>(OsSeams seams);

// A presenter that shows each box through `presenter` on the user-interface thread, the caller
// waiting there when it asks from another thread.
BoxPresenter PresentedOnUserInterfaceThread(BoxPresenter presenter);

// At most this many lines of a text go into a plain message box.
constexpr std::size_t kMessageLineLimit = 20;

// The text of a plain message box: unchanged up to kMessageLineLimit lines; longer, its first
// lines, then "..." and "(<n> more lines not shown)" on lines of their own, ended like the last
// line kept. A box taller than the screen would hide its OK button (a server can answer with
// thousands of lines). Lines end at LF or CR LF; a line end at the very end starts no line.
std::string BoundedMessageText(const std::string& text);

// The framework's plain message: the text, an OK button, titled with the application title.
void ShowMessage(const std::string& text);
// The socket component's boxes: a text, a caption and the buttons OK and Cancel.
int SocketMessageBox(const std::string& text, const std::string& caption);
// A question with OK and Cancel, titled with the application title; IDOK or IDCANCEL.
int AskOkCancel(const std::string& text);
// The framework's error box for a failure that no handler caught: the failure text followed
// by ".", titled with the application title, with an error icon.
void ShowErrorBox(const std::string& failureText);
// The box that ends a failed start-up, titled "Application Error", with an error icon.
void ShowFatalBox(const std::string& failureText);

// The requests of ShowMessage, AskOkCancel and ShowErrorBox, for OpenBox.
BoxRequest MessageRequest(const std::string& text);
BoxRequest OkCancelRequest(const std::string& text);
BoxRequest ErrorRequest(const std::string& failureText);

// Opens the box and returns without waiting for it; user-interface thread only. `closed` runs
// there with the button chosen once the box is closed, never after `owner` is gone. A recorder
// answers at once, inside this call, or later from the event queue (AnswerLater): whoever opens
// a box must behave alike either way. Without a windowed presenter the box goes to the terminal
// and is answered at once.
void OpenBox(const BoxRequest& request, QObject* owner, BoxClosed closed);

// While alive, installed as the boxes' seams: every box is recorded and answered at once with
// `answer`, on the calling thread, instead of being shown; an opened box too, unless
// AnswerLater asks for its answer to come from the event queue, as a user's would.
class BoxRecorder {
 public:
  explicit BoxRecorder(int answer = IDOK);
  ~BoxRecorder();
  BoxRecorder(const BoxRecorder&) = delete;
  BoxRecorder& operator=(const BoxRecorder&) = delete;

  std::vector<BoxRequest> Boxes() const;
  std::vector<std::string> Texts() const;
  void Clear();
  // Runs before each recorded box is answered (on the thread that asked for it).
  void OnBox(std::function<void(const BoxRequest&)> hook);
  void AnswerLater(bool later);
  bool AnswersLater() const;

  int Record(const BoxRequest& request);

 private:
  void Open(const BoxRequest& request, QObject* owner, BoxClosed closed);

  mutable std::mutex mutex_;
  std::vector<BoxRequest> boxes_;
  std::function<void(const BoxRequest&)> hook_;
  int answer_;
  bool later_ = false;
  ScopedSeams<OsSeams> seams_;  // last: installed once the recorder is whole
};

}  // namespace os
