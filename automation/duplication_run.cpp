#include "automation/duplication_run.h"

#include <exception>

#include "automation/copy_count.h"
#include "automation/naming_rule.h"
#include "server/server_error.h"

namespace orv {

namespace {
constexpr int kReturn = 0;  // a step's "next line" that ends the handler
constexpr std::string_view kNotANumber = "Please enter a number for how many copies.";
}  // namespace

struct DuplicationRun::Step {
  int line;
  std::function<int()> run;
  int resumeAt;
};

DuplicationRun::DuplicationRun(DuplicationView& view, DuplicationServices services)
    : view_(view), services_(std::move(services)) {}

DuplicationRun::~DuplicationRun() = default;

void DuplicationRun::PushButton2_Click() { execute(steps()); }

void DuplicationRun::execute(const std::vector<Step>& table) {
  auto find = [&table](int line) -> const Step* {
    for (const Step& s : table) {
      if (s.line == line) return &s;
    }
    return nullptr;
  };
  const Step* step = table.empty() ? nullptr : &table.front();
  while (step) {
    int next;
    try {
      next = step->run();
    } catch (const std::exception& e) {
      services_.report(kPushButton2ClickTag, e.what(), step->line);
      next = step->resumeAt;
    } catch (...) {
      services_.report(kPushButton2ClickTag, "", step->line);
      next = step->resumeAt;
    }
    step = next == kReturn ? nullptr : find(next);
  }
}

Workbook& DuplicationRun::requireWorkbook() const {
  if (!workbook_)
    throw ServerError("There is no open workbook: it could not be opened for this copy.");
  return *workbook_;
}

// The handler's table: each step returns the line to go on with; the last
// number is where the run resumes after that step has failed and been reported.
std::vector<DuplicationRun::Step> DuplicationRun::steps() {
  DuplicationView& v = view_;
  return {
      {100, [this] { return copyInProgress_ ? kReturn : 102; }, 102},
      {102,
       [this] {
         copyInProgress_ = true;
         count_ = 0;
         k_ = 0;
         copyNumber_ = 0;
         candidate_.clear();
         sourceName_.reset();
         lastName_.reset();
         return 104;
       },
       104},
      {104, [&v] { return isNumber(v.copyCountText()) ? 106 : 164; }, 106},
      {106, [this, &v] { return services_.fileExists(v.workbookPath()) ? 108 : 166; }, 108},
      {108, [this] { return services_.warnIfExcelOpen() ? 166 : 110; }, 110},
      {110,
       [&v] {
         v.setPointer(11);
         return 112;
       },
       112},
      // An overflowing count leaves no loop to run: end the run as after the
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
         return 116;
       },
       116},
      {116, [&v] { return v.renameValue() == 1 ? 118 : 120; }, 118},
      {118,
       [this, &v] {
         candidate_ = candidateName(v.namingPattern(), copyNumber_);
         return 120;
       },
       120},
      {120, [this, &v] { return SheetNameExists(v.sheetItems(), candidate_) ? 150 : 122; }, 122},
      {122,
       [this, &v] {
         const std::int16_t divisor = toInt16Count(v.copyCountText());
         if (divisor == 0) throw std::domain_error("Division by zero");
         v.setProgressValue(static_cast<double>(k_) / static_cast<double>(divisor) * 100.0);
         return 124;
       },
       124},
      // A failed open must not leave the previous copy's (already quit)
      // instance behind for the next steps to work on.
      {124,
       [this, &v] {
         workbook_ = nullptr;
         application_.reset();
         application_ = services_.openWorkbook(v.workbookPath());
         return 126;
       },
       126},
      {126,
       [this] {
         if (!application_)
           throw ServerError("There is no open workbook: it could not be opened for this copy.");
         Workbooks& books = application_->workbooks();
         workbook_ = &books.item(books.count());
         return 128;
       },
       128},
      {128,
       [this, &v] {
         sourceName_.reset();
         sourceName_ = v.selectedSheet();
         return 130;
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
         Sheet source = sheets.item(*sourceName_);
         source.copy(sheets.item(sheets.count()));
         return 132;
       },
       148},
      {132, [&v] { return v.renameValue() == 1 ? 134 : 142; }, 134},
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
         return 144;
       },
       144},
      // Without the new sheet's name there is nothing true to put in the list.
      {144,
       [this, &v] {
         if (!lastName_)
           throw ServerError(
               "The new sheet's name could not be read, so it was not added to the list.");
         v.appendSheet(*lastName_);
         return 146;
       },
       146},
      {146,
       [this] {
         requireWorkbook().save();
         return 148;
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
         v.messageBox(conflictMessage(candidate_), 0, services_.appTitle);
         return 152;
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
         v.setPointer(0);
         return 162;
       },
       162},
      {162,
       [this, &v] {
         try {
           v.setProgressValue(0);
         } catch (const std::exception& e) {
           services_.report(kPushButton2ClickTag, e.what(), 162);
         }
         v.setProgressText("Progress Bar");
         return 166;
       },
       166},
      {164,
       [this, &v] {
         v.messageBox(std::string(kNotANumber), 0, services_.appTitle);
         return 166;
       },
       166},
      {166,
       [this] {
         workbook_ = nullptr;
         application_.reset();
         copyInProgress_ = false;
         return kReturn;
       },
       kReturn},
  };
}

}  // namespace orv
