#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace orv {

class Application;

// Message box styles and answers, numbered as the platform numbers them.
enum MessageStyle : int { kOkOnly = 0, kYesNo = 4, kExclamation = 48 };
enum MessageAnswer : int { kOk = 1, kYes = 6, kNo = 7 };

// Modal message boxes. `text` and `caption` are UTF-8; `text` keeps its "\r\n" and lone "\r"
// line breaks, which the real implementation turns into line breaks on screen. Returns the
// answer (kOk, kYes or kNo).
class MessageBoxes {
 public:
  virtual ~MessageBoxes() = default;
  virtual int show(const std::string& text, int style, const std::string& caption) = 0;
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

// Makes a new instance of the workbook engine.
using ServerFactory = std::function<std::unique_ptr<Application>()>;

}  // namespace orv
