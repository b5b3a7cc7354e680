#include "automation/duplication_run.h"

#include <stdexcept>

#include "automation/copy_count.h"
#include "automation/naming_rule.h"
#include "automation/services.h"
#include "server/durable_file.h"
#include "server/server_error.h"

namespace orv {

namespace {

constexpr char kNotANumber[] = "Please enter a number for how many copies.";
constexpr char kNoWorkbook[] = "There is no open workbook: it could not be opened for this copy.";

// The file's identity now, or nothing when it cannot be looked at (then the open or the save
// that follows says why).
std::optional<FileIdentity> identityOf(const std::string& path) {
  try {
    return fileIdentity(path, displayName(path));
  } catch (const ServerError&) {
    return std::nullopt;
  }
}

}  // namespace

void DuplicationView::workbookChanged(const std::string& display, const std::string& caption) {
  messageBox("'" + display +
                 "' was changed by another program during the run, so the run stopped. Copies "
                 "saved before the change may no longer be in it: open it to check.",
             kExclamation, caption);
}

DuplicationRun::DuplicationRun(DuplicationView& view, DuplicationServices services)
    : view_(view), services_(std::move(services)) {}

DuplicationRun::~DuplicationRun() = default;

std::int32_t DuplicationRun::countOf(const std::string& text) const {
  return services_.countOf ? services_.countOf(text) : toInt16Count(text);
}

Workbook& DuplicationRun::requireWorkbook() const {
  if (!workbook_) throw ServerError(kNoWorkbook);
  return *workbook_;
}

// Each row returns the line to go on with; the last number is where the run
// resumes after the row has failed and been reported.
std::vector<Step> DuplicationRun::steps() {
  using R = DuplicationRun;
  return bindSteps<R>(*this, {
                                 {100, &R::returnIfRunning, 102},
                                 {102, &R::startRun, 104},
                                 {104, &R::checkCountIsNumber, 106},
                                 {106, &R::checkWorkbookExists, 108},
                                 {108, &R::lockWorkbook, 110},
                                 {110, &R::showHourglass, 112},
                                 {112, &R::readCount, 160},
                                 {114, &R::nextCopyNumber, 116},
                                 {116, &R::skipNamingUnlessRenaming, 118},
                                 {118, &R::makeCandidateName, 120},
                                 {120, &R::checkNameConflict, 122},
                                 {122, &R::showProgress, 124},
                                 {124, &R::openWorkbookForCopy, 126},
                                 {126, &R::findWorkbook, 128},
                                 {128, &R::readSelectedSheet, 130},
                                 {130, &R::copySheet, 148},
                                 {132, &R::skipRenameUnlessRenaming, 134},
                                 {134, &R::renameCopy, 142},
                                 {142, &R::readLastName, 144},
                                 {144, &R::listNewSheet, 146},
                                 {146, &R::saveWorkbook, 148},
                                 {148, &R::quitInstance, 152},
                                 {150, &R::reportConflict, 152},
                                 {152, &R::nextCopy, 160},
                                 {154, &R::saveOnceAtEnd, 160},
                                 {160, &R::restorePointer, 162},
                                 // Two rows of one line: a failure to reset the value still
                                 // sets the text.
                                 {162, &R::resetProgressValue, kNext},
                                 {162, &R::resetProgressText, 166},
                                 {164, &R::reportNotANumber, 166},
                                 {166, &R::endRun, kReturn},
                             });
}

// A table run from inside another's message box finds the run under way.
int DuplicationRun::returnIfRunning() { return copyInProgress_ ? kReturn : kNext; }

int DuplicationRun::startRun() {
  copyInProgress_ = true;
  count_ = 0;
  k_ = 0;
  copyNumber_ = 0;
  copiesListed_ = 0;
  stopped_ = false;
  candidate_.clear();
  sourceName_.reset();
  lastName_.reset();
  return kNext;
}

int DuplicationRun::checkCountIsNumber() { return isNumber(view_.copyCountText()) ? kNext : 164; }

int DuplicationRun::checkWorkbookExists() {
  return services_.fileExists(view_.workbookPath()) ? kNext : 166;
}

// The workbook stays locked for the whole run, so that other runs and office suites keep away
// from it; one that someone else holds is not touched.
int DuplicationRun::lockWorkbook() {
  if (services_.warnIfExcelOpen()) return 166;
  try {
    lock_.emplace(view_.workbookPath());
  } catch (const ServerError& e) {
    view_.messageBox(e.what(), kExclamation, services_.appTitle());
    return 166;
  }
  lastSaved_ = identityOf(view_.workbookPath());
  if (services_.prepare && !services_.prepare()) return 166;
  return kNext;
}

int DuplicationRun::showHourglass() {
  view_.setPointer(kHourglass);
  return kNext;
}

// A count that overflows leaves no loop to run: the run ends as after its last copy, so that
// the pointer and the bar go back to idle.
int DuplicationRun::readCount() {
  count_ = countOf(view_.copyCountText());
  k_ = 1;
  return k_ <= count_ ? 114 : 160;
}

int DuplicationRun::nextCopyNumber() {
  ++copyNumber_;
  return kNext;
}

int DuplicationRun::skipNamingUnlessRenaming() { return view_.renameValue() == 1 ? kNext : 120; }

int DuplicationRun::makeCandidateName() {
  candidate_ = services_.nameOf ? services_.nameOf(copyNumber_)
                                : candidateName(view_.namingPattern(), copyNumber_);
  return kNext;
}

int DuplicationRun::checkNameConflict() {
  return SheetNameExists(view_.sheetItems(), candidate_) ? 150 : kNext;
}

int DuplicationRun::showProgress() {
  const std::int32_t divisor = countOf(view_.copyCountText());
  if (divisor == 0) throw std::domain_error("Division by zero.");
  view_.copyStarting(copyNumber_, divisor);
  view_.setProgressValue(static_cast<double>(k_) / static_cast<double>(divisor) * 100.0);
  return kNext;
}

// A failed open must not leave the previous copy's instance (already quit) for the following
// rows to work on. Opening a file that another program wrote since our last save would build on
// its version and drop the copies already saved: the run stops instead. What counts is the file
// the instance opened, which another program's save can replace between a look at the file and
// the open.
int DuplicationRun::openWorkbookForCopy() {
  if (!services_.saveEachCopy && application_) return kNext;
  workbook_ = nullptr;
  application_.reset();
  const auto changed = [&] {
    view_.workbookChanged(displayName(view_.workbookPath()), services_.appTitle());
    return 160;
  };
  if (services_.saveEachCopy && lastSaved_ && identityOf(view_.workbookPath()) != lastSaved_)
    return changed();
  application_ = services_.openWorkbook(view_.workbookPath());
  if (services_.saveEachCopy && lastSaved_ && application_) {
    Workbooks& books = application_->workbooks();
    if (books.count() > 0 && books.item(books.count()).identityOnDisk() != *lastSaved_) {
      std::unique_ptr<Application> opened = std::move(application_);
      opened->quit();
      return changed();
    }
  }
  return kNext;
}

int DuplicationRun::findWorkbook() {
  if (!application_) throw ServerError(kNoWorkbook);
  Workbooks& books = application_->workbooks();
  workbook_ = &books.item(books.count());
  return kNext;
}

int DuplicationRun::readSelectedSheet() {
  sourceName_.reset();
  sourceName_ = view_.selectedSheet();
  return kNext;
}

// After a failed copy the active sheet is one of the user's own sheets: renaming or saving it
// would change their workbook, so the iteration only quits its instance.
int DuplicationRun::copySheet() {
  if (!sourceName_) throw ServerError("There is no sheet to copy: none is selected in the list.");
  SheetCollection sheets = requireWorkbook().sheets();
  sheets.item(*sourceName_).copy(sheets.item(sheets.count()));
  return kNext;
}

int DuplicationRun::skipRenameUnlessRenaming() { return view_.renameValue() == 1 ? kNext : 142; }

int DuplicationRun::renameCopy() {
  requireWorkbook().activeSheet().setName(services_.namesAsGiven ? candidate_
                                                                 : CleanSheetName(candidate_));
  return 142;
}

int DuplicationRun::readLastName() {
  lastName_.reset();
  SheetCollection sheets = requireWorkbook().sheets();
  lastName_ = sheets.item(sheets.count()).name();
  return kNext;
}

// Without the new sheet's name there is nothing true to add to the list.
int DuplicationRun::listNewSheet() {
  if (!lastName_) {
    throw ServerError("The new sheet's name could not be read, so it was not added to the list.");
  }
  view_.appendSheet(*lastName_);
  ++copiesListed_;
  return kNext;
}

int DuplicationRun::saveWorkbook() {
  if (!services_.saveEachCopy) return kNext;
  Workbook& book = requireWorkbook();
  book.save(k_ >= count_);
  lastSaved_ = book.identityOnDisk();
  return kNext;
}

// An instance that never started has nothing to quit.
int DuplicationRun::quitInstance() {
  if (!services_.saveEachCopy) return 152;
  workbook_ = nullptr;
  if (std::unique_ptr<Application> application = std::move(application_)) application->quit();
  return 152;
}

int DuplicationRun::reportConflict() {
  view_.messageBox(conflictMessage(candidate_), kOkOnly, services_.appTitle());
  return kNext;
}

int DuplicationRun::nextCopy() {
  ++k_;
  return k_ <= count_ && !stopped_ ? 114 : 154;
}

// With one instance for the whole run, the copies reach the file here, all at once.
int DuplicationRun::saveOnceAtEnd() {
  if (services_.saveEachCopy || !application_) return kNext;
  if (copiesListed_ > 0 && !services_.rehearsal) requireWorkbook().save(true);
  workbook_ = nullptr;
  std::unique_ptr<Application> application = std::move(application_);
  application->quit();
  return kNext;
}

int DuplicationRun::restorePointer() {
  view_.setPointer(kDefaultPointer);
  return kNext;
}

int DuplicationRun::resetProgressValue() {
  view_.setProgressValue(0);
  return kNext;
}

int DuplicationRun::resetProgressText() {
  view_.setProgressText("Progress Bar");
  return 166;
}

int DuplicationRun::reportNotANumber() {
  view_.messageBox(kNotANumber, kOkOnly, services_.appTitle());
  return kNext;
}

int DuplicationRun::endRun() {
  workbook_ = nullptr;
  application_.reset();
  lock_.reset();
  copyInProgress_ = false;
  return kReturn;
}

}  // namespace orv
