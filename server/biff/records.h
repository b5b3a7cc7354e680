#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "server/little_endian.h"

namespace orv::biff {

// Record identifiers this engine reads or writes.
namespace sid {
constexpr std::uint16_t kFormula = 0x0006;
constexpr std::uint16_t kEof = 0x000A;
constexpr std::uint16_t kProtect = 0x0012;
constexpr std::uint16_t kExternSheet = 0x0017;
constexpr std::uint16_t kName = 0x0018;
constexpr std::uint16_t kFilePass = 0x002F;
constexpr std::uint16_t kContinue = 0x003C;
constexpr std::uint16_t kWindow1 = 0x003D;
constexpr std::uint16_t kDefColWidth = 0x0055;
constexpr std::uint16_t kObj = 0x005D;
constexpr std::uint16_t kWsBool = 0x0081;
constexpr std::uint16_t kBoundSheet = 0x0085;
constexpr std::uint16_t kDbCell = 0x00D7;
constexpr std::uint16_t kMsoDrawingGroup = 0x00EB;
constexpr std::uint16_t kMsoDrawing = 0x00EC;
constexpr std::uint16_t kSst = 0x00FC;
constexpr std::uint16_t kLabelSst = 0x00FD;
constexpr std::uint16_t kExtSst = 0x00FF;
constexpr std::uint16_t kTabId = 0x013D;
constexpr std::uint16_t kSupBook = 0x01AE;
constexpr std::uint16_t kCf = 0x01B1;
constexpr std::uint16_t kCodeName = 0x01BA;
constexpr std::uint16_t kDv = 0x01BE;
constexpr std::uint16_t kIndex = 0x020B;
constexpr std::uint16_t kArray = 0x0221;
constexpr std::uint16_t kWindow2 = 0x023E;
constexpr std::uint16_t kShrFmla = 0x04BC;
constexpr std::uint16_t kBof = 0x0809;
constexpr std::uint16_t kBrai = 0x1051;
}  // namespace sid

// The most data one record carries; longer data goes on in CONTINUE records.
constexpr size_t kMaxRecordData = 8224;

struct Record {
  std::uint16_t sid = 0;
  std::string data;
  // Where the record started in the stream it was read from; kNoPosition for a record made here.
  std::uint64_t position = kNoPosition;
  static constexpr std::uint64_t kNoPosition = ~std::uint64_t{0};
};

// Reads records one after another from a stream. Every failure is a RecordError.
class RecordReader {
 public:
  explicit RecordReader(std::string_view stream, size_t start = 0) : stream_(stream), at_(start) {}
  bool atEnd() const { return at_ >= stream_.size(); }
  size_t position() const { return at_; }
  // Reads the next record; throws RecordError when its header or data is cut short.
  Record next();

 private:
  std::string_view stream_;
  size_t at_;
};

// A fault in a record stream, described for the user ("a record is cut short"). `unknown` tells
// content this program does not know (a formula token) from damage.
struct RecordError {
  std::string what;
  bool unknown = false;
};

// The data of records[at] followed by the data of the CONTINUE records after it; `end` receives
// the index after the last of them.
std::string logicalData(const std::vector<Record>& records, size_t at, size_t* end = nullptr);

// `data` as one record of `sid` and as many CONTINUE records after it as its length needs.
std::vector<Record> splitRecord(std::uint16_t sid, std::string_view data);

// Appends the header and data of `record` to `out`.
void appendRecord(std::string& out, const Record& record);

// A BIFF8 string body: a flags byte (bit 0: two bytes per character) and `chars` characters,
// read from d[at]; `used` receives the bytes read. Returns UTF-8. Throws RecordError when short.
std::string readBiffChars(std::string_view d, size_t at, size_t chars, size_t* used = nullptr);
// The flags byte and characters of `utf8`, one byte per character when every character allows.
// `units` receives the number of characters (UTF-16 code units).
std::string writeBiffChars(std::string_view utf8, size_t* units);

}  // namespace orv::biff
