#include "server/biff/workbook_stream.h"

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

}  // namespace

size_t findTopLevel(const std::vector<Record>& records, std::uint16_t sid) {
  int depth = 0;
  for (size_t i = 0; i < records.size(); ++i) {
    if (records[i].sid == sid::kBof) ++depth;
    if (depth == 1 && records[i].sid == sid) return i;
    if (records[i].sid == sid::kEof) --depth;
  }
  return records.size();
}

WorkbookStream parseWorkbookStream(std::string_view stream) {
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
    sheet.records = readSubstream(stream, at);
    book.sheets.push_back(std::move(sheet));
  }
  return book;
}

std::string writeWorkbookStream(WorkbookStream& book) {
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
  for (WorkbookStream::Sheet& sheet : book.sheets) {
    const size_t index = findTopLevel(sheet.records, sid::kIndex);
    if (index == sheet.records.size()) continue;
    size_t cells = 0;
    for (const Record& r : sheet.records) cells += r.sid == sid::kDbCell;
    Record& r = sheet.records[index];
    if (r.data.size() < 16) throw RecordError{"a sheet's index record is cut short"};
    r.data.resize(16 + 4 * cells);
  }
  const auto sizeOf = [](const std::vector<Record>& records) {
    size_t size = 0;
    for (const Record& r : records) size += 4 + r.data.size();
    return size;
  };
  size_t at = sizeOf(book.globals);
  for (WorkbookStream::Sheet& sheet : book.sheets) {
    put32(book.globals[sheet.boundSheet].data, 0, static_cast<std::uint32_t>(at));
    size_t inSheet = at;
    size_t index = sheet.records.size();
    size_t cells = 0;
    for (size_t i = 0; i < sheet.records.size(); ++i) {
      const Record& r = sheet.records[i];
      if (r.sid == sid::kIndex && index == sheet.records.size()) index = i;
      if (index < sheet.records.size()) {
        std::string& d = sheet.records[index].data;
        if (r.sid == sid::kDbCell) put32(d, 16 + 4 * cells++, static_cast<std::uint32_t>(inSheet));
        if (r.sid == sid::kDefColWidth) put32(d, 12, static_cast<std::uint32_t>(inSheet));
      }
      inSheet += 4 + r.data.size();
    }
    at = inSheet;
  }
  if (at > 0x7FFFFFFF) throw RecordError{"the workbook would grow past the format's 2 GB limit"};

  // EXTSST gives absolute positions of strings in SST: they move with SST.
  std::string out;
  out.reserve(at);
  size_t sstOld = Record::kNoPosition, sstNew = 0;
  for (Record& r : book.globals) {
    if (r.sid == sid::kSst) {
      sstOld = r.position;
      sstNew = out.size();
    }
    if (r.sid == sid::kExtSst && sstOld != Record::kNoPosition) {
      for (size_t k = 2; k + 8 <= r.data.size(); k += 8)
        put32(r.data, k, static_cast<std::uint32_t>(get32(r.data, k) - sstOld + sstNew));
    }
    appendRecord(out, r);
  }
  // Positions now describe the stream as written.
  size_t pos = 0;
  for (Record& r : book.globals) {
    r.position = pos;
    pos += 4 + r.data.size();
  }
  for (const WorkbookStream::Sheet& sheet : book.sheets)
    for (const Record& r : sheet.records) appendRecord(out, r);
  return out;
}

}  // namespace orv::biff
