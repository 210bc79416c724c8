#include "desktop/shell_execute.h"

#include <unistd.h>

#include <QDesktopServices>
#include <QGuiApplication>
#include <QUrl>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "desktop/desktop_seams.h"
#include "desktop/internet_shortcut.h"
#include "os/kernel.h"

namespace os {
namespace {

namespace fs = std::filesystem;

std::string TextOf(const char* argument) {
  return argument == nullptr ? std::string() : std::string(argument);
}

bool Exists(const fs::path& path) {
  std::error_code error;
  return fs::exists(path, error);
}

fs::path BaseDirectory(const std::string& directory) {
  std::error_code error;
  if (!directory.empty() && fs::is_directory(directory, error)) return directory;
  return fs::current_path(error);
}

// A bare name is one of the program's own files, so it is looked for beside the program
// only: a current directory of someone else's choosing could hold a file of the same name.
std::optional<fs::path> FindFile(const std::string& file, const std::string& directory) {
  const fs::path name(file);
  fs::path candidate = name;
  if (!name.has_parent_path()) {
    candidate = fs::path(GetModuleFileName()).parent_path() / name;
  } else if (name.is_relative()) {
    candidate = BaseDirectory(directory) / name;
  }
  return Exists(candidate) ? std::optional(candidate) : std::nullopt;
}

std::optional<std::string> ReadText(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  if (!file || !(text << file.rdbuf())) return std::nullopt;
  return text.str();
}

bool DesktopOpens(const ShellOpening& opening) {
  // The desktop's services belong to the windowed application.
  if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) return false;
  const QString target = QString::fromLocal8Bit(opening.target);
  const QUrl url =
      opening.kind == ShellOpening::Kind::Url ? QUrl(target) : QUrl::fromLocalFile(target);
  return url.isValid() && QDesktopServices::openUrl(url);
}

HINSTANCE Open(const ShellOpening& opening) {
  const DesktopOpener fake = InstalledSeams<DesktopSeams>().openOnDesktop;
  const bool opened = fake ? fake(opening) : DesktopOpens(opening);
  return opened ? kShellExecuteOpened : SE_ERR_NOASSOC;
}

// Verbs compare without regard to letter case; no verb at all means "open".
bool IsOpenVerb(const std::string& operation) {
  return operation.empty() ||
         QString::fromLocal8Bit(operation).compare(QLatin1String("open"), Qt::CaseInsensitive) == 0;
}

HINSTANCE OpenShortcut(const fs::path& path) {
  const std::optional<std::string> text = ReadText(path);
  if (!text) return SE_ERR_ACCESSDENIED;
  const std::optional<std::string> url = InternetShortcutUrl(*text);
  if (!url) return SE_ERR_NOASSOC;
  if (!IsWebAddress(*url)) return SE_ERR_ACCESSDENIED;
  return Open({ShellOpening::Kind::Url, *url});
}

HINSTANCE OpenFile(const fs::path& path) {
  if (::access(path.c_str(), R_OK) != 0) return SE_ERR_ACCESSDENIED;
  std::error_code error;
  const fs::path full = fs::absolute(path, error);
  return Open({ShellOpening::Kind::File, (error ? path : full).lexically_normal().string()});
}

void RecordCall(const ShellExecuteCall& call) {
  const ShellExecuteWatcher watcher = InstalledSeams<DesktopSeams>().shellExecuteCalled;
  if (watcher) watcher(call);
}

}  // namespace

HINSTANCE ShellExecuteA(HWND /*owner*/, const char* operation, const char* file,
                        const char* parameters, const char* directory, int showCommand) {
  const ShellExecuteCall call{TextOf(operation), TextOf(file), TextOf(parameters),
                              TextOf(directory), showCommand};
  RecordCall(call);
  if (!IsOpenVerb(call.operation)) return SE_ERR_NOASSOC;
  if (call.file.empty()) return SE_ERR_FNF;
  const std::optional<fs::path> found = FindFile(call.file, call.directory);
  if (!found) return SE_ERR_FNF;
  return IsInternetShortcutName(found->filename().string()) ? OpenShortcut(*found)
                                                            : OpenFile(*found);
}

ShellRecorder::ShellRecorder(bool desktopOpens)
    : desktopOpens_(desktopOpens),
      seams_(std::make_unique<ScopedSeams<DesktopSeams>>([this](DesktopSeams& seams) {
        seams.shellExecuteCalled = [this](const ShellExecuteCall& call) { RecordCall(call); };
        seams.openOnDesktop = [this](const ShellOpening& opening) {
          return RecordOpening(opening);
        };
      })) {}

ShellRecorder::~ShellRecorder() = default;

std::vector<ShellExecuteCall> ShellRecorder::Calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::vector<ShellOpening> ShellRecorder::Openings() const {
  std::lock_guard lock(mutex_);
  return openings_;
}

void ShellRecorder::RecordCall(const ShellExecuteCall& call) {
  std::lock_guard lock(mutex_);
  calls_.push_back(call);
}

bool ShellRecorder::RecordOpening(const ShellOpening& opening) {
  std::lock_guard lock(mutex_);
  openings_.push_back(opening);
  return desktopOpens_;
}

}  // namespace os
