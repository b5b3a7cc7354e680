#include "server/application.h"

#include <new>

#include "server/durable_file.h"
#include "server/format.h"
#include "server/memory_budget.h"
#include "server/sheet_names.h"

namespace orv {

namespace {

// The engine's boundary: only ServerError leaves it. Runs `work`; memory running out is said as
// such, and anything else unexpected as a file that is not as it should be, each in the
// sentence `start` begins ("Cannot copy the sheet 'Data'"), so that no user ever reads a
// library's own word for a failure.
template <typename Work, typename Start>
decltype(auto) atBoundary(Work&& work, Start&& start, const std::string& path,
                          const std::string& memoryReason) {
  try {
    return work();
  } catch (const ServerError&) {
    throw;
  } catch (const std::bad_alloc&) {
    throw ServerError(start() + ": " + memoryReason);
  } catch (const std::exception&) {
    throw ServerError(start() + ": something in '" + displayName(path) +
                      "' is not as Orvandel expects (the file may be damaged).");
  }
}

// "Cannot save 'Book.xlsx'".
auto cannot(const std::string& verb, const std::string& path) {
  return [verb, path] { return "Cannot " + verb + " '" + displayName(path) + "'"; };
}

}  // namespace

std::string Sheet::name() const { return book_->engine().sheetName(id_); }

void Sheet::setName(const std::string& name) {
  atBoundary([&] { book_->engine().renameSheet(id_, name); },
             [&] { return "Cannot rename the sheet '" + this->name() + "'"; }, book_->path(),
             "there is not enough memory to rename it.");
}

SheetKind Sheet::kind() const {
  return atBoundary([&] { return book_->engine().sheetKind(id_); },
                    [&] { return "Cannot read the sheet '" + name() + "'"; }, book_->path(),
                    "there is not enough memory to read it.");
}

SheetVisibility Sheet::visibility() const { return book_->engine().sheetVisibility(id_); }

int Sheet::index() const { return book_->engine().positionOf(id_) + 1; }

void Sheet::copy(const Sheet& after) {
  if (after.book_ != book_) {
    throw ServerError("A sheet can only be copied within its own workbook.");
  }
  SheetId copyId = atBoundary([&] { return book_->engine().copySheet(id_, after.id_); },
                              [&] { return "Cannot copy the sheet '" + name() + "'"; },
                              book_->path(), "there is not enough memory to copy it.");
  book_->setActive(copyId);
  book_->passNotices();
}

void Workbook::passNotices() {
  for (const std::string& notice : engine_->takeNotices())
    if (notices_ && *notices_) (*notices_)(notice);
}

std::vector<SheetId> SheetCollection::ids() const {
  Engine& engine = book_->engine();
  std::vector<SheetId> result;
  const int n = engine.sheetCount();
  result.reserve(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    SheetId id = engine.sheetAt(i);
    if (!worksheetsOnly_ || engine.sheetKind(id) == SheetKind::Worksheet) result.push_back(id);
  }
  return result;
}

int SheetCollection::count() const {
  // Every sheet: no kind is asked, so no sheet part is read.
  if (!worksheetsOnly_) return book_->engine().sheetCount();
  return static_cast<int>(ids().size());
}

Sheet SheetCollection::item(int index) const {
  if (!worksheetsOnly_) {
    const int n = book_->engine().sheetCount();
    if (index < 1 || index > n) {
      throw ServerError("There is no sheet number " + std::to_string(index) +
                        " in this workbook (it has " + std::to_string(n) + ").");
    }
    return Sheet(book_, book_->engine().sheetAt(index - 1));
  }
  // Walks only up to the sheet asked for: listing every worksheet by number stays cheap.
  Engine& engine = book_->engine();
  const int n = engine.sheetCount();
  int seen = 0;
  for (int i = 0; i < n && index >= 1; ++i) {
    SheetId id = engine.sheetAt(i);
    if (engine.sheetKind(id) == SheetKind::Worksheet && ++seen == index) return Sheet(book_, id);
  }
  throw ServerError("There is no sheet number " + std::to_string(index) +
                    " in this workbook (it has " + std::to_string(count()) + ").");
}

Sheet SheetCollection::item(std::string_view name) const {
  for (SheetId id : ids()) {
    if (sameSheetName(book_->engine().sheetName(id), name)) return Sheet(book_, id);
  }
  throw ServerError("There is no sheet named '" + std::string(name) + "' in this workbook.");
}

Workbook::Workbook(std::string path, std::unique_ptr<Engine> engine)
    : path_(std::move(path)), engine_(std::move(engine)), active_(engine_->activeSheet()) {}

Workbook::~Workbook() = default;

void Workbook::save(bool last) {
  if (last) engine_->nextSaveIsLast();
  atBoundary([&] { engine_->save(); }, cannot("save", path_), path_, outOfMemoryReason("save"));
  if (std::optional<FileIdentity> saved = engine_->identityOnDisk()) rememberSaved(path_, *saved);
}

FileIdentity Workbook::identityOnDisk() const {
  if (auto kept = engine_->identityOnDisk()) return *kept;
  return fileIdentity(path_, displayName(path_));
}

Workbook& Workbooks::open(const std::string& path) {
  books_.push_back(atBoundary([&] { return std::make_unique<Workbook>(path, openEngine(path)); },
                              cannot("open", path), path, outOfMemoryReason("open")));
  books_.back()->setNoticeHandler(&notices_);
  return *books_.back();
}

Workbook& Workbooks::item(int index) {
  if (index < 1 || index > count()) {
    throw ServerError("There is no open workbook number " + std::to_string(index) + ".");
  }
  return *books_[static_cast<size_t>(index - 1)];
}

std::unique_ptr<Application> createApplication() { return std::make_unique<Application>(); }

}  // namespace orv
