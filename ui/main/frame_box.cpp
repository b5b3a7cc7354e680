#include "ui/main/frame_box.h"

#include <QStyleOptionGroupBox>
#include <QStylePainter>
#include <algorithm>

namespace orv {

namespace {

// The gap the desktop style leaves between the title and the border.
constexpr int kTitleGap = 3;

}  // namespace

FrameBox::FrameBox(const QString& title, QWidget* parent) : QGroupBox(title, parent) {}

void FrameBox::paintEvent(QPaintEvent* event) {
  if (testAttribute(Qt::WA_StyleSheet)) {
    QGroupBox::paintEvent(event);
    return;
  }
  QStylePainter painter(this);
  QStyleOptionGroupBox option;
  initStyleOption(&option);
  // The style draws the title; the border is ours, without the tinted fill.
  option.subControls &= ~QStyle::SC_GroupBoxFrame;
  painter.drawComplexControl(QStyle::CC_GroupBox, option);

  QRect border =
      style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxFrame, this);
  const int titleHeight =
      std::max(style()->pixelMetric(QStyle::PM_ExclusiveIndicatorHeight, &option, this),
               fontMetrics().height());
  border.setTop(border.top() + titleHeight + kTitleGap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(palette().color(QPalette::Window).darker(140));
  painter.setBrush(Qt::NoBrush);
  painter.drawRoundedRect(QRectF(border).adjusted(0.5, 0.5, -0.5, -0.5), 2, 2);
}

}  // namespace orv
