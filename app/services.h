#pragma once

#include <QString>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace orv {

class Application;
class SettingsStore;

// Message box styles and answers, numbered as the platform numbers them.
enum MessageStyle : int { kOkOnly = 0, kYesNo = 4, kExclamation = 48 };
enum MessageAnswer : int { kOk = 1, kYes = 6, kNo = 7 };

// Modal message boxes. `text` keeps its "\r\n" and lone "\r" line breaks; the
// real implementation turns them into line breaks on screen. Returns the
// answer (kOk, kYes or kNo).
class MessageBoxes {
 public:
  virtual ~MessageBoxes() = default;
  virtual int show(const QString& text, int style, const QString& caption) = 0;
};

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

// One process of the current user, as the process table shows it.
struct ProcessInfo {
  long pid = 0;
  std::string name;   // the kernel's short name of the process
  std::string argv0;  // the first word of its command line, as started
};

class ProcessTable {
 public:
  virtual ~ProcessTable() = default;
  // The current user's processes; an unreadable table gives an empty list.
  virtual std::vector<ProcessInfo> currentUserProcesses() const = 0;
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

using ServerFactory = std::function<std::unique_ptr<Application>()>;

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
