#include "cli/copy_run.h"

#include <algorithm>
#include <climits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "automation/duplication_run.h"
#include "automation/naming_rule.h"
#include "automation/trap.h"
#include "automation/workbook_listing.h"
#include "cli/terminal_view.h"
#include "server/application.h"
#include "server/durable_file.h"
#include "server/sheet_names.h"

namespace orv::cli {

namespace {

void printLine(std::FILE* stream, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fputc('\n', stream);
  std::fflush(stream);
}

// A fresh engine instance with the workbook at `path` open.
std::unique_ptr<Application> openPlain(const std::string& path) {
  std::unique_ptr<Application> application = createApplication();
  application->workbooks().open(path);
  return application;
}

std::vector<std::string> listNames(const std::string& path) {
  std::vector<std::string> names;
  appendWorksheetNames(path, openPlain, [&](const std::string& name) { names.push_back(name); });
  return names;
}

// The copies of `made` that the workbook holds now, in order. A file that cannot be read
// holds none that can be vouched for.
std::vector<std::string> copiesHeld(const std::string& path, const std::vector<std::string>& made) {
  std::vector<std::string> names;
  try {
    names = listNames(path);
  } catch (const ServerError&) {
    return {};
  }
  std::vector<std::string> held;
  for (const std::string& name : made)
    if (std::find(names.begin(), names.end(), name) != names.end()) held.push_back(name);
  return held;
}

}  // namespace

int listSheets(const std::string& path, std::FILE* out, std::FILE* err) {
  try {
    for (const std::string& name : listNames(path)) printLine(out, name);
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

// Runs the copies through the window's duplication run, the terminal for its window: the same
// steps, the same lock and the same look at the file before each copy. Answers the file's
// identity as the run last saw or wrote it.
std::optional<FileIdentity> runCore(const CopyRequest& request, TerminalView& view) {
  DuplicationServices services;
  services.fileExists = [](const std::string&) { return true; };  // the lock says why not
  services.warnIfExcelOpen = [] { return false; };  // the office lock keeps suites away
  services.openWorkbook = [&view](const std::string& path) { return view.open(path); };
  services.appTitle = [] { return std::string("orvandel-cli"); };
  services.countOf = [&request](std::string_view) {
    return static_cast<std::int32_t>(request.count);
  };
  services.saveEachCopy = request.save == SaveMode::Each;
  services.prepare = [&view] { return view.prepare(); };
  DuplicationRun run(view, std::move(services));
  view.attach(run);
  runSteps(run.steps(), [&view](const std::string& description, const Step& step) {
    return view.failure(description, step);
  });
  view.finish();
  return run.lastSaved();
}

// Prints the names of the copies the file holds and the run's summary; answers the exit
// status. Saved copies are only as safe as the file: if another program wrote it since the last
// save, the run reports what the file holds now, not what it made.
int reportCopies(const CopyRequest& request, const TerminalView& view,
                 const std::optional<FileIdentity>& lastSaved, std::FILE* out, std::FILE* err) {
  std::vector<std::string> made = view.made;
  const std::string display = displayName(request.book);
  const auto unchanged = [&] {
    try {
      return lastSaved && fileIdentity(request.book, display) == *lastSaved;
    } catch (const ServerError&) {
      return false;
    }
  };
  bool allMade = !view.failed;
  if (request.save == SaveMode::Each && !made.empty() && (view.changed || !unchanged())) {
    const std::size_t madeCount = made.size();
    made = copiesHeld(request.book, made);
    printLine(err, "'" + display +
                       "' was changed by another program during the run, so the run stopped. "
                       "The file now holds " +
                       std::to_string(made.size()) + " of the " + std::to_string(madeCount) +
                       (madeCount == 1 ? " copy" : " copies") + " made.");
    allMade = false;
  } else if (view.changed) {
    printLine(err, "'" + display +
                       "' was changed by another program before the first copy was made, so "
                       "the run stopped.");
  }
  for (const std::string& name : made) printLine(out, name);
  if (!made.empty())
    for (const std::string& notice : view.notices) printLine(err, notice);

  if (!allMade) {
    printLine(err, std::to_string(made.size()) + " of " + std::to_string(request.count) +
                       (request.count == 1 ? " copy was made." : " copies were made."));
    return 1;
  }
  return 0;
}

}  // namespace

int runCopy(const CopyRequest& request, std::FILE* out, std::FILE* err) {
  if (request.pattern) {
    if (auto refusal = patternRefusal(*request.pattern, request.count)) {
      printLine(err, *refusal);
      return 1;
    }
  }
  TerminalView view(request, err);
  const std::optional<FileIdentity> lastSaved = runCore(request, view);
  // A run stopped before its first copy, or whose one save failed, has said why.
  if (view.aborted || view.unsaved) return 1;
  return reportCopies(request, view, lastSaved, out, err);
}

}  // namespace orv::cli
