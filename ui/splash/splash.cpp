#include "ui/splash/splash.h"

#include <QApplication>
#include <QDir>
#include <QImageReader>
#include <QLabel>
#include <QPixmap>
#include <QScreen>
#include <QThread>
#include <stdexcept>

#include "app/file_helpers.h"
#include "app/settings_store.h"
#include "app/theme.h"
#include "automation/app_title.h"
#include "automation/copy_count.h"
#include "automation/trap.h"
#include "ui/main/check_box.h"
#include "ui/main/twips.h"

namespace orv {

namespace {

constexpr int kStripTwips = 300;
constexpr int kCheckLeft = 120;
constexpr int kCheckWidth = 4215;
constexpr int kCheckHeight = 375;
constexpr int kCheckGap = 20;
constexpr int kLineInset = 10;
constexpr double kSecondsPerDay = 86400.0;

QWidget* line(QWidget* parent) {
  auto* widget = new QWidget(parent);
  QPalette palette = widget->palette();
  palette.setColor(QPalette::Window, palette.color(QPalette::WindowText));
  widget->setPalette(palette);
  widget->setAutoFillBackground(true);
  return widget;
}

}  // namespace

SplashLayout splashLayout(int pictureWidthTwips, int pictureHeightTwips) {
  SplashLayout layout;
  layout.width = pictureWidthTwips;
  layout.height = pictureHeightTwips + kStripTwips;
  layout.checkTop = layout.height - kCheckHeight - kCheckGap;
  layout.line3X = layout.width - kLineInset;
  layout.line4Y = layout.height - kLineInset;
  return layout;
}

Splash::Splash(const Services& services, QWidget* parent)
    : QWidget(parent, Qt::SplashScreen | Qt::FramelessWindowHint),
      services_(services),
      report_(services.boxes) {
  setObjectName(QStringLiteral("Splash"));
  setBackColour(*this, Qt::white);
  Image1 = new QLabel(this);
  Image1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  Check1 = new CheckBox(QStringLiteral("Hide this at next startup"), this);
  Check1->setFont(QFont(QStringLiteral("Arial"), 9, QFont::Bold));
  Check1->setGeometry(twipsToPixels(kCheckLeft), 0, twipsToPixels(kCheckWidth),
                      twipsToPixels(kCheckHeight));
  setBackColour(*Check1, Qt::white);
  Line1 = line(this);
  Line2 = line(this);
  Line3 = line(this);
  Line4 = line(this);
  connect(Check1, &CheckBox::valueChanged, this, [this] { Check1_Click(); });
}

void Splash::Check1_Click() {
  runUntrapped(locationTag(QStringLiteral("Splash"), QStringLiteral("Check1_Click")).toStdString(),
               {{100,
                 [&] {
                   services_.settings.write(Setting::ShowAgain, Check1->value() == 1
                                                                    ? QStringLiteral("1")
                                                                    : QStringLiteral("0"));
                   return kNext;
                 }}},
               report_);
}

void Splash::SplashShow() {
  // A stored value that is no number leaves the splash on: it is only a picture.
  const std::string showAgain = services_.settings.read(Setting::ShowAgain).toStdString();
  if (isNumber(showAgain) && isNonZero(showAgain)) return;

  const QString folder = services_.applicationFolder() + QStringLiteral("/Splash/");
  // The listing's own order: no sorting, no choice.
  const QStringList names = QDir(folder).entryList(QDir::Files, QDir::Unsorted);
  if (names.isEmpty()) return;
  const QString path = services_.applicationFolder() + QStringLiteral("/Splash/") + names.first();
  if (!FileExists(path)) return;

  setWindowTitle(QString::fromLatin1(kProductTitle));
  QImageReader reader(path);
  const QImage picture = reader.read();
  if (picture.isNull()) {
    throw std::runtime_error("The splash picture " + path.toStdString() +
                             " could not be read: " + reader.errorString().toStdString() + ".");
  }
  const QPixmap pixmap = QPixmap::fromImage(picture);
  const QSize natural = pixmap.deviceIndependentSize().toSize();
  layout_ = splashLayout(pixelsToTwips(natural.width()), pixelsToTwips(natural.height()));

  Image1->setPixmap(pixmap);
  Image1->setGeometry(0, 0, natural.width(), twipsToPixels(layout_.height));
  const int width = twipsToPixels(layout_.width);
  const int height = twipsToPixels(layout_.height);
  setFixedSize(width, height);
  Check1->move(Check1->x(), twipsToPixels(layout_.checkTop));
  // Lines drawn to 10000 twips are cut off at the window's edges.
  Line1->setGeometry(0, 0, 1, height);
  Line2->setGeometry(0, 0, width, 1);
  Line3->setGeometry(twipsToPixels(layout_.line3X), 0, 1, height);
  Line4->setGeometry(0, twipsToPixels(layout_.line4Y), width, 1);

  if (const QScreen* screen = this->screen()) {
    move(screen->availableGeometry().center() - rect().center());
  }
  show();
  pause(InDevelopmentEnvironment() ? 0.4 : 4.0);
  hide();
}

void Splash::pause(double seconds) {
  const double start = services_.clock.secondsSinceMidnight();
  for (;;) {
    const double now = services_.clock.secondsSinceMidnight();
    // The seconds-since-midnight counter starts again at 0 each day.
    const double passed = now >= start ? now - start : now + kSecondsPerDay - start;
    if (passed >= seconds) return;
    QApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(5);
  }
}

}  // namespace orv
