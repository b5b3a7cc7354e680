#pragma once

#include <QCheckBox>

namespace orv {

// A check box addressed by value: 0 clear, 1 ticked, 2 greyed. Setting a
// different value by code raises valueChanged just as a click does.
class CheckBox : public QCheckBox {
  Q_OBJECT

 public:
  explicit CheckBox(const QString& caption, QWidget* parent = nullptr);

  int value() const;
  // Throws std::invalid_argument for a value other than 0, 1 or 2.
  void setValue(int value);

 signals:
  void valueChanged();

 protected:
  // A click ticks a clear or greyed box and clears a ticked one; the greyed
  // state is for code only.
  void nextCheckState() override;
};

}  // namespace orv
