#pragma once

#include <QString>
#include <functional>
#include <vector>

namespace orv {

class ErrorReport;

// Where a step goes next, besides a line number of its own handler.
inline constexpr int kNext = 0;     // the row below in the table
inline constexpr int kReturn = -1;  // leave the handler

// One numbered step of a handler. `run` does the step's work and returns the
// line to go to next (or kNext / kReturn); after a failure the handler goes
// on at `resumeAt`. Rows may share a line number; "go to line n" means the
// first row numbered n.
struct Step {
  int line;
  std::function<int()> run;
  int resumeAt = kNext;
};

// Runs a trapped handler: a failing step is reported with `tag` and its line
// number, then the handler resumes where the step's row says. Nothing
// escapes.
void runTrapped(const QString& tag, const std::vector<Step>& steps, ErrorReport& report);

// Runs a handler without a trap of its own: the first failure is reported
// with `tag` and its line number and the handler returns. Nothing escapes.
void runUntrapped(const QString& tag, const std::vector<Step>& steps, ErrorReport& report);

}  // namespace orv
