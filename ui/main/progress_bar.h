#pragma once

#include <QProgressBar>

namespace orv {

// A progress bar from 0 to 100 that shows a text of its own rather than a
// percentage, and keeps the exact value it was given.
class ProgressBar : public QProgressBar {
  Q_OBJECT

 public:
  explicit ProgressBar(QWidget* parent = nullptr);

  double exactValue() const { return exactValue_; }
  // Throws std::out_of_range outside 0..100.
  void setExactValue(double value);
  void setText(const QString& text);
  QString text() const override;

 private:
  double exactValue_ = 0;
  QString text_;
};

}  // namespace orv
