#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "server/biff/records.h"

namespace orv::biff {

// A BIFF8 Workbook stream as records: the globals substream, then one substream per sheet (from
// its BOF to its EOF, embedded chart substreams included). Stream positions are not kept: they
// are worked out again when the stream is written.
struct WorkbookStream {
  struct Sheet {
    std::string name;        // UTF-8
    std::uint8_t state = 0;  // 0 visible, 1 hidden, 2 very hidden
    std::uint8_t type = 0;   // 0 worksheet or dialog, 1 macro sheet, 2 chart, 6 VBA module
    size_t boundSheet = 0;   // index of its BOUNDSHEET8 record in `globals`
    std::vector<Record> records;
    // A sheet held as bytes (holdSheetsAsBytes) has no records but its substream as last
    // written, headers included, and what is read of it without going through its records.
    // Its records never change once it is in the book; only the positions its INDEX record
    // holds do, which are rewritten where they lie.
    std::string bytes;
    struct Held {
      size_t indexData = 0;  // where its INDEX record's data starts in `bytes`; 0 for none
      std::vector<std::uint32_t> cells;  // where the DBCELL records it lists start
      std::uint32_t colWidth = 0;        // where its DEFCOLWIDTH record starts; 0 for none
      std::string codeName;
      std::uint32_t drawingId = 0;
      bool dialog = false;  // its WSBOOL marks a dialog sheet
    } held;
    bool heldAsBytes() const { return records.empty() && !bytes.empty(); }
  };
  std::vector<Record> globals;  // BOF to EOF
  std::vector<Sheet> sheets;    // in tab order (the order of the BOUNDSHEET8 records)
};

// Parses the stream. Throws RecordError when its records cannot be followed; refusals of
// whole workbooks (encryption, older formats) are thrown by the caller, which knows the file.
// With `sheetsAsBytes`, each sheet is held as bytes as soon as it is read (holdSheetsAsBytes).
WorkbookStream parseWorkbookStream(std::string_view stream, bool sheetsAsBytes = false);

// Writes the stream, recomputing every absolute position it holds: each sheet's BOUNDSHEET8
// position, each sheet's INDEX (rebuilt from its DBCELL and DEFCOLWIDTH records) and the
// string positions of EXTSST. Sheet names are written into their BOUNDSHEET8 records.
std::string writeWorkbookStream(WorkbookStream& book);
// The same, given piece by piece to `write` instead of held whole.
void writeWorkbookStream(WorkbookStream& book, const std::function<void(std::string_view)>& write);

// Holds every sheet that has records as its bytes instead, which cost a fraction of the memory
// and are written as they are. Throws RecordError when a sheet's INDEX record is cut short.
void holdSheetsAsBytes(WorkbookStream& book);
void holdAsBytes(WorkbookStream::Sheet& sheet);
// The records of a sheet, read from its bytes when it is held as bytes.
std::vector<Record> sheetRecords(const WorkbookStream::Sheet& sheet);
// What is known of a sheet without its records: its code name (empty for none), the drawing id
// of its drawing (0 for none), whether it is a dialog sheet.
std::string sheetCodeName(const WorkbookStream::Sheet& sheet);
std::uint32_t sheetDrawingId(const WorkbookStream::Sheet& sheet);
bool isDialogSheet(const WorkbookStream::Sheet& sheet);

// The code name a CODENAME record holds.
std::string codeNameOf(const Record& r);

// The index in `records` of the first record of `sid` at the top level of the substream (not
// inside an embedded chart substream), or records.size().
size_t findTopLevel(const std::vector<Record>& records, std::uint16_t sid);

}  // namespace orv::biff
