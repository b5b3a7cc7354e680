#include "automation/trap.h"

#include <exception>

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

}  // namespace

void runSteps(const std::vector<Step>& steps, const OnFailure& onFailure) {
  size_t row = 0;
  while (row < steps.size()) {
    const Step& step = steps[row];
    std::string failure;
    bool failed = false;
    int next = kNext;
    try {
      next = step.run();
    } catch (const std::exception& e) {
      failed = true;
      failure = e.what();
    } catch (...) {
      failed = true;
      failure = "An unexpected failure occurred.";
    }
    if (failed) {
      next = kReturn;
      try {
        next = onFailure(failure, step);
      } catch (...) {
        // The report itself failed: nothing is left to tell the user with.
      }
      if (next == kReturn) return;
    }
    row = rowFor(steps, row, next);
  }
}

void runTrapped(const std::string& tag, const std::vector<Step>& steps, FailureReport& report) {
  runSteps(steps, [&](const std::string& description, const Step& step) {
    report.show(description, tag, step.line);
    return step.resumeAt;
  });
}

void runUntrapped(const std::string& tag, const std::vector<Step>& steps, FailureReport& report) {
  runSteps(steps, [&](const std::string& description, const Step& step) {
    report.show(description, tag, step.line);
    return kReturn;
  });
}

}  // namespace orv
