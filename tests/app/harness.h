#pragma once

#include <QColor>
#include <QString>
#include <deque>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <vector>

#include "app/services.h"
#include "app/settings_store.h"
#include "server/application.h"
#include "tests/support/fixtures.h"

// Readable values in failure messages.
inline void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QColor& colour, std::ostream* out) {
  *out << colour.name(QColor::HexArgb).toStdString();
}

namespace orv::test {

struct ShownBox {
  QString text;
  int style;
  QString caption;
};

// Records every box; answers from a script, then with `defaultAnswer`.
class FakeBoxes : public MessageBoxes {
 public:
  int show(const std::string& text, int style, const std::string& caption) override {
    shown.push_back({QString::fromStdString(text), style, QString::fromStdString(caption)});
    if (!answers.empty()) {
      const int answer = answers.front();
      answers.pop_front();
      return answer;
    }
    return style == kYesNo ? defaultAnswer : kOk;
  }
  std::vector<ShownBox> shown;
  std::deque<int> answers;
  int defaultAnswer = kYes;
};

class FakeFileDialog : public FileDialog {
 public:
  void showOpen() override {
    ++shows;
    fileNamesShown.push_back(fileName);
    foldersShown.push_back(folder);
    if (!choice.isEmpty()) fileName = choice;
  }
  QString choice;  // empty: the user cancels
  int shows = 0;
  // The file name and starting folder at each showing.
  std::vector<QString> fileNamesShown;
  std::vector<QString> foldersShown;
};

class FakeProcessTable : public ProcessTable {
 public:
  std::vector<ProcessInfo> currentUserProcesses() const override {
    if (fail) throw std::runtime_error("process table unreadable");
    return processes;
  }
  std::vector<ProcessInfo> processes;
  bool fail = false;
};

class FakeWebOpener : public WebOpener {
 public:
  void open(const QString& address) override {
    opened.push_back(address);
    if (fail) throw std::runtime_error("No browser here.");
  }
  std::vector<QString> opened;
  bool fail = false;
};

// Each reading moves the clock on by `step` seconds, wrapping at midnight.
class FakeClock : public Clock {
 public:
  double secondsSinceMidnight() override {
    const double reading = now;
    now += step;
    if (now >= 86400.0) now -= 86400.0;
    ++readings;
    return reading;
  }
  double now = 43200.0;
  double step = 0.05;
  int readings = 0;
};

class FakeRandom : public RandomSource {
 public:
  void seed(double value) override { seeds.push_back(value); }
  double next() override { return draw; }
  std::vector<double> seeds;
  double draw = 0.5;  // draws 51: the web site stays shut
};

// A temporary application folder and settings file, the fakes, and the
// Services that hand them out.
class Harness {
 public:
  Harness();

  // Services with a server factory that succeeds (the real engine) unless
  // `serverFails` is set.
  Services services();
  QString appFolder() const { return tempPath("app"); }
  QString settingsFile() const { return tempPath("settings.ini"); }
  QString tempPath(const QString& name) const {
    return QString::fromStdString(dir_.file(name.toStdString()));
  }
  // Writes `bytes` to a file below the application folder, creating folders.
  QString writeAppFile(const QString& relative, const QByteArray& bytes) const;

  FakeBoxes boxes;
  FakeFileDialog fileDialog;
  FakeProcessTable processes;
  FakeWebOpener web;
  FakeClock clock;
  FakeRandom random;
  std::unique_ptr<SettingsStore> settings;
  bool serverFails = false;
  int serversCreated = 0;
  std::vector<int> endCodes;

 private:
  TempDir dir_;
};

// The stored value of `key`, or "<absent>".
QString stored(Harness& h, const QString& key);

}  // namespace orv::test
