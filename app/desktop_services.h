#pragma once

#include <QString>
#include <memory>
#include <random>

#include "app/process_table.h"
#include "app/services.h"
#include "app/settings_store.h"

namespace orv {

// Qt's message box; "\r\n" and lone "\r" show as line breaks.
class QtMessageBoxes : public MessageBoxes {
 public:
  int show(const std::string& text, int style, const std::string& caption) override;
};

// Qt's open-file dialog.
class QtFileDialog : public FileDialog {
 public:
  void showOpen() override;
};

class DesktopWebOpener : public WebOpener {
 public:
  void open(const QString& address) override;
};

class SystemClock : public Clock {
 public:
  double secondsSinceMidnight() override;
};

class StdRandomSource : public RandomSource {
 public:
  void seed(double value) override;
  double next() override;

 private:
  std::mt19937_64 generator_;
};

// "Excel Files (*.xl*)|*.xl*|All Files (*.*)|*.*" in Qt's filter form
// ("Excel Files (*.xl*);;All Files (*)").
QString qtFileFilter(const QString& filter);

// What the message box shows for `text`: every "\r\n" and lone "\r" a line break.
QString screenText(const QString& text);

// The real services of the desktop, for the one window of the process.
class DesktopServices {
 public:
  DesktopServices();
  Services services();

 private:
  QtMessageBoxes boxes_;
  QtFileDialog fileDialog_;
  SystemProcessTable processes_;
  DesktopWebOpener web_;
  SystemClock clock_;
  StdRandomSource random_;
  SettingsStore settings_;
};

}  // namespace orv
