// Small helpers that the settings dialog and the about box share to lay out their controls
// the way the form designer placed them.
#pragma once

#include <QFont>
#include <QRect>
#include <QString>
#include <QWidget>
#include <string>

class QLabel;

namespace pelorin::form {

// Where "MS Sans Serif" itself is missing, a sans serif of about its width keeps the designed
// texts within their windows (the desktop's default sans is often much wider). Takes effect
// for fonts resolved afterwards, so the start-up installs it before any window exists.
void InstallClassicFontSubstitutes();

// The windows' font: "MS Sans Serif", 8 point (11 pixels high at 96 pixels per inch), or the
// face that stands in for it at the largest size up to that which keeps the designed texts
// within the widths the designer gave them. Needs a QGuiApplication; decided once per run.
QFont ClassicFont();
// The same face at its designed size, chosen without measuring text: for a window that may
// wait hidden, since measuring loads the font and the shaping library.
QFont DesignedFont();

// A control of the given kind with its object name and designed position and size.
template <typename Control>
Control* Place(QWidget* parent, const char* name, const QRect& geometry) {
  auto* control = new Control(parent);
  control->setObjectName(QString::fromLatin1(name));
  control->setGeometry(geometry);
  return control;
}

// A label at its designed position, sized to its text.
QLabel* PlaceLabel(QWidget* parent, const char* name, const QString& caption, QPoint position);

// Places a window by its outer geometry, frame included, as far as the window system knows
// the frame before the window is shown.
void SetOuterGeometry(QWidget* window, const QRect& outer);

// The heading style of the designer's labels: bold, black.
void MakeBoldBlack(QLabel* label);

}  // namespace pelorin::form
