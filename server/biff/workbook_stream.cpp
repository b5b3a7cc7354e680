#include "server/biff/workbook_stream.h"

#include <algorithm>
#include <functional>
#include <map>

namespace orv::biff {

namespace {

// Reads a substream from its BOF at `start` to its EOF, nested substreams included.
std::vector<Record> readSubstream(std::string_view stream, size_t start) {
  RecordReader reader(stream, start);
  std::vector<Record> records;
  int depth = 0;
  do {
    if (reader.atEnd()) throw RecordError{"a sheet has no end record"};
    Record r = reader.next();
    if (records.empty() && r.sid != sid::kBof)
      throw RecordError{"a sheet does not start where the workbook says"};
    if (r.sid == sid::kBof) ++depth;
    if (r.sid == sid::kEof) --depth;
    records.push_back(std::move(r));
  } while (depth > 0);
  return records;
}

std::string boundSheetName(const std::string& data) {
  if (data.size() < 8) throw RecordError{"a sheet entry is cut short"};
  return readBiffChars(data, 7, static_cast<unsigned char>(data[6]));
}

// The drawing id an MSODRAWING record's data starts with (the FDG of its container), or 0.
std::uint32_t drawingIdIn(std::string_view d) {
  try {
    // The FDG sits at the start of the container, which usually overruns this record.
    for (size_t at = 0; at + 8 <= d.size() && at < 64;) {
      const unsigned verInst = get16(d, at);
      if (get16(d, at + 2) == 0xF008) return verInst >> 4;
      at += (verInst & 0xF) == 0xF ? 8 : 8 + get32(d, at + 4);
    }
  } catch (const RecordError&) {
  }
  return 0;
}

std::string codeNameIn(std::string_view d) {
  if (d.size() < 3) return {};
  return readBiffChars(d, 2, get16(d, 0));
}

// What a sheet held as bytes keeps of its substream, read from the bytes of that substream:
// `stream` from `start` to the EOF that ends it (`end` receives where that is). Only the INDEX
// record's positions are left for the writer. `sized` tells whether the INDEX record has room
// for exactly one position per DBCELL record, as written.
WorkbookStream::Sheet::Held describeSubstream(std::string_view stream, size_t start, size_t* end,
                                             bool* sized) {
  WorkbookStream::Sheet::Held held;
  size_t at = start;
  int depth = 0;
  bool indexSeen = false, codeNameSeen = false, wsBoolSeen = false;
  size_t indexSize = 0, topIndexSize = 0, cells = 0;
  bool topIndex = false;
  do {
    if (at >= stream.size()) throw RecordError{"a sheet has no end record"};
    if (stream.size() - at < 4) throw RecordError{"a record header is cut short"};
    const std::uint16_t id = get16(stream, at);
    const size_t length = get16(stream, at + 2);
    if (stream.size() - at - 4 < length) throw RecordError{"a record is cut short"};
    const std::string_view data = stream.substr(at + 4, length);
    if (at == start && id != sid::kBof)
      throw RecordError{"a sheet does not start where the workbook says"};
    if (id == sid::kBof) ++depth;
    const auto inSheet = static_cast<std::uint32_t>(at - start);
    if (id == sid::kIndex && depth == 1 && !topIndex) {
      topIndex = true;
      topIndexSize = length;
    }
    if (id == sid::kIndex && !indexSeen) {
      indexSeen = true;
      held.indexData = inSheet + 4;
      indexSize = length;
    } else if (indexSeen && id == sid::kDbCell) {
      held.cells.push_back(inSheet);
    } else if (indexSeen && id == sid::kDefColWidth) {
      held.colWidth = inSheet;
    }
    cells += id == sid::kDbCell;
    if (depth == 1 && id == sid::kCodeName && !codeNameSeen) {
      codeNameSeen = true;
      held.codeName = codeNameIn(data);
    }
    if (depth == 1 && id == sid::kWsBool && !wsBoolSeen) {
      wsBoolSeen = true;
      held.dialog = !data.empty() && (data[0] & 0x10);
    }
    if (id == sid::kMsoDrawing) held.drawingId = std::max(held.drawingId, drawingIdIn(data));
    if (id == sid::kEof) --depth;
    at += 4 + length;
  } while (depth > 0);
  if (topIndex && topIndexSize < 16) throw RecordError{"a sheet's index record is cut short"};
  *sized = !topIndex || topIndexSize == 16 + 4 * cells;
  if (*sized && indexSeen && indexSize < 16 + 4 * held.cells.size())
    throw RecordError{"a sheet's index record is cut short"};
  *end = at;
  return held;
}

std::uint32_t drawingIdOf(const std::vector<Record>& records) {
  std::uint32_t found = 0;
  for (const Record& r : records)
    if (r.sid == sid::kMsoDrawing) found = std::max(found, drawingIdIn(r.data));
  return found;
}

bool dialogOf(const std::vector<Record>& records) {
  const size_t wsBool = findTopLevel(records, sid::kWsBool);
  return wsBool < records.size() && !records[wsBool].data.empty() &&
         (records[wsBool].data[0] & 0x10);
}

// Sizes a sheet's INDEX record for its DBCELL records. The positions it lists are put in when
// the stream is written.
void sizeIndex(std::vector<Record>& records) {
  const size_t index = findTopLevel(records, sid::kIndex);
  if (index == records.size()) return;
  size_t cells = 0;
  for (const Record& r : records) cells += r.sid == sid::kDbCell;
  Record& r = records[index];
  if (r.data.size() < 16) throw RecordError{"a sheet's index record is cut short"};
  r.data.resize(16 + 4 * cells);
}

// Puts into a sheet's bytes the positions its INDEX lists, for the sheet starting at `start` in
// the stream.
void placeIndex(std::string& bytes, size_t start, const WorkbookStream::Sheet::Held& held) {
  if (held.indexData == 0) return;
  const size_t data = held.indexData;
  for (size_t k = 0; k < held.cells.size(); ++k)
    put32(bytes, data + 16 + 4 * k, static_cast<std::uint32_t>(start + held.cells[k]));
  if (held.colWidth != 0) put32(bytes, data + 12, static_cast<std::uint32_t>(start + held.colWidth));
}

}  // namespace

std::string codeNameOf(const Record& r) { return codeNameIn(r.data); }

std::string sheetCodeName(const WorkbookStream::Sheet& sheet) {
  if (sheet.heldAsBytes()) return sheet.held.codeName;
  const size_t at = findTopLevel(sheet.records, sid::kCodeName);
  return at < sheet.records.size() ? codeNameOf(sheet.records[at]) : std::string();
}

std::uint32_t sheetDrawingId(const WorkbookStream::Sheet& sheet) {
  return sheet.heldAsBytes() ? sheet.held.drawingId : drawingIdOf(sheet.records);
}

bool isDialogSheet(const WorkbookStream::Sheet& sheet) {
  return sheet.heldAsBytes() ? sheet.held.dialog : dialogOf(sheet.records);
}

std::vector<Record> sheetRecords(const WorkbookStream::Sheet& sheet) {
  if (!sheet.heldAsBytes()) return sheet.records;
  return readSubstream(sheet.bytes, 0);
}

void holdAsBytes(WorkbookStream::Sheet& sheet) {
  if (sheet.records.empty()) return;
  sizeIndex(sheet.records);
  std::string bytes;
  size_t size = 0;
  for (const Record& r : sheet.records) size += 4 + r.data.size();
  bytes.reserve(size);
  for (const Record& r : sheet.records) appendRecord(bytes, r);
  size_t end = 0;
  bool sized = true;
  sheet.held = describeSubstream(bytes, 0, &end, &sized);
  sheet.bytes = std::move(bytes);
  std::vector<Record>().swap(sheet.records);
}

void holdSheetsAsBytes(WorkbookStream& book) {
  for (WorkbookStream::Sheet& sheet : book.sheets) holdAsBytes(sheet);
}

size_t findTopLevel(const std::vector<Record>& records, std::uint16_t sid) {
  int depth = 0;
  for (size_t i = 0; i < records.size(); ++i) {
    if (records[i].sid == sid::kBof) ++depth;
    if (depth == 1 && records[i].sid == sid) return i;
    if (records[i].sid == sid::kEof) --depth;
  }
  return records.size();
}

WorkbookStream parseWorkbookStream(std::string_view stream, bool sheetsAsBytes) {
  WorkbookStream book;
  book.globals = readSubstream(stream, 0);
  for (size_t i = 0; i < book.globals.size(); ++i) {
    const Record& r = book.globals[i];
    if (r.sid != sid::kBoundSheet) continue;
    WorkbookStream::Sheet sheet;
    sheet.name = boundSheetName(r.data);
    sheet.state = static_cast<std::uint8_t>(r.data[4] & 3);
    sheet.type = static_cast<std::uint8_t>(r.data[5]);
    sheet.boundSheet = i;
    const std::uint32_t at = get32(r.data, 0);
    if (at >= stream.size()) throw RecordError{"a sheet lies outside the workbook stream"};
    // A sheet is held as the bytes it lies in, unless its INDEX record must be resized first.
    size_t end = 0;
    bool sized = false;
    if (sheetsAsBytes) sheet.held = describeSubstream(stream, at, &end, &sized);
    if (sized) {
      sheet.bytes.assign(stream.substr(at, end - at));
    } else {
      sheet.records = readSubstream(stream, at);
      if (sheetsAsBytes) holdAsBytes(sheet);
    }
    book.sheets.push_back(std::move(sheet));
  }
  return book;
}

std::string writeWorkbookStream(WorkbookStream& book) {
  std::string out;
  writeWorkbookStream(book, [&](std::string_view piece) { out.append(piece); });
  return out;
}

void writeWorkbookStream(WorkbookStream& book,
                         const std::function<void(std::string_view)>& write) {
  // Names first: BOUNDSHEET8 sizes follow them, and every position after them.
  for (WorkbookStream::Sheet& sheet : book.sheets) {
    std::string& data = book.globals[sheet.boundSheet].data;
    size_t units = 0;
    std::string chars = writeBiffChars(sheet.name, &units);
    data.resize(6);
    data[4] = static_cast<char>((data[4] & ~3) | sheet.state);
    data[5] = static_cast<char>(sheet.type);
    data.push_back(static_cast<char>(units));
    data += chars;
  }
  // INDEX lists one position per DBCELL: its size follows their number.
  for (WorkbookStream::Sheet& sheet : book.sheets) sizeIndex(sheet.records);
  const auto sizeOf = [](const std::vector<Record>& records) {
    size_t size = 0;
    for (const Record& r : records) size += 4 + r.data.size();
    return size;
  };
  size_t at = sizeOf(book.globals);
  std::vector<size_t> starts;
  starts.reserve(book.sheets.size());
  for (WorkbookStream::Sheet& sheet : book.sheets) {
    put32(book.globals[sheet.boundSheet].data, 0, static_cast<std::uint32_t>(at));
    starts.push_back(at);
    if (sheet.heldAsBytes()) {
      at += sheet.bytes.size();
      continue;
    }
    size_t inSheet = at;
    size_t index = sheet.records.size();
    size_t cells = 0;
    for (size_t i = 0; i < sheet.records.size(); ++i) {
      const Record& r = sheet.records[i];
      if (r.sid == sid::kIndex && index == sheet.records.size()) index = i;
      if (index < sheet.records.size()) {
        std::string& d = sheet.records[index].data;
        // The INDEX sized above is the first at the top level; an earlier one inside an embedded
        // chart may have no room.
        const size_t at = r.sid == sid::kDbCell ? 16 + 4 * cells++ : 12;
        if ((r.sid == sid::kDbCell || r.sid == sid::kDefColWidth) && d.size() < at + 4)
          throw RecordError{"a sheet's index record is cut short"};
        if (r.sid == sid::kDbCell || r.sid == sid::kDefColWidth)
          put32(d, at, static_cast<std::uint32_t>(inSheet));
      }
      inSheet += 4 + r.data.size();
    }
    at = inSheet;
  }
  if (at > 0x7FFFFFFF) throw RecordError{"the workbook would grow past the format's 2 GB limit"};

  // Records go out in pieces of about this size; a sheet held as bytes goes out whole.
  constexpr size_t kPiece = size_t{1} << 20;
  std::string out;
  size_t written = 0;
  const auto flush = [&] {
    written += out.size();
    if (!out.empty()) write(out);
    out.clear();
  };
  const auto add = [&](const Record& r) {
    appendRecord(out, r);
    if (out.size() >= kPiece) flush();
  };
  // EXTSST gives absolute positions of strings in SST: they move with SST.
  size_t sstOld = Record::kNoPosition, sstNew = 0;
  for (Record& r : book.globals) {
    if (r.sid == sid::kSst) {
      sstOld = r.position;
      sstNew = written + out.size();
    }
    if (r.sid == sid::kExtSst && sstOld != Record::kNoPosition) {
      for (size_t k = 2; k + 8 <= r.data.size(); k += 8)
        put32(r.data, k, static_cast<std::uint32_t>(get32(r.data, k) - sstOld + sstNew));
    }
    add(r);
  }
  // Positions now describe the stream as written.
  size_t pos = 0;
  for (Record& r : book.globals) {
    r.position = pos;
    pos += 4 + r.data.size();
  }
  for (size_t i = 0; i < book.sheets.size(); ++i) {
    WorkbookStream::Sheet& sheet = book.sheets[i];
    if (!sheet.heldAsBytes()) {
      for (const Record& r : sheet.records) add(r);
      continue;
    }
    flush();
    placeIndex(sheet.bytes, starts[i], sheet.held);
    write(sheet.bytes);
    written += sheet.bytes.size();
  }
  flush();
}

}  // namespace orv::biff
