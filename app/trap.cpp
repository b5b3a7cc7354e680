#include "app/trap.h"

#include <exception>

#include "app/error_report.h"

namespace orv {

namespace {

// The row that `target` (a line number, kNext or kReturn) leads to from row
// `current`; steps.size() ends the handler.
size_t rowFor(const std::vector<Step>& steps, size_t current, int target) {
  if (target == kReturn) return steps.size();
  if (target == kNext) return current + 1;
  for (size_t i = 0; i < steps.size(); ++i) {
    if (steps[i].line == target) return i;
  }
  // A table that names a line it lacks is a programming error; ending the
  // handler is the one safe way on.
  return steps.size();
}

// Runs the table; on a failure calls `onFailure` with the description and
// the row, which answers whether to resume.
template <typename OnFailure>
void run(const std::vector<Step>& steps, OnFailure onFailure) {
  size_t row = 0;
  while (row < steps.size()) {
    const Step& step = steps[row];
    QString failure;
    bool failed = false;
    int next = kNext;
    try {
      next = step.run();
    } catch (const std::exception& e) {
      failed = true;
      failure = QString::fromUtf8(e.what());
    } catch (...) {
      failed = true;
      failure = QStringLiteral("An unexpected failure occurred.");
    }
    if (failed) {
      bool resume = false;
      try {
        resume = onFailure(failure, step);
      } catch (...) {
        // The report itself failed: nothing is left to tell the user with.
      }
      if (!resume) return;
      next = step.resumeAt;
    }
    row = rowFor(steps, row, next);
  }
}

}  // namespace

void runTrapped(const QString& tag, const std::vector<Step>& steps, ErrorReport& report) {
  run(steps, [&](const QString& description, const Step& step) {
    report.show(description, tag, step.line);
    return true;
  });
}

void runUntrapped(const QString& tag, const std::vector<Step>& steps, ErrorReport& report) {
  run(steps, [&](const QString& description, const Step& step) {
    report.show(description, tag, step.line);
    return false;
  });
}

}  // namespace orv
