#include "os/msgbox.h"

#include <QCoreApplication>
#include <QThread>
#include <cstdio>

namespace os {
namespace {

std::mutex g_stateMutex;
std::string g_applicationTitle;
OsSeams g_seams;

// Without a windowed presenter (a program without widgets) the box still reaches the user.
int PresentOnTerminal(const BoxRequest& request) {
  std::fprintf(stderr, "[%s] %s\n", request.caption.c_str(), request.text.c_str());
  return IDOK;
}

int Show(const BoxRequest& request) {
  const BoxPresenter presenter = InstalledSeams<OsSeams>().presentBox;
  if (!presenter) return PresentOnTerminal(request);
  return presenter(request);
}

}  // namespace

std::string BoundedMessageText(const std::string& text) {
  std::size_t end = 0;  // just past the line end of the last line kept
  for (std::size_t kept = 0; kept < kMessageLineLimit; ++kept) {
    const std::size_t lineFeed = text.find('\n', end);
    if (lineFeed == std::string::npos || lineFeed + 1 == text.size()) return text;
    end = lineFeed + 1;
  }
  std::size_t hidden = 1;  // the line that starts at `end`
  for (std::size_t i = end; i + 1 < text.size(); ++i) {
    if (text[i] == '\n') ++hidden;
  }
  const std::string lineEnd = end >= 2 && text[end - 2] == '\r' ? "\r\n" : "\n";
  return text.substr(0, end) + "..." + lineEnd + "(" + std::to_string(hidden) +
         (hidden == 1 ? " more line not shown)" : " more lines not shown)");
}

void SetApplicationTitle(const std::string& title) {
  std::lock_guard lock(g_stateMutex);
  g_applicationTitle = title;
}

std::string ApplicationTitle() {
  std::lock_guard lock(g_stateMutex);
  return g_applicationTitle;
}

template <>
OsSeams InstalledSeams<OsSeams>() {
  std::lock_guard lock(g_stateMutex);
  return g_seams;
}

template <>
void InstallSeams<OsSeams>(OsSeams seams) {
  std::lock_guard lock(g_stateMutex);
  g_seams = std::move(seams);
}

BoxPresenter PresentedOnUserInterfaceThread(BoxPresenter presenter) {
  return [presenter = std::move(presenter)](const BoxRequest& request) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || app->thread() == QThread::currentThread()) return presenter(request);
    int answer = IDOK;
    QMetaObject::invokeMethod(
        app, [&] { answer = presenter(request); }, Qt::BlockingQueuedConnection);
    return answer;
  };
}

BoxRequest MessageRequest(const std::string& text) {
  return {BoundedMessageText(text), ApplicationTitle(), BoxButtons::Ok, BoxIcon::None};
}

BoxRequest OkCancelRequest(const std::string& text) {
  return {text, ApplicationTitle(), BoxButtons::OkCancel, BoxIcon::None};
}

BoxRequest ErrorRequest(const std::string& failureText) {
  return {failureText + ".", ApplicationTitle(), BoxButtons::Ok, BoxIcon::Error};
}

void ShowMessage(const std::string& text) {
  Show(MessageRequest(text));
}

int SocketMessageBox(const std::string& text, const std::string& caption) {
  return Show({text, caption, BoxButtons::OkCancel, BoxIcon::None});
}

int AskOkCancel(const std::string& text) {
  return Show(OkCancelRequest(text));
}

void ShowErrorBox(const std::string& failureText) {
  Show(ErrorRequest(failureText));
}

void OpenBox(const BoxRequest& request, QObject* owner, BoxClosed closed) {
  const BoxOpener opener = InstalledSeams<OsSeams>().openBox;
  if (opener) return opener(request, owner, std::move(closed));
  closed(Show(request));
}

void ShowFatalBox(const std::string& failureText) {
  Show({failureText, "Application Error", BoxButtons::Ok, BoxIcon::Error});
}

BoxRecorder::BoxRecorder(int answer)
    : answer_(answer),
      seams_({[this](const BoxRequest& request) { return Record(request); },
              [this](const BoxRequest& request, QObject* owner, BoxClosed closed) {
                Open(request, owner, std::move(closed));
              }}) {}

BoxRecorder::~BoxRecorder() = default;

void BoxRecorder::Open(const BoxRequest& request, QObject* owner, BoxClosed closed) {
  const int answer = Record(request);
  if (!AnswersLater()) return closed(answer);
  QMetaObject::invokeMethod(
      owner, [closed = std::move(closed), answer] { closed(answer); }, Qt::QueuedConnection);
}

std::vector<BoxRequest> BoxRecorder::Boxes() const {
  std::lock_guard lock(mutex_);
  return boxes_;
}

std::vector<std::string> BoxRecorder::Texts() const {
  std::vector<std::string> texts;
  for (const BoxRequest& box : Boxes()) texts.push_back(box.text);
  return texts;
}

void BoxRecorder::Clear() {
  std::lock_guard lock(mutex_);
  boxes_.clear();
}

void BoxRecorder::OnBox(std::function<void(const BoxRequest&)> hook) {
  std::lock_guard lock(mutex_);
  hook_ = std::move(hook);
}

void BoxRecorder::AnswerLater(bool later) {
  std::lock_guard lock(mutex_);
  later_ = later;
}

bool BoxRecorder::AnswersLater() const {
  std::lock_guard lock(mutex_);
  return later_;
}

int BoxRecorder::Record(const BoxRequest& request) {
  std::function<void(const BoxRequest&)> hook;
  {
    std::lock_guard lock(mutex_);
    boxes_.push_back(request);
    hook = hook_;
  }
  if (hook) hook(request);
  return answer_;
}

}  // namespace os
