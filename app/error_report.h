#pragma once

#include <QString>
#include <string>

#include "automation/trap.h"

namespace orv {

class MessageBoxes;

// The address the report asks the user to send a screenshot to.
extern const char kSupportAddress[];

// "in Quennet2021/08/31.<window>.<handler> ": the location tag of a handler.
QString locationTag(const QString& window, const QString& handler);

// The uniform "Application Error" box of the trapped handlers.
class ErrorReport : public FailureReport {
 public:
  explicit ErrorReport(MessageBoxes& boxes) : boxes_(boxes) {}

  // The report's text, with "\r\n" and "\r" line breaks exactly where they go.
  static QString text(const QString& description, const QString& tag, int line);
  // Shows the report and waits until the user closes it.
  void show(const std::string& description, const std::string& tag, int line) override;

 private:
  MessageBoxes& boxes_;
};

}  // namespace orv
