#include "cli/copy_run.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "automation/duplication_run.h"
#include "automation/name_list.h"
#include "automation/naming_rule.h"
#include "automation/trap.h"
#include "automation/workbook_listing.h"
#include "cli/terminal_view.h"
#include "server/application.h"
#include "server/durable_file.h"
#include "server/file_handle.h"
#include "server/sheet_names.h"

namespace orv::cli {

namespace {

using Json = nlohmann::ordered_json;

// A list of names is a few kilobytes; anything near this is not one (or is endless input).
constexpr std::size_t kMaxListBytes = 64u << 20;

// One message line. Control characters other than line breaks and tabs (a refused line of a
// list may hold an escape sequence) are shown as ^X instead of reaching the terminal.
void printLine(std::FILE* stream, const std::string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if ((byte < 0x20 && c != '\n' && c != '\t') || byte == 0x7F) {
      std::fputc('^', stream);
      std::fputc(byte == 0x7F ? '?' : static_cast<char>(byte + 0x40), stream);
    } else {
      std::fputc(c, stream);
    }
  }
  std::fputc('\n', stream);
  std::fflush(stream);
}

// One line on `out`. Bytes that are not UTF-8 (a refused line of a list) become U+FFFD, so the
// object stays valid JSON whatever the input held.
void printJson(const Json& object, std::FILE* out) {
  printLine(out, object.dump(-1, ' ', false, Json::error_handler_t::replace));
}

// What a run said and did, for its JSON object: every message also goes to the error stream
// as it is said.
struct Outcome {
  explicit Outcome(std::FILE* errStream) : err(errStream) {}
  void say(const std::string& text) {
    printLine(err, text);
    messages.push_back(text);
  }

  std::FILE* err;
  std::vector<std::string> messages;
  std::vector<std::string> made;
  Json refused = Json::array();
  long saves = 0;
};

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

// The names of all the workbook's sheets, of every kind: a new name may equal none of them.
std::vector<std::string> allSheetNames(const std::string& path) {
  std::unique_ptr<Application> application = openPlain(path);
  SheetCollection sheets = application->workbooks().item(1).sheets();
  std::vector<std::string> names;
  for (int i = 1; i <= sheets.count(); ++i) names.push_back(sheets.item(i).name());
  application->quit();
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

const char* kindName(SheetKind kind) {
  switch (kind) {
    case SheetKind::Worksheet:
      return "worksheet";
    case SheetKind::Chartsheet:
      return "chart sheet";
    case SheetKind::Dialogsheet:
      return "dialog sheet";
    case SheetKind::Macrosheet:
      return "macro sheet";
  }
  return "worksheet";
}

const char* visibilityName(SheetVisibility visibility) {
  switch (visibility) {
    case SheetVisibility::Visible:
      return "visible";
    case SheetVisibility::Hidden:
      return "hidden";
    case SheetVisibility::VeryHidden:
      return "very hidden";
  }
  return "visible";
}

std::string readFailure(int error) {
  if (error == ENOENT || error == ENOTDIR) return "the file does not exist.";
  if (error == EISDIR) return "it is a folder, not a list.";
  std::string reason = std::strerror(error);
  if (!reason.empty())
    reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
  return "the file cannot be read (" + reason + ").";
}

// The bytes of the list of names at `path`, "-" for standard input.
std::string readListFile(const std::string& path) {
  const bool standardInput = path == "-";
  const std::string shown = standardInput ? "from standard input" : "'" + path + "'";
  const auto failed = [&shown](int error) {
    return ServerError("Cannot read the list of names " + shown + ": " + readFailure(error));
  };
  const auto tooLarge = [&shown] {
    return ServerError("The list of names " + shown +
                       " is larger than 64 MB, which is far more than a list of sheet names.");
  };
  std::string text;
  char buffer[65536];
  if (standardInput) {
    std::size_t read = 0;
    while (text.size() <= kMaxListBytes && (read = std::fread(buffer, 1, sizeof buffer, stdin)) > 0)
      text.append(buffer, read);
    if (std::ferror(stdin)) throw failed(errno);
  } else {
    // Opened by the platform's own name for the file (UTF-16 on Windows).
    FileHandle file = FileHandle::openForReading(path);
    if (!file.valid()) throw failed(file.error());
    if (file.isFolder()) throw failed(EISDIR);
    std::int64_t read = 0;
    while (text.size() <= kMaxListBytes &&
           (read = file.readAt(text.size(), buffer, sizeof buffer)) > 0)
      text.append(buffer, static_cast<std::size_t>(read));
    if (read < 0) throw failed(file.error());
  }
  if (text.size() > kMaxListBytes) throw tooLarge();
  return text;
}

// Reads and checks the list of names before anything is copied: every line that cannot name a
// copy is said, with its number. True when the list can name every copy; the request then
// holds the names and their count.
bool takeNames(CopyRequest& request, Outcome& outcome) {
  NameList list;
  try {
    const std::string text = readListFile(*request.namesFile);
    list = readNameList(text, allSheetNames(request.book));
  } catch (const ServerError& e) {
    outcome.say(e.what());
    return false;
  }
  for (const RefusedLine& line : list.refused) {
    outcome.say("Line " + std::to_string(line.line) + ": " + line.reason);
    outcome.refused.push_back(
        Json{{"line", line.line}, {"name", line.name}, {"reason", line.reason}});
  }
  if (!list.refused.empty()) {
    const std::size_t bad = list.refused.size();
    outcome.say(std::to_string(bad) + (bad == 1 ? " line" : " lines") +
                " of the list cannot name a sheet, so no copy was made; the workbook is "
                "unchanged.");
    return false;
  }
  for (const ListedName& name : list.names) request.names.push_back(name.name);
  request.count = static_cast<long>(request.names.size());
  return true;
}

// Tries the pattern on every number the run will use, before any copy is made.
bool checkPattern(const CopyRequest& request, Outcome& outcome) {
  const std::string& pattern = *request.pattern;
  if (hasMalformedPadding(pattern)) {
    const std::string reason =
        "The pattern \"" + pattern +
        "\" holds \"[x:\" without a width: write [x:W], W a digit from 1 to 9 (Day[x:3] gives "
        "Day001). No copy was made; the workbook is unchanged.";
    outcome.say(reason);
    outcome.refused.push_back(Json{{"name", pattern}, {"reason", reason}});
    return false;
  }
  if (request.count <= 0) return true;
  // Numbers only add digits, which no rule forbids, so a name's fate changes only with the
  // number of digits: the first number, the last, and the first of each length between them
  // stand for all of them.
  const long last = request.start + request.count - 1;
  std::vector<long> numbers{request.start};
  for (long k = 10; k <= last; k = k > LONG_MAX / 10 ? LONG_MAX : k * 10) {
    if (k > request.start) numbers.push_back(k);
    if (k == LONG_MAX) break;
  }
  numbers.push_back(last);
  for (const long k : numbers) {
    const std::string name = CleanSheetName(numberedName(pattern, k));
    try {
      validateSheetName(name, {});
    } catch (const ServerError& e) {
      outcome.say("The pattern \"" + pattern + "\" cannot name copy " + std::to_string(k) + ": " +
                  e.what() + " No copy was made; the workbook is unchanged.");
      outcome.refused.push_back(Json{{"number", k}, {"name", name}, {"reason", e.what()}});
      return false;
    }
  }
  return true;
}

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
  if (!request.names.empty()) {
    services.nameOf = [&request](std::int32_t number) {
      return request.names[static_cast<std::size_t>(number - 1)];
    };
    services.namesAsGiven = true;
  } else if (request.pattern) {
    services.nameOf = [&request](std::int32_t number) {
      return numberedName(*request.pattern, request.start + number - 1);
    };
  }
  services.rehearsal = request.dryRun;
  DuplicationRun run(view, std::move(services));
  view.attach(run);
  runSteps(run.steps(), [&view](const std::string& description, const Step& step) {
    return view.failure(description, step);
  });
  view.finish();
  return run.lastSaved();
}

// Settles which copies the file holds and says the run's summary; answers the exit status.
// Saved copies are only as safe as the file: if another program wrote it since the last save,
// the run reports what the file holds now, not what it made.
int settleCopies(const CopyRequest& request, const TerminalView& view,
                 const std::optional<FileIdentity>& lastSaved, Outcome& outcome) {
  std::vector<std::string> made = view.made;
  if (request.save == SaveMode::Each) {
    outcome.saves = static_cast<long>(made.size());
  } else if (!request.dryRun && !made.empty()) {
    outcome.saves = 1;
  }
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
    outcome.say("'" + display +
                "' was changed by another program during the run, so the run stopped. "
                "The file now holds " +
                std::to_string(made.size()) + " of the " + std::to_string(madeCount) +
                (madeCount == 1 ? " copy" : " copies") + " made.");
    allMade = false;
  } else if (view.changed) {
    outcome.say("'" + display +
                "' was changed by another program before the first copy was made, so the run "
                "stopped.");
  }
  outcome.made = made;
  // What the engine did beyond the copies, such as removing a signature the change broke, holds
  // for the saved file only.
  if (!made.empty() && !request.dryRun)
    for (const std::string& notice : view.notices) outcome.say(notice);
  if (!allMade) {
    const char* verb = request.dryRun ? " would be made." : " were made.";
    outcome.say(std::to_string(made.size()) + " of " + std::to_string(request.count) +
                (request.count == 1 ? " copy" : " copies") +
                (request.count == 1 && !request.dryRun ? " was made." : verb));
  }
  return allMade ? 0 : 1;
}

int copyAll(CopyRequest& request, Outcome& outcome) {
  if (request.namesFile && !takeNames(request, outcome)) return 1;
  if (request.pattern && !checkPattern(request, outcome)) return 1;
  // A rehearsal makes its copies in one instance, which is then let go unsaved.
  if (request.dryRun) request.save = SaveMode::Once;
  TerminalView view(request, outcome.err);
  const std::optional<FileIdentity> lastSaved = runCore(request, view);
  outcome.messages.insert(outcome.messages.end(), view.messages.begin(), view.messages.end());
  for (const TerminalView::Refusal& refusal : view.refused)
    outcome.refused.push_back(
        Json{{"copy", refusal.copy}, {"name", refusal.name}, {"reason", refusal.reason}});
  // A run stopped before its first copy, or whose one save failed, has said why.
  if (view.aborted || view.unsaved) return 1;
  const int status = settleCopies(request, view, lastSaved, outcome);
  if (request.dryRun)
    outcome.say("Dry run: nothing was saved; '" + displayName(request.book) + "' is unchanged.");
  return status;
}

}  // namespace

int listSheets(const std::string& path, bool json, std::FILE* out, std::FILE* err) {
  if (!json) {
    try {
      for (const std::string& name : listNames(path)) printLine(out, name);
      return 0;
    } catch (const ServerError& e) {
      printLine(err, e.what());
      return 1;
    }
  }
  Json sheets = Json::array();
  Json messages = Json::array();
  int status = 0;
  try {
    std::unique_ptr<Application> application = openPlain(path);
    SheetCollection all = application->workbooks().item(1).sheets();
    for (int i = 1; i <= all.count(); ++i) {
      const Sheet sheet = all.item(i);
      sheets.push_back(Json{{"name", sheet.name()},
                            {"kind", kindName(sheet.kind())},
                            {"visibility", visibilityName(sheet.visibility())}});
    }
    application->quit();
  } catch (const ServerError& e) {
    printLine(err, e.what());
    messages.push_back(e.what());
    sheets = Json::array();
    status = 1;
  }
  printJson(
      Json{{"workbook", path}, {"sheets", sheets}, {"exit_status", status}, {"messages", messages}},
      out);
  return status;
}

int runCopy(CopyRequest request, std::FILE* out, std::FILE* err) {
  const auto started = std::chrono::steady_clock::now();
  Outcome outcome(err);
  const int status = copyAll(request, outcome);
  if (!request.json) {
    for (const std::string& name : outcome.made) printLine(out, name);
    return status;
  }
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
  printJson(Json{{"workbook", request.book},
                 {"sheet", request.sheet},
                 {"dry_run", request.dryRun},
                 {"made", outcome.made},
                 {"refused", outcome.refused},
                 {"saves", outcome.saves},
                 {"seconds", std::round(elapsed.count() * 1000.0) / 1000.0},
                 {"exit_status", status},
                 {"messages", outcome.messages}},
            out);
  return status;
}

void printJsonFailure(int status, const std::string& message, std::FILE* out) {
  printJson(Json{{"exit_status", status}, {"messages", Json::array({message})}}, out);
}

}  // namespace orv::cli
