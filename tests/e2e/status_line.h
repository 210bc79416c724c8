// The main window's status line read on the screen: its picture compared with one of the
// expected text drawn here, by the same Qt on the same desktop, as the program draws it.
#pragma once

#include <gtest/gtest.h>

#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QLabel>
#include <QWidget>
#include <cstring>
#include <optional>
#include <string>

#include "app/form_controls.h"
#include "e2e/desktop_session.h"
#include "e2e/desktop_windows.h"
#include "support/event_loop.h"
#include "support/main_window_layout.h"

namespace e2e {

inline constexpr int kStatusTimeoutMs = 20000;

// The main window's client size and where its status label starts.
inline constexpr int kWindowWidth = testing_support::kMainWindowPlace.width;
inline constexpr int kWindowHeight = testing_support::kMainWindowPlace.height;
inline constexpr Point kStatusLabel = testing_support::kStatusLabelPlace;

// The part of the main window where the status label shows `text`, drawn here: a window of the
// same size and font with a label placed and sized as the program places and sizes its own.
inline QImage StatusPicture(const std::string& text) {
  QWidget window;
  window.setFixedSize(kWindowWidth, kWindowHeight);
  const QFont font = pelorin::form::ClassicFont();
  window.setFont(font);
  // The status line ends where the fields end; a longer text is shown cut, with an ellipsis.
  constexpr int kStatusRight = 349;
  const QString shownText = QFontMetrics(font).elidedText(
      QString::fromStdString(text), Qt::ElideRight, kStatusRight - kStatusLabel.x);
  auto* label = new QLabel(shownText, &window);
  label->move(kStatusLabel.x, kStatusLabel.y);
  // One line of the font high, as the program's status label is.
  label->resize(QFontMetrics(font).horizontalAdvance(shownText), QFontMetrics(font).height());
  const QRect shown = label->geometry().intersected(window.rect());
  return window.grab().toImage().convertToFormat(QImage::Format_RGB32).copy(shown);
}

// The same part of the program's window as it is on the screen now.
inline std::optional<QImage> ShownStatus(WindowId window, const QSize& size,
                                         const std::string& file) {
  const std::string path = Screenshot(file, window);
  if (path.empty()) return std::nullopt;
  const QImage picture = QImage(QString::fromStdString(path)).convertToFormat(QImage::Format_RGB32);
  return picture.copy(QRect(QPoint(kStatusLabel.x, kStatusLabel.y), size));
}

// Pixel by pixel: a picture read from a file carries a colour space that one drawn here has not,
// and QImage's comparison counts that as a difference.
inline bool SamePixels(const std::optional<QImage>& shown, const QImage& expected) {
  if (!shown || shown->size() != expected.size()) return false;
  const std::size_t rowBytes = static_cast<std::size_t>(expected.width()) * 4;
  for (int y = 0; y < expected.height(); ++y) {
    if (std::memcmp(shown->constScanLine(y), expected.constScanLine(y), rowBytes) != 0) {
      return false;
    }
  }
  return true;
}

// Not one colour all over: text was drawn.
inline bool ShowsSomething(const QImage& picture) {
  for (int y = 0; y < picture.height(); ++y) {
    for (int x = 0; x < picture.width(); ++x) {
      if (picture.pixel(x, y) != picture.pixel(0, 0)) return true;
    }
  }
  return false;
}

// Waits until the status line shows `text`; the last picture taken is kept among the
// artifacts as `file`, the expected one beside it.
inline bool WaitForStatus(WindowId window, const std::string& text, const std::string& file) {
  const QImage expected = StatusPicture(text);
  if (!ShowsSomething(expected)) {
    ADD_FAILURE() << "the status text drawn here is blank: the pictures tell nothing apart";
    return false;
  }
  expected.save(QString::fromStdString(ArtifactsDirectory() + "/expected-" + file));
  const bool shown = testing_support::RunEventsUntil(
      [&] { return SamePixels(ShownStatus(window, expected.size(), file), expected); },
      kStatusTimeoutMs);
  if (!shown) {
    ADD_FAILURE() << "the status line does not read \"" << text << "\": compare " << file
                  << " with expected-" << file << " in " << ArtifactsDirectory();
  }
  return shown;
}

}  // namespace e2e
