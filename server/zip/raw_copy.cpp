#include "server/zip/raw_copy.h"

#include <fcntl.h>
#include <libdeflate.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <future>
#include <memory>
#include <stdexcept>
#include <system_error>

#include "server/durable_file.h"
#include "server/file_handle.h"

namespace orv::zip {

namespace {

constexpr std::uint32_t kLocalSignature = 0x04034b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr size_t kLocalSize = 30;
constexpr size_t kCentralSize = 46;
// A file system block, for aligning a large entry saved again and again; and the kind of the
// extra field that pads its local header.
constexpr std::uint64_t kAlignBlock = 4096;
constexpr std::uint16_t kPaddingField = 0xD935;
constexpr size_t kEndSize = 22;
constexpr std::uint64_t kMax32 = 0xFFFFFFFFu;
constexpr std::uint64_t kMaxEntries = 0xFFFFu;

// Flags the writer cannot carry over: encrypted (0), strong encryption (6), masked local header
// (13). An entry with a data descriptor (3) after its data is copied with it.
constexpr std::uint16_t kRefusedFlags = 0x0001 | 0x0040 | 0x2000;
constexpr std::uint16_t kDescriptorFlag = 0x0008;
constexpr std::uint32_t kDescriptorSignature = 0x08074b50;
constexpr std::uint16_t kUtf8Flag = 0x0800;

std::uint16_t u16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t u32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
void put16(std::string& out, std::uint64_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>((v >> 8) & 0xFF));
}
void put32(std::string& out, std::uint64_t v) {
  put16(out, v & 0xFFFF);
  put16(out, (v >> 16) & 0xFFFF);
}
void set32(std::string& out, size_t at, std::uint64_t v) {
  for (int i = 0; i < 4; ++i)
    out[at + static_cast<size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

bool readAt(int fd, std::uint64_t offset, void* buffer, size_t length) {
  return readFileAt(fd, offset, buffer, length) == static_cast<std::int64_t>(length);
}

// Serves the local headers, which come in file order, from a few large reads.
class Window {
 public:
  Window(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  const unsigned char* at(std::uint64_t offset, size_t length) {
    if (offset > size_ || length > size_ - offset) return nullptr;
    if (offset < start_ || offset + length > start_ + data_.size()) {
      const size_t want = std::max<size_t>(length, kChunk);
      const size_t n = static_cast<size_t>(std::min<std::uint64_t>(want, size_ - offset));
      data_.resize(n);
      start_ = offset;
      if (!readAt(fd_, offset, data_.data(), n)) {
        data_.clear();
        return nullptr;
      }
    }
    return reinterpret_cast<const unsigned char*>(data_.data()) + (offset - start_);
  }

 private:
  static constexpr size_t kChunk = 256 * 1024;
  int fd_;
  std::uint64_t size_;
  std::uint64_t start_ = 0;
  std::string data_;
};

// An extra block that does not parse, or (when `zip64Refused`) one with a ZIP64 field. In a local
// header a ZIP64 field is harmless while the header's own sizes are real (libzip reserves one
// when it writes an entry of unknown size); in the central directory it is refused.
bool extraRefused(const unsigned char* p, size_t length, bool zip64Refused) {
  size_t at = 0;
  while (at + 4 <= length) {
    const std::uint16_t id = u16(p + at);
    const std::uint16_t size = u16(p + at + 2);
    if (id == 0x0001 && zip64Refused) return true;
    at += 4 + size;
  }
  return at != length;
}

}  // namespace

namespace {

// What the central directory says of an entry, which its local header must repeat.
struct Expected {
  std::uint16_t flags, method;
  std::uint32_t crc, compressed, size;
};

// Where the central directory lies, from the end record.
struct Directory {
  std::uint64_t at = 0;
  std::uint64_t size = 0;
  std::uint16_t entries = 0;
  std::string comment;
};

// The end record is the last signature whose comment reaches exactly to the end of the file;
// one that spans disks or needs ZIP64 is declined.
std::optional<Directory> readEndRecord(int fd, std::uint64_t size) {
  if (size < kEndSize) return std::nullopt;
  const size_t tailLength = static_cast<size_t>(std::min<std::uint64_t>(size, kEndSize + 0xFFFF));
  std::string tail(tailLength, '\0');
  if (!readAt(fd, size - tailLength, tail.data(), tailLength)) return std::nullopt;
  const auto* t = reinterpret_cast<const unsigned char*>(tail.data());
  size_t end = tailLength;
  for (size_t i = tailLength - kEndSize + 1; i-- > 0;) {
    if (u32(t + i) == kEndSignature && i + kEndSize + u16(t + i + 20) == tailLength) {
      end = i;
      break;
    }
  }
  if (end == tailLength) return std::nullopt;
  const unsigned char* e = t + end;
  const std::uint64_t endAt = size - tailLength + end;
  const std::uint16_t disk = u16(e + 4), centralDisk = u16(e + 6);
  const std::uint16_t onDisk = u16(e + 8), total = u16(e + 10);
  const std::uint64_t centralSize = u32(e + 12), centralAt = u32(e + 16);
  if (disk != 0 || centralDisk != 0 || onDisk != total || total == kMaxEntries ||
      centralSize == kMax32 || centralAt == kMax32)
    return std::nullopt;
  if (endAt >= 20 && end >= 20 && u32(e - 20) == kZip64LocatorSignature) return std::nullopt;
  if (centralAt + centralSize != endAt) return std::nullopt;
  return Directory{centralAt, centralSize, total, tail.substr(end + kEndSize)};
}

// Reads the central directory into `layout`, each record's sizes into `expected`; false for
// anything the raw writer does not carry over.
bool readCentralDirectory(int fd, const Directory& directory, Layout& layout,
                          std::vector<Expected>& expected) {
  layout.central.resize(static_cast<size_t>(directory.size));
  if (directory.size > 0 && !readAt(fd, directory.at, layout.central.data(), layout.central.size()))
    return false;
  const auto* c = reinterpret_cast<const unsigned char*>(layout.central.data());
  layout.entries.reserve(directory.entries);
  expected.reserve(directory.entries);
  size_t pos = 0;
  for (std::uint16_t k = 0; k < directory.entries; ++k) {
    if (directory.size - pos < kCentralSize) return false;
    const unsigned char* r = c + pos;
    if (u32(r) != kCentralSignature) return false;
    const std::uint16_t flags = u16(r + 8), method = u16(r + 10);
    const std::uint32_t compressed = u32(r + 20), plain = u32(r + 24);
    const size_t nameLength = u16(r + 28), extraLength = u16(r + 30), commentLength = u16(r + 32);
    const std::uint32_t offset = u32(r + 42);
    const size_t length = kCentralSize + nameLength + extraLength + commentLength;
    if (directory.size - pos < length) return false;
    if ((flags & kRefusedFlags) != 0 || (method != 0 && method != 8) || u16(r + 34) != 0 ||
        compressed == kMax32 || plain == kMax32 || offset == kMax32)
      return false;
    if (extraRefused(r + kCentralSize + nameLength, extraLength, true)) return false;
    Entry entry;
    entry.start = offset;
    entry.central = static_cast<std::uint32_t>(pos);  // within a directory of at most 4 GB
    entry.centralLength = static_cast<std::uint32_t>(length);
    layout.entries.push_back(std::move(entry));
    expected.push_back({flags, method, u32(r + 16), compressed, plain});
    pos += length;
  }
  return pos == directory.size;
}

// Entries follow one another from the first byte of the file to the central directory, in
// central directory order, each local header agreeing with its central record. Sets each
// entry's end.
bool checkLocalHeaders(int fd, std::uint64_t size, std::uint64_t centralAt, Layout& layout,
                       const std::vector<Expected>& expected) {
  Window window(fd, size);
  std::uint64_t next = 0;
  for (size_t k = 0; k < layout.entries.size(); ++k) {
    Entry& entry = layout.entries[k];
    const std::string_view name = layout.nameOf(entry);
    const Expected& x = expected[k];
    if (entry.start != next) return false;
    const unsigned char* h = window.at(entry.start, kLocalSize + name.size());
    if (!h || u32(h) != kLocalSignature || u16(h + 6) != x.flags || u16(h + 8) != x.method ||
        u16(h + 26) != name.size() || std::memcmp(h + kLocalSize, name.data(), name.size()) != 0)
      return false;
    // With a data descriptor, the header's CRC and sizes may be left zero.
    const bool described = (x.flags & kDescriptorFlag) != 0;
    const bool zeros = u32(h + 14) == 0 && u32(h + 18) == 0 && u32(h + 22) == 0;
    if (!(described && zeros) &&
        (u32(h + 14) != x.crc || u32(h + 18) != x.compressed || u32(h + 22) != x.size))
      return false;
    const std::uint64_t extraLength = u16(h + 28);
    if (extraLength > 0) {
      const unsigned char* extra =
          window.at(entry.start + kLocalSize + name.size(), static_cast<size_t>(extraLength));
      if (!extra || extraRefused(extra, static_cast<size_t>(extraLength), false)) return false;
    }
    std::uint64_t end = entry.start + kLocalSize + name.size() + extraLength + x.compressed;
    if (described) {
      // CRC and sizes again, with or without a signature before them.
      const auto repeats = [&](const unsigned char* p) {
        return u32(p) == x.crc && u32(p + 4) == x.compressed && u32(p + 8) == x.size;
      };
      if (const unsigned char* d = window.at(end, 16);
          d && u32(d) == kDescriptorSignature && repeats(d + 4)) {
        end += 16;
      } else if (const unsigned char* e = window.at(end, 12); e && repeats(e)) {
        end += 12;
      } else {
        return false;
      }
    }
    if (end > centralAt) return false;  // the central directory lies below 4 GB
    entry.end = static_cast<std::uint32_t>(end);
    next = end;
  }
  return next == centralAt;
}

}  // namespace

std::string_view Layout::nameOf(const Entry& e) const {
  const auto* r = reinterpret_cast<const unsigned char*>(central.data() + e.central);
  return std::string_view(central).substr(e.central + kCentralSize, u16(r + 28));
}

std::optional<Layout> readLayout(int fd, std::uint64_t size) {
  std::optional<Directory> directory = readEndRecord(fd, size);
  if (!directory) return std::nullopt;
  Layout layout;
  layout.comment = std::move(directory->comment);
  layout.centralAt = static_cast<std::uint32_t>(directory->at);  // under 4 GB without ZIP64
  std::vector<Expected> expected;
  if (!readCentralDirectory(fd, *directory, layout, expected)) return std::nullopt;
  if (!checkLocalHeaders(fd, size, directory->at, layout, expected)) return std::nullopt;
  return layout;
}

EntryFacts factsOf(const Layout& layout, size_t i) {
  const auto* r = reinterpret_cast<const unsigned char*>(layout.central.data() +
                                                         layout.entries[i].central);
  return {u16(r + 10), u32(r + 16), u32(r + 20), u32(r + 24)};
}

std::optional<std::string> readEntry(int fd, const Layout& layout, size_t i) {
  const Entry& entry = layout.entries[i];
  const EntryFacts facts = factsOf(layout, i);
  unsigned char h[kLocalSize];
  if (!readAt(fd, entry.start, h, sizeof h) || u32(h) != kLocalSignature) return std::nullopt;
  const std::uint64_t dataAt = entry.start + kLocalSize + u16(h + 26) + u16(h + 28);
  if (dataAt + facts.compressed > entry.end) return std::nullopt;
  std::string data(static_cast<size_t>(facts.compressed), '\0');
  if (!data.empty() && !readAt(fd, dataAt, data.data(), data.size())) return std::nullopt;
  std::optional<std::string> plain;
  if (facts.method == 8) plain = inflateRaw(data, facts.plainSize);
  else if (facts.method == 0 && facts.compressed == facts.plainSize) plain = std::move(data);
  if (!plain || crcOf(*plain) != facts.crc) return std::nullopt;
  return plain;
}

Writer::Writer(int in, int out, int deflateLevel) : in_(in), out_(out), level_(deflateLevel) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  const int year = std::max(local.tm_year + 1900, 1980);
  dosDate_ =
      static_cast<std::uint16_t>(((year - 1980) << 9) | ((local.tm_mon + 1) << 5) | local.tm_mday);
  dosTime_ =
      static_cast<std::uint16_t>((local.tm_hour << 11) | (local.tm_min << 5) | (local.tm_sec / 2));
}

void Writer::put(const void* data, size_t length) {
  const auto* p = static_cast<const char*>(data);
  while (length > 0) {
    ssize_t done = ::write(out_, p, length);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) throw std::system_error(done < 0 ? errno : EIO, std::generic_category());
    p += done;
    length -= static_cast<size_t>(done);
    at_ += static_cast<std::uint64_t>(done);
  }
}

void Writer::reserve(size_t entries, size_t centralBytes) {
  written_.entries.reserve(entries);
  central_.reserve(centralBytes);
}

void Writer::copyRun(const Layout& layout, size_t first, size_t last) {
  const std::uint64_t from = layout.entries[first].start;
  const std::uint64_t to = layout.entries[last - 1].end;
  if (at_ + (to - from) > kMax32 || count_ + (last - first) >= kMaxEntries) throw Unsupported{};
  // A run the file starts with, where the original starts with it, has its records as they
  // were at the start of the central directory.
  const bool repeats = central_.empty() && first == 0 && at_ == 0 && from == 0;
  for (size_t k = first; k < last; ++k) {
    const Entry& e = layout.entries[k];
    const size_t at = central_.size();
    central_.append(layout.central, e.central, e.centralLength);
    set32(central_, at + 42, at_ + (e.start - from));
    written_.entries.push_back(
        Entry{static_cast<std::uint32_t>(at_ + (e.start - from)),
              static_cast<std::uint32_t>(at_ + (e.end - from)), static_cast<std::uint32_t>(at),
              e.centralLength});
  }
  count_ += last - first;
  if (repeats && layout.entries[first].central == 0) {
    size_t end = 0;
    for (size_t k = first; k < last && layout.entries[k].central == end; ++k)
      end += layout.entries[k].centralLength;
    repeated_ = end;
    originalCentralAt_ = layout.centralAt;
  }

  copyFileRange(in_, from, out_, to - from);
  at_ += to - from;
}

namespace {

// libdeflate compresses whole buffers, which is all a part ever is here, about twice as fast as
// zlib and a little smaller at the same level. Its compressor is made once per thread and level.
struct Compressors {
  int level = -1;
  libdeflate_compressor* compressor = nullptr;
  libdeflate_decompressor* decompressor = nullptr;
  ~Compressors() {
    if (compressor) libdeflate_free_compressor(compressor);
    if (decompressor) libdeflate_free_decompressor(decompressor);
  }
};
thread_local Compressors tCompressors;

libdeflate_compressor* compressorFor(int level) {
  Compressors& c = tCompressors;
  if (!c.compressor || c.level != level) {
    if (c.compressor) libdeflate_free_compressor(c.compressor);
    c.compressor = libdeflate_alloc_compressor(level);
    c.level = level;
    if (!c.compressor) throw std::bad_alloc();
  }
  return c.compressor;
}

}  // namespace

std::string deflateRaw(std::string_view data, int level) {
  libdeflate_compressor* compressor = compressorFor(level);
  // The bound is about the size of the text, but the output is a fraction of it: the buffer is
  // left unfilled, so that the pages the output never reaches are never touched.
  const size_t bound = libdeflate_deflate_compress_bound(compressor, data.size());
  const auto buffer = std::make_unique_for_overwrite<char[]>(bound);
  const size_t n =
      libdeflate_deflate_compress(compressor, data.data(), data.size(), buffer.get(), bound);
  if (n == 0) throw std::bad_alloc();  // the bound is always enough
  return std::string(buffer.get(), n);
}

std::optional<std::string> inflateRaw(std::string_view packed, std::uint64_t plainSize) {
  Compressors& c = tCompressors;
  if (!c.decompressor) c.decompressor = libdeflate_alloc_decompressor();
  if (!c.decompressor) throw std::bad_alloc();
  std::string plain(static_cast<size_t>(plainSize), '\0');
  size_t got = 0;
  if (libdeflate_deflate_decompress(c.decompressor, packed.data(), packed.size(), plain.data(),
                                    plain.size(), &got) != LIBDEFLATE_SUCCESS ||
      got != plainSize)
    return std::nullopt;
  return plain;
}

std::uint32_t crcOf(std::string_view data) { return libdeflate_crc32(0, data.data(), data.size()); }

struct PieceDeflater::Stream {
  z_stream z{};
  int level = 0;
};

PieceDeflater::PieceDeflater(int level) : stream_(std::make_unique<Stream>()) {
  stream_->level = level;
  if (deflateInit2(&stream_->z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::bad_alloc();
}

PieceDeflater::~PieceDeflater() { deflateEnd(&stream_->z); }

namespace {

// A text this long is deflated in two halves at once, the second on another thread: a piece ends
// with a full flush anyway, so two pieces joined are a piece of the whole.
constexpr size_t kSplitPiece = 512 * 1024;

}  // namespace

DeflatedPiece PieceDeflater::add(std::string_view text) {
  if (text.size() < kSplitPiece) return addWhole(text);
  const std::string_view head = text.substr(0, text.size() / 2);
  const std::string_view tail = text.substr(head.size());
  const int level = stream_->level;
  std::future<DeflatedPiece> later = std::async(std::launch::async, [tail, level] {
    PieceDeflater other(level);
    return other.addWhole(tail);
  });
  DeflatedPiece piece = addWhole(head);
  DeflatedPiece second = later.get();
  piece.packed += second.packed;
  piece.crc = static_cast<std::uint32_t>(crc32_combine_op(piece.crc, second.crc, second.combine));
  piece.plainSize = text.size();
  piece.combine = static_cast<std::uint32_t>(crc32_combine_gen(static_cast<z_off_t>(text.size())));
  return piece;
}

DeflatedPiece PieceDeflater::addWhole(std::string_view text) {
  DeflatedPiece piece;
  piece.crc = crcOf(text);
  piece.plainSize = text.size();
  piece.combine = static_cast<std::uint32_t>(crc32_combine_gen(static_cast<z_off_t>(text.size())));
  z_stream& z = stream_->z;
  // A full flush ends the piece on a byte boundary and forgets what came before it. The bound is
  // for one block; each flush adds a few bytes, and the loop goes on while output is left. A
  // sheet's XML shrinks tenfold or more: a long text starts with an eighth of its size, and the
  // room doubles when that is not enough, instead of filling the whole bound at once.
  piece.packed.resize(std::min<size_t>(deflateBound(&z, text.size()), text.size() / 8 + 4096) +
                      64);
  size_t used = 0;
  const auto* next = reinterpret_cast<const Bytef*>(text.data());
  size_t left = text.size();
  for (;;) {
    const uInt in = static_cast<uInt>(std::min<size_t>(left, 1u << 30));
    z.next_in = const_cast<Bytef*>(next);
    z.avail_in = in;
    const bool last = in == left;
    do {
      if (piece.packed.size() - used < 64) piece.packed.resize(piece.packed.size() * 2);
      const size_t room = std::min<size_t>(piece.packed.size() - used, 1u << 30);
      z.next_out = reinterpret_cast<Bytef*>(piece.packed.data() + used);
      z.avail_out = static_cast<uInt>(room);
      const int status = deflate(&z, last ? Z_FULL_FLUSH : Z_NO_FLUSH);
      if (status != Z_OK && status != Z_BUF_ERROR) throw std::bad_alloc();
      used += room - z.avail_out;
    } while (z.avail_out == 0 || z.avail_in != 0);
    next += in;
    left -= in;
    if (last) break;
  }
  piece.packed.resize(used);
  piece.packed.shrink_to_fit();  // a piece may be kept for many saves
  return piece;
}

DeflatedPiece joinPieces(const std::vector<const DeflatedPiece*>& pieces, size_t from) {
  DeflatedPiece whole;
  size_t packedSize = 2;
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (i >= from) packedSize += pieces[i]->packed.size();
    whole.crc =
        static_cast<std::uint32_t>(crc32_combine_op(whole.crc, pieces[i]->crc, pieces[i]->combine));
    whole.plainSize += pieces[i]->plainSize;
  }
  whole.packed.reserve(packedSize);
  for (size_t i = from; i < pieces.size(); ++i) whole.packed += pieces[i]->packed;
  // The final block: fixed codes, holding nothing but its end.
  whole.packed += std::string_view("\x03\x00", 2);
  return whole;
}

DeflatedPiece deflateAgain(std::string_view joined, std::uint32_t crc, std::uint64_t plainSize,
                           int level) {
  struct Streams {
    z_stream in{}, out{};
    bool inOpen = false, outOpen = false;
    ~Streams() {
      if (inOpen) inflateEnd(&in);
      if (outOpen) deflateEnd(&out);
    }
  } s;
  if (inflateInit2(&s.in, -15) != Z_OK) throw std::bad_alloc();
  s.inOpen = true;
  if (deflateInit2(&s.out, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::bad_alloc();
  s.outOpen = true;
  DeflatedPiece result;
  result.crc = crc;
  result.plainSize = plainSize;
  result.packed.resize(joined.size() / 4 + 1024);
  // Room for deflate's output after what it wrote, the buffer doubled when full.
  auto room = [&] {
    if (s.out.total_out == result.packed.size()) result.packed.resize(result.packed.size() * 2);
    s.out.next_out = reinterpret_cast<Bytef*>(result.packed.data() + s.out.total_out);
    s.out.avail_out = static_cast<uInt>(
        std::min<size_t>(result.packed.size() - s.out.total_out, size_t{1} << 30));
  };
  s.in.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(joined.data()));
  s.in.avail_in = static_cast<uInt>(joined.size());  // an entry's data, below 4 GB
  std::string plain(size_t{64} << 10, '\0');
  std::uint64_t inflated = 0;
  for (int rc = Z_OK; rc != Z_STREAM_END;) {
    s.in.next_out = reinterpret_cast<Bytef*>(plain.data());
    s.in.avail_out = static_cast<uInt>(plain.size());
    rc = inflate(&s.in, Z_NO_FLUSH);
    if (rc == Z_MEM_ERROR) throw std::bad_alloc();
    // A stream cut short stops with Z_BUF_ERROR: no progress with room to spare.
    if (rc != Z_OK && rc != Z_STREAM_END) throw std::runtime_error("the pieces do not inflate");
    s.out.next_in = reinterpret_cast<Bytef*>(plain.data());
    s.out.avail_in = static_cast<uInt>(plain.size() - s.in.avail_out);
    inflated += s.out.avail_in;
    while (s.out.avail_in > 0) {
      room();
      if (deflate(&s.out, Z_NO_FLUSH) == Z_STREAM_ERROR) throw std::bad_alloc();
    }
  }
  if (inflated != plainSize) throw std::runtime_error("the pieces do not hold their size");
  for (int rc = Z_OK; rc != Z_STREAM_END;) {
    room();
    rc = deflate(&s.out, Z_FINISH);
    if (rc == Z_STREAM_ERROR) throw std::bad_alloc();
  }
  result.packed.resize(s.out.total_out);
  result.packed.shrink_to_fit();
  return result;
}

namespace {

// Where the text of a growing part is marked: this far before its end, and at every multiple of
// kMarkEvery.
constexpr std::uint64_t kMarkBeforeEnd[] = {128 << 10, 16 << 10, 2 << 10, 256, 32};
constexpr std::uint64_t kMarkEvery = 256 << 10;
// A window of 8 KB: the text a tail repeats lies close before it, and zlib's state is then a
// fifth of what the usual 32 KB take, at the peak of a save.
constexpr int kWindowBits = 13;
constexpr size_t kHistory = size_t{1} << kWindowBits;
constexpr size_t kWholeBelow = 64 << 10;

}  // namespace

PackedData deflateAlong(std::string_view text, DeflateTrail& trail, int level) {
  PackedData result;
  result.plainSize = text.size();
  // A part saved once (a run that saves at the end) gains nothing from marks: the faster
  // compressor deflates it whole, and marks are made from the second save on.
  auto whole = [&] {
    trail.marks.clear();
    trail.packed = deflateRaw(text, level);
    result.crc = crcOf(text);
    result.bytes = trail.packed;
    result.size = trail.packed.size();
    return result;
  };
  if (!trail.savedBefore) {
    trail.savedBefore = true;
    return whole();
  }
  // The longest run of marks the text still matches, checked by two sums over its bytes.
  std::vector<DeflateTrail::Mark> kept;
  std::uint32_t crc = 0, adler = 1;  // the sums of no bytes
  std::uint64_t at = 0;
  for (const DeflateTrail::Mark& mark : trail.marks) {
    if (mark.at > text.size() || mark.at < at || mark.packedAt > trail.packed.size()) break;
    const std::string_view more = text.substr(at, mark.at - at);
    const std::uint32_t nextCrc = libdeflate_crc32(crc, more.data(), more.size());
    const std::uint32_t nextAdler = libdeflate_adler32(adler, more.data(), more.size());
    if (nextCrc != mark.crc || nextAdler != mark.adler) break;
    crc = nextCrc;
    adler = nextAdler;
    at = mark.at;
    kept.push_back(mark);
  }
  // Each save's blocks are small and deflated apart, a little larger than one stream would be:
  // once the text has grown by a quarter since it was last deflated whole, it is again. Over
  // many saves, that costs about five times deflating the last text whole.
  if (!kept.empty() && text.size() * 4 >= trail.wholePlain * 5) {
    kept.clear();
    crc = 0;
    adler = 1;
    at = 0;
  }
  // A short text that takes up nothing of the last stream is deflated whole by the faster
  // compressor, without marks: such a text, grown by a quarter or changed at its start (as the
  // count of sheets is in the document's properties), would be again at the next save.
  if (kept.empty() && text.size() < kWholeBelow) return whole();
  std::string packed = kept.empty() ? std::string() : trail.packed.substr(0, kept.back().packedAt);
  trail.marks.clear();
  trail.packed.clear();

  const bool reused = at > 0;
  std::vector<std::uint64_t> stops;
  for (std::uint64_t every = (at / kMarkEvery + 1) * kMarkEvery; every < text.size();
       every += kMarkEvery)
    stops.push_back(every);
  for (std::uint64_t before : kMarkBeforeEnd)
    if (text.size() > before && text.size() - before > at) stops.push_back(text.size() - before);
  std::sort(stops.begin(), stops.end());
  stops.erase(std::unique(stops.begin(), stops.end()), stops.end());
  stops.push_back(text.size());

  // What follows a mark is short: it is worth the effort of the usual level. The hash table is
  // smaller than zlib's usual, as the window is.
  z_stream z{};
  constexpr int kUsualLevel = 6;
  if (deflateInit2(&z, at > 0 ? std::max(level, kUsualLevel) : level, Z_DEFLATED, -kWindowBits, 5,
                   Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::bad_alloc();
  struct End {
    z_stream* z;
    ~End() { deflateEnd(z); }
  } end{&z};
  if (at > 0) {
    const size_t from = at > kHistory ? static_cast<size_t>(at) - kHistory : 0;
    if (deflateSetDictionary(&z, reinterpret_cast<const Bytef*>(text.data() + from),
                             static_cast<uInt>(at - from)) != Z_OK)
      throw std::bad_alloc();
  }
  packed.reserve(packed.size() + (text.size() - at) / 6 + 4096);
  for (const std::uint64_t stop : stops) {
    const std::string_view piece = text.substr(at, stop - at);
    const bool last = stop == text.size();
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(piece.data()));
    z.avail_in = static_cast<uInt>(piece.size());  // a part is under 4 GB
    do {
      if (packed.capacity() - packed.size() < 256) packed.reserve(packed.capacity() * 2 + 256);
      const size_t used = packed.size();
      packed.resize(packed.capacity());
      z.next_out = reinterpret_cast<Bytef*>(packed.data() + used);
      z.avail_out = static_cast<uInt>(std::min<size_t>(packed.size() - used, 1u << 30));
      const uInt room = z.avail_out;
      const int status = deflate(&z, last ? Z_FINISH : Z_SYNC_FLUSH);
      packed.resize(used + (room - z.avail_out));
      if (status == Z_STREAM_END) break;
      if (status != Z_OK && status != Z_BUF_ERROR) throw std::bad_alloc();
    } while (z.avail_out == 0 || z.avail_in != 0);
    crc = libdeflate_crc32(crc, piece.data(), piece.size());
    adler = libdeflate_adler32(adler, piece.data(), piece.size());
    at = stop;
    if (!last) kept.push_back({stop, crc, adler, packed.size()});
  }
  // Of the marks of earlier saves, those far from the end serve only at every 256 KB.
  for (size_t i = 0; i < kept.size(); ++i)
    if (kept[i].at % kMarkEvery == 0 || i + 8 >= kept.size()) trail.marks.push_back(kept[i]);
  trail.packed = std::move(packed);
  if (!reused) trail.wholePlain = text.size();
  result.crc = crc;
  result.bytes = trail.packed;
  result.size = trail.packed.size();
  return result;
}

void Writer::add(std::string_view name, std::string_view data, Compression compression) {
  if (data.size() >= kMax32 || name.size() > 0xFFFF || count_ + 1 >= kMaxEntries)
    throw Unsupported{};
  const std::uint32_t crc = crcOf(data);
  if (compression == Compression::Store) {
    writeEntry(name, data, 0, crc, data.size());
    return;
  }
  const std::string packed = deflateRaw(data, level_);
  writeEntry(name, packed, 8, crc, data.size());
}

namespace {

// The padding of a local header (an extra field of an unknown kind, which readers skip: its
// 4-byte head and zeros) that moves what would start at `at` without it to the same offset
// within a block as `like`.
size_t paddingToLieLike(std::uint64_t at, std::uint64_t like) {
  return 4 + static_cast<size_t>((like + kAlignBlock - (at + 4) % kAlignBlock) % kAlignBlock);
}

}  // namespace

void Writer::addPacked(std::string_view name, const PackedData& packed) {
  if (packed.plainSize >= kMax32 || name.size() > 0xFFFF || count_ + 1 >= kMaxEntries)
    throw Unsupported{};
  size_t padding = endPadding(name, packed.size);
  if (packed.fd < 0 && packed.alignToSame && packed.sameLength >= kAlignBlock)
    padding = paddingToLieLike(at_ + kLocalSize + name.size(), packed.sameAt);
  writeHeader(name, packed.size, 8, packed.crc, packed.plainSize, padding);
  if (packed.fd < 0) {
    if (packed.sameLength > 0) {
      copyFileRange(in_, packed.sameAt, out_, packed.sameLength);
      at_ += packed.sameLength;
    }
    put(packed.bytes.data(), packed.bytes.size());
    return;
  }
  copyFileRange(packed.fd, packed.offset, out_, packed.size);
  at_ += packed.size;
}

void Writer::lastEntryNext() { alignEnd_ = true; }

size_t Writer::endPadding(std::string_view name, std::uint64_t packedSize) {
  // Worth up to a block of padding only for a directory that repeats more than that.
  if (!alignEnd_ || repeated_ < 4 * kAlignBlock) return 0;
  alignEnd_ = false;
  return paddingToLieLike(at_ + kLocalSize + name.size() + packedSize, originalCentralAt_);
}

void Writer::writeEntry(std::string_view name, std::string_view packed, std::uint16_t method,
                        std::uint32_t crc, std::uint64_t plainSize) {
  writeHeader(name, packed.size(), method, crc, plainSize, endPadding(name, packed.size()));
  put(packed.data(), packed.size());
}

void Writer::writeHeader(std::string_view name, std::uint64_t packedSize, std::uint16_t method,
                         std::uint32_t crc, std::uint64_t plainSize, size_t padding) {
  bool ascii = true;
  for (unsigned char ch : name) ascii = ascii && ch < 0x80;
  const std::uint16_t flags = ascii ? 0 : kUtf8Flag;
  const std::uint64_t offset = at_;
  if (offset + kLocalSize + name.size() + padding + packedSize > kMax32) throw Unsupported{};
  const std::uint16_t version = method == 0 ? 10 : 20;  // stored needs 1.0, deflate 2.0

  std::string header;
  header.reserve(kLocalSize + name.size());
  // The fields from "version needed" to the name's length stand alike in both records.
  const auto putShared = [&](std::string& out) {
    put16(out, version);
    put16(out, flags);
    put16(out, method);
    put16(out, dosTime_);
    put16(out, dosDate_);
    put32(out, crc);
    put32(out, packedSize);
    put32(out, plainSize);
    put16(out, name.size());
  };
  put32(header, kLocalSignature);
  putShared(header);
  put16(header, padding);
  header += name;
  if (padding > 0) {
    put16(header, kPaddingField);
    put16(header, padding - 4);
    header.append(padding - 4, '\0');
  }
  put(header.data(), header.size());

  const size_t centralAt = central_.size();
  put32(central_, kCentralSignature);
  put16(central_, 20);  // made by: MS-DOS attributes, version 2.0
  putShared(central_);
  put16(central_, 0);  // extra
  put16(central_, 0);  // comment
  put16(central_, 0);  // disk
  put16(central_, 0);  // internal attributes
  put32(central_, 0);  // external attributes
  put32(central_, offset);
  central_ += name;
  ++count_;
  written_.entries.push_back(
      Entry{static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(at_ + packedSize),
            static_cast<std::uint32_t>(centralAt),
            static_cast<std::uint32_t>(central_.size() - centralAt)});
}

void Writer::finish(std::string_view comment) {
  const std::uint64_t centralAt = at_;
  if (count_ >= kMaxEntries || centralAt + central_.size() >= kMax32 || comment.size() > 0xFFFF)
    throw Unsupported{};
  std::string end;
  put32(end, kEndSignature);
  put16(end, 0);
  put16(end, 0);
  put16(end, count_);
  put16(end, count_);
  put32(end, central_.size());
  put32(end, centralAt);
  put16(end, comment.size());
  end += comment;
  if (repeated_ > 0) {
    copyFileRange(in_, originalCentralAt_, out_, repeated_);
    at_ += repeated_;
  }
  put(central_.data() + repeated_, central_.size() - repeated_);
  put(end.data(), end.size());
  written_.central = std::move(central_);
  written_.centralAt = static_cast<std::uint32_t>(centralAt);
  written_.comment = std::string(comment);
}

}  // namespace orv::zip
