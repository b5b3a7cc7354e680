#pragma once

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace orv {

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

// A step row that names a member function of the object whose handler it is, so that a
// table reads as its steps: {line, &Run::stepName, resumeAt}.
template <typename T>
struct MemberStep {
  int line;
  int (T::*run)();
  int resumeAt = kNext;
};

// The rows of `object`'s table, each calling its member function on `object`.
template <typename T>
std::vector<Step> bindSteps(T& object, std::initializer_list<MemberStep<T>> rows) {
  std::vector<Step> steps;
  steps.reserve(rows.size());
  for (const MemberStep<T>& row : rows)
    steps.push_back({row.line, [&object, run = row.run] { return (object.*run)(); }, row.resumeAt});
  return steps;
}

// Where a failing step is reported: the failure's description (UTF-8), the handler's location
// tag and the step's line number.
class FailureReport {
 public:
  virtual ~FailureReport() = default;
  virtual void show(const std::string& description, const std::string& tag, int line) = 0;
};

// What a runner does with a failing step: answers the line to go on with (the step's
// `resumeAt` to resume as the table says, kReturn to leave the handler).
using OnFailure = std::function<int(const std::string& description, const Step& step)>;

// Runs a table: each row's work, then the row its answer leads to. A failing row is handed
// to `onFailure`; nothing escapes, not even from `onFailure`.
void runSteps(const std::vector<Step>& steps, const OnFailure& onFailure);

// Runs a trapped handler: a failing step is reported with `tag` and its line
// number, then the handler resumes where the step's row says. Nothing
// escapes.
void runTrapped(const std::string& tag, const std::vector<Step>& steps, FailureReport& report);

// Runs a handler without a trap of its own: the first failure is reported
// with `tag` and its line number and the handler returns. Nothing escapes.
void runUntrapped(const std::string& tag, const std::vector<Step>& steps, FailureReport& report);

}  // namespace orv
