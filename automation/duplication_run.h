#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "automation/open_workbook_fn.h"
#include "automation/trap.h"
#include "server/durable_file.h"
#include "server/workbook_lock.h"

namespace orv {

// What the duplication run reads from and writes to the main window. Form1
// implements it over its controls; tests implement it with a recording fake.
// Every member is called on the user-interface thread while the run holds it.
class DuplicationView {
 public:
  virtual ~DuplicationView() = default;

  virtual std::string workbookPath() = 0;   // Text1's text
  virtual std::string copyCountText() = 0;  // Text2's text
  virtual std::string namingPattern() = 0;  // Text3's text
  virtual int renameValue() = 0;            // Check1's value: 0 unticked, 1 ticked, 2 greyed

  // ListView1: the texts of all items in list order, and the selected item's
  // text. selectedSheet() throws (a std::exception whose what() is shown in
  // the error report, e.g. kNoSheetSelected) when no item is selected.
  virtual std::vector<std::string> sheetItems() = 0;
  virtual std::string selectedSheet() = 0;
  virtual void appendSheet(const std::string& name) = 0;  // no key, no icons

  // ProgressBar1. The value arrives unrounded (33.33... for the first of three
  // copies); the bar must repaint at once, since the run does not return to
  // the event loop between copies.
  virtual void setProgressValue(double value) = 0;
  virtual void setProgressText(const std::string& text) = 0;

  // The window-wide pointer: 0 default, 11 hourglass. While 11 is set the
  // window takes no user input (the run does not yield between copies).
  virtual void setPointer(int shape) = 0;

  // A modal message box: style 0 is OK only without an icon.
  virtual void messageBox(const std::string& text, int style, const std::string& caption) = 0;

  // Copy `number` of `count` is about to be made (its name is free). The window shows it with
  // the progress bar alone.
  virtual void copyStarting(std::int32_t /*number*/, std::int32_t /*count*/) {}

  // Another program wrote the workbook (shown as `display`) since the run last saved it, so
  // the run stops. The window says so in a warning box captioned `caption`.
  virtual void workbookChanged(const std::string& display, const std::string& caption);
};

// Window pointer shapes.
inline constexpr int kDefaultPointer = 0;
inline constexpr int kHourglass = 11;
inline constexpr int kCustomPointer = 99;

// What a view's selectedSheet() says when nothing is selected.
inline constexpr std::string_view kNoSheetSelected =
    "No sheet is selected in the list. Select the sheet to copy, then start again.";

// The routines the run calls besides the window.
struct DuplicationServices {
  std::function<bool(const std::string& path)> fileExists;  // FileExists
  std::function<bool()> warnIfExcelOpen;                    // true: do not proceed
  OpenWorkbookFn openWorkbook;                              // OpenWorkbook
  // The caption of the run's own message boxes, asked when one is shown (the
  // title is set by the load step, after the window and its run are made).
  std::function<std::string()> appTitle;

  // What the command line adds; the window leaves them as they are.
  // The copy count of an accepted count text; empty: the window's 16-bit reader.
  std::function<std::int32_t(std::string_view text)> countOf;
  // False: one instance for the whole run, saved once after the last copy, and no look at
  // the file between copies.
  bool saveEachCopy = true;
  // Called once the workbook is locked, before the first copy; false ends the run.
  std::function<bool()> prepare;
  // The name copy `number` (1 for the first) is meant to get; empty: the window's pattern with
  // every [x] replaced by the number.
  std::function<std::string(std::int32_t number)> nameOf;
  // True: the copy is given its name as it is, without the window's cleaning (brackets removed,
  // 30 characters kept); for names that were checked whole beforehand.
  bool namesAsGiven = false;
  // True (with one instance): the copies are made and named in memory and never saved, so a
  // rehearsal meets every problem of the run but the save's, and the file stays as it is.
  bool rehearsal = false;
};

// The duplication run of PushButton2_Click: copies the selected sheet Text2
// times, one server instance, one copy and one save at a time. One object per
// window: it holds CopyInProgress.
class DuplicationRun {
 public:
  DuplicationRun(DuplicationView& view, DuplicationServices services);
  ~DuplicationRun();
  DuplicationRun(const DuplicationRun&) = delete;
  DuplicationRun& operator=(const DuplicationRun&) = delete;

  // PushButton2_Click's table, for runTrapped with the handler's location
  // tag. Every table made by one object shares its state: a table run from
  // inside another's message box finds CopyInProgress set and returns at once.
  std::vector<Step> steps();

  bool copyInProgress() const { return copyInProgress_; }

  // The copy under way (1 for the first) and the name it is to get.
  std::int32_t copyNumber() const { return copyNumber_; }
  const std::string& candidate() const { return candidate_; }
  // Makes the current copy the last: after it the run saves (with one instance) and ends.
  void stopAfterThisCopy() { stopped_ = true; }
  // The workbook file as the last run last saw or wrote it; nothing when it could not be read.
  const std::optional<FileIdentity>& lastSaved() const { return lastSaved_; }

 private:
  // The steps of the table, one per row, each returning the line to go on with.
  int returnIfRunning();
  int startRun();
  int checkCountIsNumber();
  int checkWorkbookExists();
  int lockWorkbook();
  int showHourglass();
  int readCount();
  int nextCopyNumber();
  int skipNamingUnlessRenaming();
  int makeCandidateName();
  int checkNameConflict();
  int showProgress();
  int openWorkbookForCopy();
  int findWorkbook();
  int readSelectedSheet();
  int copySheet();
  int skipRenameUnlessRenaming();
  int renameCopy();
  int readLastName();
  int listNewSheet();
  int saveWorkbook();
  int quitInstance();
  int reportConflict();
  int nextCopy();
  int saveOnceAtEnd();
  int restorePointer();
  int resetProgressValue();
  int resetProgressText();
  int reportNotANumber();
  int endRun();

  std::int32_t countOf(const std::string& text) const;
  Workbook& requireWorkbook() const;

  DuplicationView& view_;
  DuplicationServices services_;
  bool copyInProgress_ = false;

  // State of one run, reset at line 102.
  std::int32_t count_ = 0;  // N, fixed at line 112
  std::int32_t copiesListed_ = 0;
  bool stopped_ = false;
  std::int32_t k_ = 0;
  std::int32_t copyNumber_ = 0;
  std::string candidate_;
  std::optional<std::string> sourceName_;
  std::optional<std::string> lastName_;
  std::unique_ptr<Application> application_;
  Workbook* workbook_ = nullptr;
  std::optional<WorkbookLock> lock_;       // from line 108 to the end of the run
  std::optional<FileIdentity> lastSaved_;  // the file as the run last saw or wrote it
};

}  // namespace orv
