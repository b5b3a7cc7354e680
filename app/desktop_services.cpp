#include "app/desktop_services.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QStringList>
#include <QTime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "app/file_helpers.h"
#include "app/web_opener.h"
#include "server/application.h"

namespace orv {

QString screenText(const QString& text) {
  QString shown = text;
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  shown.replace(u'\r', u'\n');
  return shown;
}

int QtMessageBoxes::show(const std::string& text, int style, const std::string& caption) {
  QMessageBox box(QApplication::activeWindow());
  box.setWindowTitle(QString::fromStdString(caption));
  box.setTextFormat(Qt::PlainText);
  box.setText(screenText(QString::fromStdString(text)));
  if (style == kYesNo) {
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
  } else {
    box.setStandardButtons(QMessageBox::Ok);
  }
  box.setIcon(style == kExclamation ? QMessageBox::Warning : QMessageBox::NoIcon);
  const int answer = box.exec();
  if (style == kYesNo) return answer == QMessageBox::Yes ? kYes : kNo;
  return kOk;
}

QString qtFileFilter(const QString& filter) {
  const QStringList parts = filter.split(u'|');
  QStringList choices;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString description = parts[i];
    const qsizetype open = description.indexOf(u'(');
    if (open >= 0) description = description.left(open).trimmed();
    QStringList patterns = parts[i + 1].split(u';', Qt::SkipEmptyParts);
    for (QString& pattern : patterns) {
      // "*.*" means every name, dotted or not.
      if (pattern.trimmed() == QStringLiteral("*.*")) pattern = QStringLiteral("*");
    }
    choices << description + QStringLiteral(" (") + patterns.join(u' ') + u')';
  }
  return choices.join(QStringLiteral(";;"));
}

void QtFileDialog::showOpen() {
  // No selected filter given: the first choice is in force.
  const QString chosen =
      QFileDialog::getOpenFileName(QApplication::activeWindow(), title,
                                   fileName.isEmpty() ? folder : fileName, qtFileFilter(filter));
  if (!chosen.isEmpty()) fileName = chosen;
}

void DesktopWebOpener::open(const QString& address) {
  if (!openWebAddress(address)) {
    throw std::runtime_error("The web address " + address.toStdString() +
                             " could not be opened: no web browser is set up on this desktop.");
  }
}

double SystemClock::secondsSinceMidnight() {
  return QTime::currentTime().msecsSinceStartOfDay() / 1000.0;
}

void StdRandomSource::seed(double value) {
  unsigned long long bits = 0;
  static_assert(sizeof bits == sizeof value);
  std::memcpy(&bits, &value, sizeof bits);
  generator_.seed(bits);
}

double StdRandomSource::next() {
  // 53 random bits: exactly representable, and never 1.0.
  return static_cast<double>(generator_() >> 11) * 0x1.0p-53;
}

DesktopServices::DesktopServices() = default;

Services DesktopServices::services() {
  return Services{boxes_,
                  fileDialog_,
                  processes_,
                  web_,
                  clock_,
                  random_,
                  settings_,
                  [] { return createApplication(); },
                  [] { return applicationFolder(); },
                  [](int code) {
                    std::fflush(nullptr);
                    std::_Exit(code);
                  }};
}

}  // namespace orv
