// orvandel-cli: the sheet copier for scripts and batch work, on the same engine
// and naming rule as the window.
//
// Exit status: 0 when everything asked for was done, 1 when a copy failed or
// was refused (or the workbook could not be read), 2 on a usage error.

#include <CLI/CLI.hpp>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "cli/copy_run.h"
#include "server/durable_file.h"

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

int usageError(const std::string& message) {
  std::fprintf(stderr, "%s\nRun 'orvandel-cli --help' for how to use it.\n", message.c_str());
  return kUsageError;
}

}  // namespace

int main(int argc, char** argv) {
  // Without TZ, the C library looks at /etc/localtime again for every time it
  // converts, and the ZIP writer converts one per entry on every save. Naming
  // the same zone file once keeps the result and drops thousands of lookups.
  setenv("TZ", ":/etc/localtime", 0);
  // Interrupted in the middle of a save, the run leaves no temporary file behind.
  orv::installTemporaryFileCleanup();

  CLI::App app{"Orvandel: makes many copies of one worksheet of a workbook.", "orvandel-cli"};
  app.require_subcommand(1);
  app.fallthrough(false);
  app.set_version_flag("--version", std::string("orvandel-cli ") + ORVANDEL_VERSION,
                       "Print the version and exit");

  std::string book;
  CLI::App* sheets =
      app.add_subcommand("sheets", "Print the workbook's worksheet names, one per line");
  sheets->add_option("BOOK", book, "The workbook (.xlsx, .xlsm, .xls, .ods)")->required();

  orv::cli::CopyRequest request;
  std::string countText;
  std::string pattern;
  std::string save = "each";
  CLI::App* copy = app.add_subcommand("copy", "Copy one sheet N times, after the last sheet");
  copy->add_option("BOOK", request.book, "The workbook (.xlsx, .xlsm, .xls, .ods)")->required();
  copy->add_option("--sheet", request.sheet, "Name of the sheet to copy")->required();
  copy->add_option("--count", countText, "How many copies to make (0 or more)")->required();
  CLI::Option* patternOption =
      copy->add_option("--pattern", pattern,
                       "Name the copies: [x] stands for the copy number (Day[x] gives Day1, ...)");
  copy->add_option("--save", save,
                   "each: save after every copy (default); once: save at the end of the run");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int status = app.exit(e);
    return status == 0 ? 0 : kUsageError;
  }

  try {
    if (sheets->parsed()) return orv::cli::listSheets(book, stdout, stderr);

    if (!parseCount(countText, request.count)) {
      return usageError("The number of copies must be a whole number, 0 or more (not \"" +
                        countText + "\").");
    }
    if (save == "each") {
      request.save = orv::cli::SaveMode::Each;
    } else if (save == "once") {
      request.save = orv::cli::SaveMode::Once;
    } else {
      return usageError("--save must be \"each\" or \"once\" (not \"" + save + "\").");
    }
    if (patternOption->count() > 0) request.pattern = pattern;
    return orv::cli::runCopy(request, stdout, stderr);
  } catch (const std::exception& e) {
    // Only the engine's own failures are expected; anything else is a fault
    // in this program, reported as such rather than dressed up as user error.
    std::fprintf(stderr, "orvandel-cli: internal error: %s\n", e.what());
    return 1;
  }
}
