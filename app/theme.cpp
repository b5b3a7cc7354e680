#include "app/theme.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QPalette>
#include <QRadioButton>
#include <QStringDecoder>
#include <QWidget>
#include <stdexcept>

namespace orv {

namespace {

bool takesFaceColour(QWidget* control) {
  return qobject_cast<QRadioButton*>(control) || qobject_cast<QCheckBox*>(control) ||
         qobject_cast<QGroupBox*>(control) || qobject_cast<QLabel*>(control);
}

QString skinPath(const QString& applicationFolder) {
  return applicationFolder + QStringLiteral("/x/o.cjs");
}

}  // namespace

QColor faceColour() { return QApplication::palette().color(QPalette::Active, QPalette::Button); }

void setBackColour(QWidget& widget, const QColor& colour) {
  // Buttons, check boxes among them, fill with the Button role, the rest with Window.
  QPalette palette = widget.palette();
  palette.setColor(widget.backgroundRole(), colour);
  widget.setPalette(palette);
  widget.setAutoFillBackground(true);
}

QString readSkin(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    throw std::runtime_error("The skin file " + path.toStdString() +
                             " could not be read: " + file.errorString().toStdString() + ".");
  }
  const QByteArray bytes = file.readAll();
  QStringDecoder decoder(QStringDecoder::Utf8);
  QString text = decoder(bytes);
  if (decoder.hasError()) {
    throw std::runtime_error("The skin file " + path.toStdString() +
                             " is not UTF-8 text, so it cannot be used as the window's theme.");
  }
  return text;
}

void ApplyTheme(QWidget& form, const std::vector<QWidget*>& controls,
                const QString& applicationFolder) {
  // A plain listing: a folder or a hidden entry of that name does not count.
  const QDir skinFolder(applicationFolder + QStringLiteral("/x"));
  if (skinFolder.entryList({QStringLiteral("o.cjs")}, QDir::Files | QDir::CaseSensitive)
          .isEmpty()) {
    return;
  }
  const QColor face = faceColour();
  setBackColour(form, face);
  for (QWidget* control : controls) {
    if (takesFaceColour(control)) setBackColour(*control, face);
  }
  // The skin is our own theme: a style sheet for the whole window.
  form.setStyleSheet(readSkin(skinPath(applicationFolder)));
}

}  // namespace orv
