#pragma once

#include <QString>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "automation/services.h"

namespace orv {

class SettingsStore;

// The open-file dialog: its settings are set, then showOpen() runs it modally
// and, when the user chooses a file, leaves its path in `fileName`. Cancel
// leaves `fileName` as it was.
class FileDialog {
 public:
  virtual ~FileDialog() = default;
  virtual void showOpen() = 0;

  QString fileName;
  // Where the dialog opens when `fileName` is empty; empty: the desktop's usual place.
  QString folder;
  unsigned flags = 0;
  QString title;
  QString filter;  // "Description|pattern|Description|pattern"
};

// Opens a web address the desktop's usual way; throws std::runtime_error when
// it cannot.
class WebOpener {
 public:
  virtual ~WebOpener() = default;
  virtual void open(const QString& address) = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;
  // Seconds since midnight, with the clock's fractions.
  virtual double secondsSinceMidnight() = 0;
};

class RandomSource {
 public:
  virtual ~RandomSource() = default;
  virtual void seed(double value) = 0;
  virtual double next() = 0;  // uniform in [0, 1)
};

// Everything the windows need from outside the process, handed to them at
// construction so that tests can put recording fakes in its place.
struct Services {
  MessageBoxes& boxes;
  FileDialog& fileDialog;
  ProcessTable& processes;
  WebOpener& web;
  Clock& clock;
  RandomSource& random;
  SettingsStore& settings;
  ServerFactory createServer;
  std::function<QString()> applicationFolder;
  std::function<void(int)> endProcess;  // ends the process at once
};

}  // namespace orv
