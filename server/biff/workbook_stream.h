#pragma once

#include <cstdint>
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
  };
  std::vector<Record> globals;  // BOF to EOF
  std::vector<Sheet> sheets;    // in tab order (the order of the BOUNDSHEET8 records)
};

// Parses the stream. Throws RecordError when its records cannot be followed; refusals of
// whole workbooks (encryption, older formats) are thrown by the caller, which knows the file.
WorkbookStream parseWorkbookStream(std::string_view stream);

// Writes the stream, recomputing every absolute position it holds: each sheet's BOUNDSHEET8
// position, each sheet's INDEX (rebuilt from its DBCELL and DEFCOLWIDTH records) and the
// string positions of EXTSST. Sheet names are written into their BOUNDSHEET8 records.
std::string writeWorkbookStream(WorkbookStream& book);

// The index in `records` of the first record of `sid` at the top level of the substream (not
// inside an embedded chart substream), or records.size().
size_t findTopLevel(const std::vector<Record>& records, std::uint16_t sid);

}  // namespace orv::biff
