#include "app/form_controls.h"

#include <QLabel>
#include <QPalette>

namespace pelorin::form {

QString FromLocal(const std::string& text) {
  return QString::fromLocal8Bit(text);
}

std::string ToLocal(const QString& text) {
  return text.toLocal8Bit().toStdString();
}

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
  QFont font(QStringLiteral("MS Sans Serif"));
  font.setPixelSize(11);
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
