#pragma once

#include <QGroupBox>

namespace orv {

// A frame whose interior is its own background colour. The desktop style
// tints a group box's inside, which left the window's white labels and check
// box as blocks on a grey ground; this frame draws only a thin border. Under
// a skin the skin's style sheet draws the frame as it says.
class FrameBox : public QGroupBox {
  Q_OBJECT

 public:
  explicit FrameBox(const QString& title, QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace orv
