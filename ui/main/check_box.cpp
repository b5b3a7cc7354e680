#include "ui/main/check_box.h"

#include <stdexcept>
#include <string>

namespace orv {

CheckBox::CheckBox(const QString& caption, QWidget* parent) : QCheckBox(caption, parent) {
  connect(this, &QCheckBox::stateChanged, this, &CheckBox::valueChanged);
}

int CheckBox::value() const {
  switch (checkState()) {
    case Qt::Checked:
      return 1;
    case Qt::PartiallyChecked:
      return 2;
    default:
      return 0;
  }
}

void CheckBox::setValue(int value) {
  switch (value) {
    case 0:
      setCheckState(Qt::Unchecked);
      break;
    case 1:
      setCheckState(Qt::Checked);
      break;
    case 2:
      setCheckState(Qt::PartiallyChecked);
      break;
    default:
      throw std::invalid_argument("The check box cannot take the value " + std::to_string(value) +
                                  ": it takes 0 (clear), 1 (ticked) or 2 (greyed).");
  }
}

void CheckBox::nextCheckState() {
  setCheckState(checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked);
}

}  // namespace orv
