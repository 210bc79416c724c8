#include "app/form_controls.h"

#include <QFontMetrics>
#include <QLabel>
#include <QPalette>
#include <algorithm>

namespace pelorin::form {
namespace {

constexpr int kDesignedPixelSize = 11;  // 8 point at 96 pixels per inch
constexpr int kSmallestPixelSize = 8;

// The widest lines the designer placed (the about box's help text), with the widths they had
// in "MS Sans Serif": a face that fits them fits the narrower texts of every window.
struct DesignedLine {
  const char* text;
  int width;
};
constexpr DesignedLine kWidestLines[] = {
    {"For help on an item, just let the mouse pointer rest over it.", 276},
    {"See the Vantrel home page for the latest updates, changes ", 298},
    {"and help with troubleshooting. Remember to check back often.", 297},
};

// The largest size, up to the designed one, at which the face that stands in for "MS Sans
// Serif" here keeps the lines within their designed widths. The desktop's usual sans serif
// (DejaVu Sans) is about a sixth wider than the designer's face.
int FittingPixelSize() {
  QFont font(QStringLiteral("MS Sans Serif"));
  for (int size = kDesignedPixelSize; size > kSmallestPixelSize; --size) {
    font.setPixelSize(size);
    const QFontMetrics metrics(font);
    const auto fits = [&metrics](const DesignedLine& line) {
      return metrics.horizontalAdvance(QString::fromLatin1(line.text)) <= line.width;
    };
    if (std::all_of(std::begin(kWidestLines), std::end(kWidestLines), fits)) return size;
  }
  return kSmallestPixelSize;
}

}  // namespace

void InstallClassicFontSubstitutes() {
  static const bool installed = [] {
    QFont::insertSubstitutions(
        QStringLiteral("MS Sans Serif"),
        {QStringLiteral("Microsoft Sans Serif"), QStringLiteral("Liberation Sans"),
         QStringLiteral("Arimo"), QStringLiteral("Nimbus Sans"), QStringLiteral("Arial"),
         QStringLiteral("Helvetica")});
    return true;
  }();
  (void)installed;
}

QFont ClassicFont() {
  InstallClassicFontSubstitutes();
  static const int pixelSize = FittingPixelSize();
  QFont font(QStringLiteral("MS Sans Serif"));
  font.setPixelSize(pixelSize);
  return font;
}

QFont DesignedFont() {
  InstallClassicFontSubstitutes();
  QFont font(QStringLiteral("MS Sans Serif"));
  font.setPixelSize(kDesignedPixelSize);
  return font;
}

QLabel* PlaceLabel(QWidget* parent, const char* name, const QString& caption, QPoint position) {
  auto* label = new QLabel(caption, parent);
  label->setObjectName(QString::fromLatin1(name));
  label->move(position);
  label->adjustSize();
  return label;
}

void SetOuterGeometry(QWidget* window, const QRect& outer) {
  window->winId();  // the window system's window, whose frame may be known already
  const QSize frame = window->frameGeometry().size() - window->size();
  window->resize(outer.size() - frame);
  window->move(outer.topLeft());
}

void MakeBoldBlack(QLabel* label) {
  QFont font = label->font();
  font.setBold(true);
  label->setFont(font);
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, Qt::black);
  label->setPalette(palette);
  label->adjustSize();
}

}  // namespace pelorin::form
