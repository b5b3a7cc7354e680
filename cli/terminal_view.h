#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "automation/duplication_run.h"
#include "automation/trap.h"
#include "cli/copy_run.h"
#include "cli/progress_bar.h"

namespace orv::cli {

// The duplication run's view on a terminal: the request stands in for the window's boxes and
// list, messages go to the error stream (the bar cleared first), and the names of the copies
// made are kept for the end of the run.
class TerminalView : public DuplicationView {
 public:
  TerminalView(const CopyRequest& request, std::FILE* err);

  // The run the view reports for; set before the run starts.
  void attach(DuplicationRun& run) { run_ = &run; }

  // Before the first copy: the file's identity, the worksheet list the names are checked
  // against, and the source sheet, all read once. With one instance for the whole run, the
  // instance that read them is the one the copies are made in. False, with the reason
  // printed, when the workbook cannot be copied.
  bool prepare();
  // The run's workbook opener: the prepared instance first, then a fresh one per copy.
  std::unique_ptr<Application> open(const std::string& path);
  // The run's failures in the command line's words; answers the line to go on with.
  int failure(const std::string& description, const Step& step);
  // Removes the bar at the end of the run.
  void finish() { bar_.clear(); }

  void print(const std::string& text);

  // What the engine did beyond the copies that the user should hear of, each once.
  std::vector<std::string> notices;
  // A name a copy did not get: the copy was not made (its name was taken) or kept its
  // automatic name.
  struct Refusal {
    std::int32_t copy;
    std::string name;
    std::string reason;
  };

  // Copies made and named (or left with their automatic names), in order.
  std::vector<std::string> made;
  bool failed = false;   // some copy was refused, failed or left unnamed
  bool aborted = false;  // the run stopped before its first copy, its reason printed
  bool changed = false;  // another program wrote the workbook during the run
  bool unsaved = false;  // the copies of a one-instance run could not be saved

  std::vector<Refusal> refused;
  std::vector<std::string> messages;  // everything printed, in order

  std::string workbookPath() override { return request_.book; }
  std::string copyCountText() override { return std::to_string(request_.count); }
  std::string namingPattern() override { return request_.pattern.value_or(""); }
  int renameValue() override { return request_.pattern || !request_.names.empty() ? 1 : 0; }
  std::vector<std::string> sheetItems() override { return sheets_; }
  std::string selectedSheet() override { return request_.sheet; }
  void appendSheet(const std::string& name) override;
  void setProgressValue(double) override {}
  void setProgressText(const std::string&) override {}
  void setPointer(int) override {}
  void messageBox(const std::string& text, int style, const std::string& caption) override;
  void copyStarting(std::int32_t number, std::int32_t count) override;
  void workbookChanged(const std::string& display, const std::string& caption) override;

 private:
  const CopyRequest& request_;
  std::FILE* err_;
  ProgressBar bar_;
  DuplicationRun* run_ = nullptr;
  bool prepared_ = false;
  std::vector<std::string> sheets_;
  std::unique_ptr<Application> prepared_instance_;
  std::optional<std::string> refusal_;  // why the copy under way could not be named

  // The name the copy under way was to get, as it was given to the workbook.
  std::string intendedName() const;
  // Keeps the notices of the workbooks `application` opens.
  void listen(Application& application);
};

}  // namespace orv::cli
