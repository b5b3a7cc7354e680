#include "ui/main/progress_bar.h"

#include <cmath>
#include <stdexcept>
#include <string>

namespace orv {

ProgressBar::ProgressBar(QWidget* parent) : QProgressBar(parent) {
  setRange(0, 100);
  setValue(0);
  setTextVisible(true);
  setAlignment(Qt::AlignCenter);
}

void ProgressBar::setExactValue(double value) {
  if (!(value >= 0.0 && value <= 100.0)) {
    throw std::out_of_range("The progress bar cannot show " + std::to_string(value) +
                            ": it runs from 0 to 100.");
  }
  exactValue_ = value;
  setValue(static_cast<int>(std::lround(value)));
}

void ProgressBar::setText(const QString& text) {
  text_ = text;
  // "%" starts Qt's placeholders; the text is shown as it is.
  QString format = text;
  format.replace(u'%', QStringLiteral("%%"));
  setFormat(format);
}

QString ProgressBar::text() const { return text_; }

}  // namespace orv
