// orvandel-cli: the sheet copier for scripts and batch work, on the same engine
// and naming rule as the window.
//
// Exit status: 0 when everything asked for was done, 1 when a copy failed or
// was refused (or the workbook or the list of names could not be read), 2 on a usage error.

#include <CLI/CLI.hpp>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "cli/copy_run.h"
#include "cli/process_setup.h"
#include "server/durable_file.h"
#include "server/memory_budget.h"

namespace {

constexpr int kUsageError = 2;

// The copy count must be a plain whole number: no sign, no fraction, no
// spaces. The run numbers copies with a 32-bit signed integer.
bool parseCount(const std::string& text, long& count) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  long long value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value > INT_MAX) return false;
  count = static_cast<long>(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments = orv::cli::setUpProcess(argc, argv);
  std::vector<char*> argumentPointers;
  for (const std::string& argument : arguments)
    argumentPointers.push_back(const_cast<char*>(argument.c_str()));
  // Interrupted in the middle of a save, the run leaves no temporary file behind.
  orv::installTemporaryFileCleanup();
  orv::keepFreedMemoryForReuse();

  CLI::App app{"Orvandel: makes many copies of one worksheet of a workbook.", "orvandel-cli"};
  app.require_subcommand(1);
  // Options are "--name" on every platform: a path such as "/data/Book.xlsx" is never taken
  // for a Windows-style "/option".
  app.allow_windows_style_options(false);
  app.fallthrough(false);
  app.set_version_flag("--version", std::string("orvandel-cli ") + ORVANDEL_VERSION,
                       "Print the version and exit");

  std::string book;
  bool sheetsJson = false;
  CLI::App* sheets =
      app.add_subcommand("sheets", "Print the workbook's worksheet names, one per line");
  sheets->add_option("BOOK", book, "The workbook (.xlsx, .xlsm, .xls, .ods)")->required();
  sheets->add_flag("--json", sheetsJson,
                   "Print one JSON object: every sheet with its kind and visibility");

  orv::cli::CopyRequest request;
  std::string countText;
  std::string startText;
  std::string pattern;
  std::string names;
  std::string save = "each";
  CLI::App* copy = app.add_subcommand("copy", "Copy one sheet N times, after the last sheet");
  copy->add_option("BOOK", request.book, "The workbook (.xlsx, .xlsm, .xls, .ods)")->required();
  copy->add_option("--sheet", request.sheet, "Name of the sheet to copy")->required();
  CLI::Option* countOption =
      copy->add_option("--count", countText, "How many copies to make (0 or more)");
  CLI::Option* namesOption = copy->add_option(
      "--names", names, "Name the copies after the lines of FILE (- for standard input)");
  CLI::Option* patternOption = copy->add_option(
      "--pattern", pattern,
      "Name the copies: [x] stands for the copy number (Day[x] gives Day1, ...), [x:3] for "
      "it padded to 3 digits (001, ...)");
  CLI::Option* startOption =
      copy->add_option("--start", startText, "The number of the first copy in the pattern (1)");
  copy->add_option("--save", save,
                   "each: save after every copy (default); once: save at the end of the run");
  copy->add_flag("--dry-run", request.dryRun,
                 "Show the names the run would make and its problems; change nothing");
  copy->add_flag("--json", request.json,
                 "Print one JSON object at the end (names made, names refused, saves, time)");

  // A script that asked for JSON reads JSON even when the command line is wrong.
  bool jsonAsked = false;
  for (int i = 1; i < argc; ++i) jsonAsked = jsonAsked || std::string(argv[i]) == "--json";
  const auto usageError = [jsonAsked](const std::string& message) {
    std::fprintf(stderr, "%s\nRun 'orvandel-cli --help' for how to use it.\n", message.c_str());
    if (jsonAsked) orv::cli::printJsonFailure(kUsageError, message, stdout);
    return kUsageError;
  };

  try {
    app.parse(static_cast<int>(argumentPointers.size()), argumentPointers.data());
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() != 0 && jsonAsked) {
      std::fprintf(stderr, "%s\n", e.what());
      orv::cli::printJsonFailure(kUsageError, e.what(), stdout);
      return kUsageError;
    }
    const int status = app.exit(e);
    return status == 0 ? 0 : kUsageError;
  }

  try {
    if (sheets->parsed()) return orv::cli::listSheets(book, sheetsJson, stdout, stderr);

    const bool counted = countOption->count() > 0;
    const bool listed = namesOption->count() > 0;
    if (counted && listed) {
      return usageError(
          "Give either --count or --names, not both: with --names, the copies are as many as "
          "the names in the list.");
    }
    if (!counted && !listed)
      return usageError(
          "Say how many copies to make with --count N, or "
          "name them from a list with --names FILE.");
    if (listed && patternOption->count() > 0) {
      return usageError("Give either --names or --pattern, not both: the list names the copies.");
    }
    if (startOption->count() > 0 && patternOption->count() == 0) {
      return usageError("--start sets the first number of --pattern, so it needs a pattern.");
    }
    if (counted && !parseCount(countText, request.count)) {
      return usageError("The number of copies must be a whole number, 0 or more (not \"" +
                        countText + "\").");
    }
    if (startOption->count() > 0 && !parseCount(startText, request.start)) {
      return usageError("The first number (--start) must be a whole number, 0 or more (not \"" +
                        startText + "\").");
    }
    if (save == "each") {
      request.save = orv::cli::SaveMode::Each;
    } else if (save == "once") {
      request.save = orv::cli::SaveMode::Once;
    } else {
      return usageError("--save must be \"each\" or \"once\" (not \"" + save + "\").");
    }
    if (listed) {
      if (names.empty()) return usageError("--names needs a file name, or - for standard input.");
      request.namesFile = names;
    }
    if (patternOption->count() > 0) request.pattern = pattern;
    return orv::cli::runCopy(std::move(request), stdout, stderr);
  } catch (const std::exception& e) {
    // Only the engine's own failures are expected; anything else is a fault
    // in this program, reported as such rather than dressed up as user error.
    std::fprintf(stderr, "orvandel-cli: internal error: %s\n", e.what());
    return 1;
  }
}
