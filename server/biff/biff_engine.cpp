#include "server/biff/biff_engine.h"

#include <cerrno>
#include <fstream>
#include <optional>
#include <sstream>

#include "server/biff/sheet_copy.h"
#include "server/kept_workbook.h"
#include "server/memory_budget.h"
#include "server/server_error.h"
#include "server/sheet_names.h"
#include "server/utf8_path.h"
#include "server/vba/vba_project.h"

namespace orv::biff {

using cfb::CompoundEntry;
using cfb::findChild;

namespace {

const char* const kSaveAs =
    " Open it in your spreadsheet application, save it as an Excel Workbook (.xlsx) or an "
    "Excel 97-2003 Workbook (.xls) and try again.";

std::string readWholeFile(const std::string& path, const std::string& display) {
  std::ifstream in(pathFromUtf8(path), std::ios::binary);
  if (!in) throw ServerError("Cannot open '" + display + "': the file cannot be read.");
  std::ostringstream out;
  out << in.rdbuf();
  if (in.bad()) throw ServerError("Cannot open '" + display + "': the file cannot be read.");
  return std::move(out).str();
}

// The workbook as the last save wrote it: the compound file's streams, and the Workbook stream
// as records.
struct Saved {
  CompoundEntry root;
  WorkbookStream book;
};

KeptWorkbook<Saved>& kept() {
  static KeptWorkbook<Saved> slot;
  return slot;
}

std::uint64_t weightOf(const CompoundEntry& entry) {
  std::uint64_t weight = sizeof entry + entry.name.size() + entry.data.size();
  for (const CompoundEntry& child : entry.children) weight += weightOf(child);
  return weight;
}


}  // namespace

void keepSavedWorkbooks(bool on) { kept().setEnabled(on); }

WorkbookStream openWorkbookBytes(const std::string& bytes, const std::string& display,
                                 CompoundEntry* keep) {
  CompoundEntry root = cfb::readCompoundFile(bytes, display);
  const std::string start = "Cannot open '" + display + "': ";
  const CompoundEntry* stream = findChild(root, "Workbook");
  if (!stream) {
    // Some writers spell the stream name in another case.
    for (const CompoundEntry& c : root.children)
      if (!c.storage && (c.name == "WORKBOOK" || c.name == "workbook")) stream = &c;
  }
  if (!stream || stream->storage) {
    if (findChild(root, "Book"))
      throw ServerError(start +
                        "it is saved by Excel 95 or older (an Excel 5.0/95 workbook), "
                        "which Orvandel cannot read." +
                        kSaveAs);
    throw ServerError(start +
                      "it is not a workbook that Orvandel can read (it has no workbook "
                      "stream)." +
                      kSaveAs);
  }
  WorkbookStream book;
  try {
    RecordReader head(stream->data);
    if (head.atEnd()) throw RecordError{"the workbook stream is empty"};
    Record bof = head.next();
    if (bof.sid != sid::kBof || bof.data.size() < 4)
      throw RecordError{"the workbook stream does not start with a workbook record"};
    if (get16(bof.data, 0) != 0x0600)
      throw ServerError(start +
                        "it is saved by Excel 95 or older (an Excel 5.0/95 workbook), "
                        "which Orvandel cannot read." +
                        kSaveAs);
    // Past FILEPASS the records are encrypted, sheet names included: nothing else can be read.
    for (RecordReader scan(stream->data); !scan.atEnd();) {
      const Record r = scan.next();
      if (r.sid == sid::kFilePass)
        throw ServerError(start +
                          "it is protected with a password (encrypted), so its sheets "
                          "cannot be read. Remove the password in your spreadsheet "
                          "application, save the workbook and try again.");
      if (r.sid == sid::kEof) break;
    }
    book = parseWorkbookStream(stream->data, true);
  } catch (const RecordError& e) {
    throw ServerError(start + "the file is damaged (" + e.what +
                      "). If you have a backup, use it; otherwise open it in your spreadsheet "
                      "application and save it again.");
  }
  if (keep) *keep = std::move(root);
  return book;
}

BiffEngine::BiffEngine(const std::string& path) : path_(path), display_(displayName(path)) {
  identity_ = fileIdentity(path_, display_);
  if (std::optional<Saved> k = kept().take(identity_)) {
    root_ = std::move(k->root);
    book_ = std::move(k->book);
    return;
  }
  const std::string bytes = readWholeFile(path_, display_);
  book_ = openWorkbookBytes(bytes, display_, &root_);
  // The stream lives on as records and sheets' bytes; it is made again on saving.
  if (CompoundEntry* workbook = workbookEntry()) {
    workbook->data.clear();
    workbook->data.shrink_to_fit();
  }
}

BiffEngine::~BiffEngine() {
  // Only a workbook as read or just saved is known to be what a fresh read of the file would give.
  if (!asOnDisk_ || modified_) return;
  // The globals are held as records, each with its own allocation; the sheets as bytes.
  std::uint64_t weight = weightOf(root_);
  for (const Record& r : book_.globals) weight += sizeof(Record) + r.data.size();
  for (const WorkbookStream::Sheet& sheet : book_.sheets)
    weight += sizeof(sheet) + sheet.bytes.size() + sheet.records.size() * sizeof(Record);
  if (!mayKeepWorkbook(weight)) return;
  kept().keep(identity_, Saved{std::move(root_), std::move(book_)});
}

CompoundEntry* BiffEngine::workbookEntry() {
  if (CompoundEntry* found = findChild(root_, "Workbook")) return found;
  for (CompoundEntry& c : root_.children)
    if (!c.storage && (c.name == "WORKBOOK" || c.name == "workbook")) return &c;
  return nullptr;
}

size_t BiffEngine::indexOf(SheetId id) const {
  if (id == 0 || id > book_.sheets.size())
    throw ServerError("There is no such sheet in '" + display_ + "'.");
  return id - 1;
}

int BiffEngine::sheetCount() const { return static_cast<int>(book_.sheets.size()); }

SheetId BiffEngine::sheetAt(int position) const {
  if (position < 0 || position >= sheetCount())
    throw ServerError("There is no such sheet in '" + display_ + "'.");
  return static_cast<SheetId>(position + 1);
}

int BiffEngine::positionOf(SheetId id) const { return static_cast<int>(indexOf(id)); }

std::string BiffEngine::sheetName(SheetId id) const { return book_.sheets[indexOf(id)].name; }

SheetVisibility BiffEngine::sheetVisibility(SheetId id) const {
  switch (book_.sheets[indexOf(id)].state) {
    case 1:
      return SheetVisibility::Hidden;
    case 2:
      return SheetVisibility::VeryHidden;
    default:
      return SheetVisibility::Visible;
  }
}

SheetKind BiffEngine::sheetKind(SheetId id) const {
  const WorkbookStream::Sheet& sheet = book_.sheets[indexOf(id)];
  switch (sheet.type) {
    case 2:
      return SheetKind::Chartsheet;
    case 1:
    case 6:
      return SheetKind::Macrosheet;
    default:
      break;
  }
  return isDialogSheet(sheet) ? SheetKind::Dialogsheet : SheetKind::Worksheet;
}

SheetId BiffEngine::activeSheet() const {
  for (const Record& r : book_.globals) {
    if (r.sid == sid::kWindow1 && r.data.size() >= 12) {
      const size_t tab = get16(r.data, 10);
      return tab < book_.sheets.size() ? static_cast<SheetId>(tab + 1) : 1;
    }
  }
  return 1;
}

std::vector<std::string> BiffEngine::namesExcept(size_t position) const {
  std::vector<std::string> names;
  for (size_t i = 0; i < book_.sheets.size(); ++i)
    if (i != position) names.push_back(book_.sheets[i].name);
  return names;
}

SheetId BiffEngine::copySheet(SheetId source, SheetId after) {
  asOnDisk_ = false;  // a refusal part way may leave the records other than the file holds them
  const size_t from = indexOf(source);
  if (indexOf(after) + 1 != book_.sheets.size())
    throw ServerError("Cannot copy the sheet '" + book_.sheets[from].name +
                      "': in an Excel 97-2003 workbook (.xls) Orvandel places copies after the "
                      "last sheet only.");
  const std::string name =
      automaticCopyName(book_.sheets[from].name, namesExcept(book_.sheets.size()));
  CopyContext context;
  CompoundEntry* project = findChild(root_, "_VBA_PROJECT_CUR");
  context.hasVbaProject = project != nullptr;
  // In a macro workbook the copy's code name comes with a module holding the source's code.
  std::optional<CompoundEntry> changedProject;
  const std::string sourceCode = sheetCodeName(book_.sheets[from]);
  if (project && !sourceCode.empty()) {
    context.codeName = freshCodeName(book_, vba::vbaTakenNames(*project));
    changedProject = *project;
    try {
      vba::addDocumentModule(*changedProject, sourceCode, context.codeName);
    } catch (const vba::VbaError& e) {
      throw ServerError("Cannot copy the sheet '" + book_.sheets[from].name + "': " + e.what +
                        ", so its macros cannot be copied. The workbook was not changed.");
    }
  }
  appendSheetCopy(book_, from, name, context);
  try {
    // Held as bytes right away, so that copies waiting for one save cost what they weigh.
    holdAsBytes(book_.sheets.back());
  } catch (const RecordError&) {
    // An INDEX record too short to list its DBCELL records: the copy stays as records, and the
    // save refuses with the reason.
  }
  if (changedProject) *project = std::move(*changedProject);
  modified_ = true;
  return static_cast<SheetId>(book_.sheets.size());
}

void BiffEngine::renameSheet(SheetId id, const std::string& name) {
  asOnDisk_ = false;
  const size_t at = indexOf(id);
  validateSheetName(name, namesExcept(at));
  // Formulas name sheets by position, so the new name is all that changes.
  book_.sheets[at].name = name;
  modified_ = true;
}

std::string BiffEngine::workbookStream() { return writeWorkbookStream(book_); }

void BiffEngine::save() {
  if (!modified_) return;
  if (!(fileIdentity(path_, display_) == identity_))
    throw ServerError("Cannot save '" + display_ +
                      "': the file was changed by another program after it was opened. Open it "
                      "again and repeat the change.");
  try {
    // New copies are held as bytes from now on, as every other sheet is.
    holdSheetsAsBytes(book_);
  } catch (const RecordError& e) {
    throw ServerError("Cannot save '" + display_ + "': " + e.what + ".");
  }
  CompoundEntry* workbook = workbookEntry();
  // The stream is written straight into the file as it is made, never held whole.
  std::map<const CompoundEntry*, cfb::StreamProducer> produced;
  produced[workbook] = [&](const std::function<bool(std::string_view)>& write) {
    try {
      writeWorkbookStream(book_, [&](std::string_view piece) {
        if (!write(piece))
          throw ServerError("Cannot save '" + display_ + "': " + describeSystemError(errno));
      });
    } catch (const RecordError& e) {
      throw ServerError("Cannot save '" + display_ + "': " + e.what + ".");
    }
  };
  std::optional<FileIdentity> savedAs;
  replaceFileDurably(path_, [&](int fd) {
    cfb::writeCompoundFile(root_, fd, display_, produced);
    if (!(fileIdentity(path_, display_) == identity_))
      throw ServerError("Cannot save '" + display_ +
                        "': the file was changed by another program while it was being saved. "
                        "Open it again and repeat the change.");
    savedAs = descriptorIdentity(fd);
  });
  identity_ = fileIdentity(path_, display_);
  modified_ = false;
  // The name must lead to the file just written: another program writing over it right after the
  // rename keeps its inode, but not its size and time.
  if (savedAs && (savedAs->device != identity_.device || savedAs->inode != identity_.inode ||
                  savedAs->size != identity_.size || savedAs->mtimeNs != identity_.mtimeNs))
    throw ServerError("Cannot save '" + display_ +
                      "': the file was changed by another program while it was being saved. "
                      "Open it again and repeat the change.");
  asOnDisk_ = true;
}

}  // namespace orv::biff
