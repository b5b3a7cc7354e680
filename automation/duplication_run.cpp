#include "automation/duplication_run.h"

#include <stdexcept>

#include "automation/copy_count.h"
#include "automation/naming_rule.h"
#include "server/durable_file.h"
#include "server/server_error.h"

namespace orv {

namespace {

constexpr char kNotANumber[] = "Please enter a number for how many copies.";
constexpr char kNoWorkbook[] = "There is no open workbook: it could not be opened for this copy.";
constexpr int kExclamation = 48;  // the message box's warning icon

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

DuplicationRun::DuplicationRun(DuplicationView& view, DuplicationServices services)
    : view_(view), services_(std::move(services)) {}

DuplicationRun::~DuplicationRun() = default;

Workbook& DuplicationRun::requireWorkbook() const {
  if (!workbook_) throw ServerError(kNoWorkbook);
  return *workbook_;
}

// Each row returns the line to go on with; the last number is where the run
// resumes after the row has failed and been reported.
std::vector<Step> DuplicationRun::steps() {
  DuplicationView& v = view_;
  return {
      {100, [this] { return copyInProgress_ ? kReturn : kNext; }, 102},
      {102,
       [this] {
         copyInProgress_ = true;
         count_ = 0;
         k_ = 0;
         copyNumber_ = 0;
         candidate_.clear();
         sourceName_.reset();
         lastName_.reset();
         return kNext;
       },
       104},
      {104, [&v] { return isNumber(v.copyCountText()) ? kNext : 164; }, 106},
      {106, [this, &v] { return services_.fileExists(v.workbookPath()) ? kNext : 166; }, 108},
      // The workbook stays locked for the whole run, so that other runs and office suites
      // keep away from it; one that someone else holds is not touched.
      {108,
       [this, &v] {
         if (services_.warnIfExcelOpen()) return 166;
         try {
           lock_.emplace(v.workbookPath());
         } catch (const ServerError& e) {
           v.messageBox(e.what(), kExclamation, services_.appTitle());
           return 166;
         }
         lastSaved_ = identityOf(v.workbookPath());
         return kNext;
       },
       110},
      {110,
       [&v] {
         v.setPointer(kHourglass);
         return kNext;
       },
       112},
      // A count that overflows leaves no loop to run: the run ends as after its
      // last copy, so that the pointer and the bar go back to idle.
      {112,
       [this, &v] {
         count_ = toInt16Count(v.copyCountText());
         k_ = 1;
         return k_ <= count_ ? 114 : 160;
       },
       160},
      {114,
       [this] {
         ++copyNumber_;
         return kNext;
       },
       116},
      {116, [&v] { return v.renameValue() == 1 ? kNext : 120; }, 118},
      {118,
       [this, &v] {
         candidate_ = candidateName(v.namingPattern(), copyNumber_);
         return kNext;
       },
       120},
      {120, [this, &v] { return SheetNameExists(v.sheetItems(), candidate_) ? 150 : kNext; }, 122},
      {122,
       [this, &v] {
         const std::int16_t divisor = toInt16Count(v.copyCountText());
         if (divisor == 0) throw std::domain_error("Division by zero.");
         v.setProgressValue(static_cast<double>(k_) / static_cast<double>(divisor) * 100.0);
         return kNext;
       },
       124},
      // A failed open must not leave the previous copy's instance (already
      // quit) for the following rows to work on.
      // Opening a file that another program wrote since our last save would build on its
      // version and drop the copies already saved: the run stops instead.
      {124,
       [this, &v] {
         workbook_ = nullptr;
         application_.reset();
         if (lastSaved_ && identityOf(v.workbookPath()) != lastSaved_) {
           v.messageBox("'" + displayName(v.workbookPath()) +
                            "' was changed by another program during the run, so the run "
                            "stopped. Copies saved before the change may no longer be in it: "
                            "open it to check.",
                        kExclamation, services_.appTitle());
           return 160;
         }
         application_ = services_.openWorkbook(v.workbookPath());
         return kNext;
       },
       126},
      {126,
       [this] {
         if (!application_) throw ServerError(kNoWorkbook);
         Workbooks& books = application_->workbooks();
         workbook_ = &books.item(books.count());
         return kNext;
       },
       128},
      {128,
       [this, &v] {
         sourceName_.reset();
         sourceName_ = v.selectedSheet();
         return kNext;
       },
       130},
      // After a failed copy the active sheet is one of the user's own sheets:
      // renaming or saving it would change their workbook, so the iteration
      // only quits its instance.
      {130,
       [this] {
         if (!sourceName_)
           throw ServerError("There is no sheet to copy: none is selected in the list.");
         SheetCollection sheets = requireWorkbook().sheets();
         sheets.item(*sourceName_).copy(sheets.item(sheets.count()));
         return kNext;
       },
       148},
      {132, [&v] { return v.renameValue() == 1 ? kNext : 142; }, 134},
      {134,
       [this] {
         requireWorkbook().activeSheet().setName(CleanSheetName(candidate_));
         return 142;
       },
       142},
      {142,
       [this] {
         lastName_.reset();
         SheetCollection sheets = requireWorkbook().sheets();
         lastName_ = sheets.item(sheets.count()).name();
         return kNext;
       },
       144},
      // Without the new sheet's name there is nothing true to add to the list.
      {144,
       [this, &v] {
         if (!lastName_) {
           throw ServerError(
               "The new sheet's name could not be read, so it was not added to the list.");
         }
         v.appendSheet(*lastName_);
         return kNext;
       },
       146},
      {146,
       [this] {
         Workbook& book = requireWorkbook();
         book.save();
         lastSaved_ = book.identityOnDisk();
         return kNext;
       },
       148},
      // An instance that never started has nothing to quit.
      {148,
       [this] {
         workbook_ = nullptr;
         if (std::unique_ptr<Application> application = std::move(application_))
           application->quit();
         return 152;
       },
       152},
      {150,
       [this, &v] {
         v.messageBox(conflictMessage(candidate_), 0, services_.appTitle());
         return kNext;
       },
       152},
      {152,
       [this] {
         ++k_;
         return k_ <= count_ ? 114 : 160;
       },
       160},
      {160,
       [&v] {
         v.setPointer(kDefaultPointer);
         return kNext;
       },
       162},
      // Two rows of one line: a failure to reset the value still sets the text.
      {162,
       [&v] {
         v.setProgressValue(0);
         return kNext;
       },
       kNext},
      {162,
       [&v] {
         v.setProgressText("Progress Bar");
         return 166;
       },
       166},
      {164,
       [this, &v] {
         v.messageBox(kNotANumber, 0, services_.appTitle());
         return kNext;
       },
       166},
      {166,
       [this] {
         workbook_ = nullptr;
         application_.reset();
         lock_.reset();
         lastSaved_.reset();
         copyInProgress_ = false;
         return kReturn;
       },
       kReturn},
  };
}

}  // namespace orv
