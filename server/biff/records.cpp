#include "server/biff/records.h"

#include <algorithm>

#include "server/unicode_chars.h"

namespace orv::biff {

Record RecordReader::next() {
  if (stream_.size() - at_ < 4) throw RecordError{"a record header is cut short"};
  Record record;
  record.position = at_;
  record.sid = get16(stream_, at_);
  const size_t length = get16(stream_, at_ + 2);
  if (stream_.size() - at_ - 4 < length) throw RecordError{"a record is cut short"};
  record.data.assign(stream_.substr(at_ + 4, length));
  at_ += 4 + length;
  return record;
}

std::string logicalData(const std::vector<Record>& records, size_t at, size_t* end) {
  std::string data = records[at].data;
  size_t next = at + 1;
  while (next < records.size() && records[next].sid == sid::kContinue) data += records[next++].data;
  if (end) *end = next;
  return data;
}

std::vector<Record> splitRecord(std::uint16_t sid, std::string_view data) {
  std::vector<Record> out;
  size_t at = 0;
  do {
    const size_t take = std::min(kMaxRecordData, data.size() - at);
    Record r;
    r.sid = out.empty() ? sid : sid::kContinue;
    r.data.assign(data.substr(at, take));
    out.push_back(std::move(r));
    at += take;
  } while (at < data.size());
  return out;
}

void appendRecord(std::string& out, const Record& record) {
  add16(out, record.sid);
  add16(out, static_cast<std::uint32_t>(record.data.size()));
  out += record.data;
}

std::string readBiffChars(std::string_view d, size_t at, size_t chars, size_t* used) {
  if (at >= d.size()) throw RecordError{"a string is cut short"};
  const bool wide = (static_cast<unsigned char>(d[at]) & 1) != 0;
  const size_t bytes = chars * (wide ? 2 : 1);
  if (d.size() - at - 1 < bytes) throw RecordError{"a string is cut short"};
  std::string utf8;
  for (size_t i = 0; i < chars; ++i) {
    std::uint32_t c = wide ? get16(d, at + 1 + 2 * i) : static_cast<unsigned char>(d[at + 1 + i]);
    if (wide && c >= 0xD800 && c < 0xDC00 && i + 1 < chars) {
      const std::uint32_t low = get16(d, at + 3 + 2 * i);
      if (low >= 0xDC00 && low < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    if (c >= 0xD800 && c < 0xE000) c = 0xFFFD;
    appendUtf8(utf8, static_cast<std::int32_t>(c));
  }
  if (used) *used = 1 + bytes;
  return utf8;
}

std::string writeBiffChars(std::string_view utf8, size_t* units) {
  std::vector<std::uint16_t> u16;
  for (size_t i = 0; i < utf8.size();) {
    const unsigned char b = static_cast<unsigned char>(utf8[i]);
    std::uint32_t c = b;
    size_t n = 1;
    if (b >= 0xF0)
      c = b & 0x07, n = 4;
    else if (b >= 0xE0)
      c = b & 0x0F, n = 3;
    else if (b >= 0xC0)
      c = b & 0x1F, n = 2;
    for (size_t k = 1; k < n && i + k < utf8.size(); ++k)
      c = (c << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    i += n;
    if (c >= 0x10000) {
      c -= 0x10000;
      u16.push_back(static_cast<std::uint16_t>(0xD800 + (c >> 10)));
      u16.push_back(static_cast<std::uint16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      u16.push_back(static_cast<std::uint16_t>(c));
    }
  }
  const bool wide = std::any_of(u16.begin(), u16.end(), [](std::uint16_t c) { return c > 0xFF; });
  std::string out(1, wide ? '\1' : '\0');
  for (std::uint16_t c : u16) {
    if (wide)
      add16(out, c);
    else
      out.push_back(static_cast<char>(c));
  }
  if (units) *units = u16.size();
  return out;
}

}  // namespace orv::biff
