#include "cli/copy_run.h"

#include <algorithm>
#include <climits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "automation/naming_rule.h"
#include "cli/progress_bar.h"
#include "server/application.h"
#include "server/durable_file.h"
#include "server/sheet_names.h"
#include "server/workbook_lock.h"

namespace orv::cli {

namespace {

void printLine(std::FILE* stream, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fputc('\n', stream);
  std::fflush(stream);
}

// Opens `path` in `app` and returns the workbook just opened, as the window
// addresses it: Workbooks(Workbooks.count).
Workbook& openLast(Application& app, const std::string& path) {
  app.workbooks().open(path);
  return app.workbooks().item(app.workbooks().count());
}

std::vector<std::string> worksheetNames(Workbook& book) {
  SheetCollection sheets = book.worksheets();
  const int n = sheets.count();
  std::vector<std::string> names;
  names.reserve(static_cast<size_t>(n));
  for (int i = 1; i <= n; ++i) names.push_back(sheets.item(i).name());
  return names;
}

// Copies the source after the last sheet and names the copy; returns the name
// of the new last sheet. A refused name is reported and leaves the copy with
// its automatic name, as the window's run does; `named` says which happened.
std::string copyOnce(Workbook& book, const CopyRequest& request, const std::string& candidate,
                     long copyNumber, std::FILE* err, ProgressBar& bar, bool& named) {
  SheetCollection sheets = book.sheets();
  sheets.item(request.sheet).copy(sheets.item(sheets.count()));
  std::string refusal;
  if (request.pattern) {
    try {
      book.activeSheet().setName(CleanSheetName(candidate));
    } catch (const ServerError& e) {
      refusal = e.what();
    }
  }
  std::string last = sheets.item(sheets.count()).name();
  named = refusal.empty();
  if (!named) {
    bar.clear();
    printLine(err, "Copy " + std::to_string(copyNumber) + " could not be named \"" +
                       CleanSheetName(candidate) + "\": " + refusal + " It keeps the name \"" +
                       last + "\".");
  }
  return last;
}

}  // namespace

int listSheets(const std::string& path, std::FILE* out, std::FILE* err) {
  try {
    std::unique_ptr<Application> app = createApplication();
    std::vector<std::string> names = worksheetNames(openLast(*app, path));
    app->quit();
    for (const std::string& name : names) printLine(out, name);
    return 0;
  } catch (const ServerError& e) {
    printLine(err, e.what());
    return 1;
  }
}

std::optional<std::string> patternRefusal(const std::string& pattern, long count) {
  // Copy numbers only add digits, which no rule forbids, so a name's fate changes only with the
  // number of digits: one number of each length up to the count stands for all of them.
  for (long k = 1; k <= count; k = k > LONG_MAX / 10 ? count + 1 : k * 10) {
    try {
      validateSheetName(CleanSheetName(candidateName(pattern, k)), {});
    } catch (const ServerError& e) {
      return "The pattern \"" + pattern + "\" cannot name copy " + std::to_string(k) + ": " +
             e.what() + " No copy was made; the workbook is unchanged.";
    }
  }
  return std::nullopt;
}

namespace {

// The copies of `made` that the workbook holds now, in order. A file that cannot be read
// holds none that can be vouched for.
std::vector<std::string> copiesHeld(const std::string& path, const std::vector<std::string>& made) {
  std::vector<std::string> names;
  try {
    std::unique_ptr<Application> app = createApplication();
    names = worksheetNames(openLast(*app, path));
    app->quit();
  } catch (const ServerError&) {
    return {};
  }
  std::vector<std::string> held;
  for (const std::string& name : made)
    if (std::find(names.begin(), names.end(), name) != names.end()) held.push_back(name);
  return held;
}

}  // namespace

int runCopy(const CopyRequest& request, std::FILE* out, std::FILE* err) {
  if (request.pattern) {
    if (auto refusal = patternRefusal(*request.pattern, request.count)) {
      printLine(err, *refusal);
      return 1;
    }
  }
  // The names a conflict is checked against: the worksheets listed before the
  // run, then every name the run reads back. This is the window's sheet list.
  std::vector<std::string> sheetList;
  std::unique_ptr<Application> kept;  // the one instance of --save once
  // Other runs and office suites keep away from the workbook while this run works on it.
  std::optional<WorkbookLock> lock;
  // What the file was when the run last read or wrote it: with --save each, anything else
  // found there means another program wrote it, and copies saved before would be lost.
  FileIdentity expected;
  const std::string display = displayName(request.book);
  try {
    lock.emplace(request.book);
    expected = fileIdentity(request.book, display);
    std::unique_ptr<Application> app = createApplication();
    Workbook& book = openLast(*app, request.book);
    sheetList = worksheetNames(book);
    // A missing source sheet stops the run before anything is written.
    book.sheets().item(request.sheet);
    if (request.save == SaveMode::Once) {
      kept = std::move(app);
    } else {
      app->quit();
    }
  } catch (const ServerError& e) {
    printLine(err, e.what());
    return 1;
  }
  auto unchanged = [&] {
    try {
      return fileIdentity(request.book, display) == expected;
    } catch (const ServerError&) {
      return false;
    }
  };

  ProgressBar bar(err);
  bool allMade = true;
  bool changed = false;
  // Names are printed once they are known to be in the file: after the last save.
  std::vector<std::string> made;
  for (long k = 1; k <= request.count; ++k) {
    const std::string candidate = request.pattern ? candidateName(*request.pattern, k) : "";
    if (request.pattern && SheetNameExists(sheetList, candidate)) {
      bar.clear();
      printLine(err, conflictMessage(candidate));
      allMade = false;
      continue;
    }
    bar.show(k, request.count);
    try {
      bool named = true;
      std::string last;
      if (request.save == SaveMode::Each) {
        if (!unchanged()) {
          changed = true;
          allMade = false;
          break;
        }
        std::unique_ptr<Application> app = createApplication();
        Workbook& book = openLast(*app, request.book);
        last = copyOnce(book, request, candidate, k, err, bar, named);
        book.save();
        expected = book.identityOnDisk();
        app->quit();
      } else {
        Workbook& book = kept->workbooks().item(kept->workbooks().count());
        last = copyOnce(book, request, candidate, k, err, bar, named);
      }
      sheetList.push_back(last);
      made.push_back(last);
      if (!named) allMade = false;
    } catch (const ServerError& e) {
      // Opening, copying or saving failed: the next copy would meet the same
      // cause, so the run stops here. Copies already made are kept.
      bar.clear();
      printLine(err, "Copy " + std::to_string(k) + " of " + std::to_string(request.count) +
                         " failed: " + e.what());
      allMade = false;
      break;
    }
  }
  bar.clear();

  if (kept && !made.empty()) {
    try {
      kept->workbooks().item(kept->workbooks().count()).save();
    } catch (const ServerError& e) {
      printLine(err, e.what());
      printLine(err, "The copies made were not saved; the workbook is unchanged.");
      return 1;
    }
  }
  if (kept) kept->quit();

  // Saved copies are only as safe as the file: if another program wrote it since the last
  // save, the run reports what the file holds now, not what it made.
  if (request.save == SaveMode::Each && !made.empty() && (changed || !unchanged())) {
    const std::size_t madeCount = made.size();
    made = copiesHeld(request.book, made);
    printLine(err, "'" + display +
                       "' was changed by another program during the run, so the run stopped. "
                       "The file now holds " +
                       std::to_string(made.size()) + " of the " + std::to_string(madeCount) +
                       (madeCount == 1 ? " copy" : " copies") + " made.");
    allMade = false;
  } else if (changed) {
    printLine(err, "'" + display +
                       "' was changed by another program before the first copy was made, so "
                       "the run stopped.");
  }
  for (const std::string& name : made) printLine(out, name);

  if (!allMade) {
    printLine(err, std::to_string(made.size()) + " of " + std::to_string(request.count) +
                       (request.count == 1 ? " copy was made." : " copies were made."));
    return 1;
  }
  return 0;
}

}  // namespace orv::cli
