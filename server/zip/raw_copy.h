#pragma once

// Saving an archive rewrites only what changed: runs of untouched entries are copied from the
// original file as one byte range each (local headers and data exactly as they are), edited and
// new entries are compressed (or stored) here, and a new central directory is written. This
// reads the original archive's layout for that, and declines (nullopt) for anything it would not
// reproduce exactly, in which case the archive is written entry by entry through libzip.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orv::zip {

// An entry's name is read from its central record: a thousand sheets make five thousand
// entries, and a second copy of every name was most of what the layout held. Offsets fit 32 bits:
// the raw writer handles no archive that needs ZIP64 records, and refuses to write one.
struct Entry {
  std::uint32_t start = 0;  // offset of the local header
  std::uint32_t end = 0;    // one past the entry's data
  std::uint32_t central = 0;  // offset of its record in Layout::central
  std::uint32_t centralLength = 0;
};

struct Layout {
  std::vector<Entry> entries;  // in central directory order (libzip's index order)
  std::string central;         // the central directory as stored
  std::uint32_t centralAt = 0;  // where it lies in the file
  std::string comment;         // the archive comment as stored

  // The name as stored, raw bytes.
  std::string_view nameOf(const Entry& e) const;
};

// The layout of the archive open at `fd`, `size` bytes long; nullopt when it holds anything the
// raw writer does not handle: ZIP64 records, encryption, data descriptors, several disks, bytes
// before, between or after the entries, local headers that disagree with the central directory.
// Never throws for malformed input; a read error also gives nullopt.
std::optional<Layout> readLayout(int fd, std::uint64_t size);

// What the central directory says of entry `i` of `layout`.
struct EntryFacts {
  std::uint16_t method = 0;  // 0 stored, 8 deflated
  std::uint32_t crc = 0;
  std::uint64_t compressed = 0;
  std::uint64_t plainSize = 0;
};
EntryFacts factsOf(const Layout& layout, size_t i);
// The plain bytes of entry `i` of `layout`, read from the archive open at `fd`; nullopt when its
// local header cannot be read or its data do not inflate to its size with its CRC.
std::optional<std::string> readEntry(int fd, const Layout& layout, size_t i);

// Writes a new archive to `out`: a sequence of copied runs and new entries, then the central
// directory. Throws Unsupported when the result would need ZIP64, and ServerError-free
// std::system_error on I/O failure (errno in code()).
enum class Compression { Deflate, Store };

// An entry compressed ahead of the save, lying in another file (`fd`) at `offset`, or in memory
// (`bytes`, when `fd` is -1).
struct PackedData {
  int fd = -1;
  std::uint64_t offset = 0;
  std::uint64_t size = 0;       // compressed
  std::uint64_t plainSize = 0;  // as the part reads
  std::uint32_t crc = 0;        // of the plain bytes
  std::string_view bytes;
  // For bytes in memory: how many bytes before them the original archive holds, at `sameAt`
  // (what the last save wrote of the part and this one repeats); `bytes` are what follows. They
  // are copied from there, which a filesystem that clones extents does without writing them
  // again.
  std::uint64_t sameAt = 0;
  std::uint64_t sameLength = 0;
  // The entry's local header is padded so that its data starts at the same offset within a
  // file system block as at `sameAt`: then what it repeats is cloned even when entries before it
  // grew or shrank.
  bool alignToSame = false;
};

// `data` deflated without a header, as ZIP stores it, at `level`; what Writer::add writes.
// Throws std::bad_alloc when memory runs out.
std::string deflateRaw(std::string_view data, int level);
// The plain bytes of raw deflate data that inflate to `plainSize` bytes; nullopt when they do
// not.
std::optional<std::string> inflateRaw(std::string_view packed, std::uint64_t plainSize);
std::uint32_t crcOf(std::string_view data);

// A piece of a part's text deflated on its own: it ends on a byte boundary and nothing in it
// refers back past its start, so that it can stand as it is in any stream of such pieces. A part
// saved again and again keeps the pieces that did not change and deflates only the others.
struct DeflatedPiece {
  std::string packed;
  std::uint32_t crc = 0;  // of the plain bytes
  std::uint64_t plainSize = 0;
  // What appends this piece's CRC to the CRC of the bytes before it (zlib's combine operator
  // for its plain size): worked out once, since a piece is joined at every save.
  std::uint32_t combine = 0;
};

// Deflates the pieces of one save in turn, at `level`, with zlib (whose full flush ends a piece
// that way; the faster compressor can only end a whole stream).
class PieceDeflater {
 public:
  explicit PieceDeflater(int level);
  ~PieceDeflater();
  PieceDeflater(const PieceDeflater&) = delete;
  PieceDeflater& operator=(const PieceDeflater&) = delete;
  // Throws std::bad_alloc when memory runs out.
  DeflatedPiece add(std::string_view text);

 private:
  DeflatedPiece addWhole(std::string_view text);
  struct Stream;
  std::unique_ptr<Stream> stream_;
};

// The pieces, in order, as one raw deflate stream closed by a final empty block: the whole part's
// bytes as a ZIP entry stores them, with the CRC and size of the whole text.
// With `from`, the bytes are those of the pieces from `from` on (the CRC and size still those of
// the whole text): what follows bytes the file holds already.
DeflatedPiece joinPieces(const std::vector<const DeflatedPiece*>& pieces, size_t from = 0);

// Pieces joined by joinPieces deflated again as one stream at `level`: each piece was deflated
// without the ones before it, so many short alike pieces (copies of one sheet) take several
// times the room one stream does. Streams through bounded buffers; the whole text is never held.
// Throws std::bad_alloc when memory runs out, std::runtime_error when `joined` does not inflate
// to its size.
DeflatedPiece deflateAgain(std::string_view joined, std::uint32_t crc, std::uint64_t plainSize,
                           int level);

// A part saved again and again that grows near its end (the workbook part, its relationships,
// the content types, one entry more for each copy) as last deflated: one stream, its blocks
// ended at marks near the end of the text and every 256 KB. The next text that begins as this
// one did up to a mark takes the stream up to that mark as it is and deflates only the rest,
// with the 32 KB before the mark as its history, as one stream would have.
struct DeflateTrail {
  struct Mark {
    std::uint64_t at = 0;  // in the text
    std::uint32_t crc = 0;  // of the text up to `at`
    std::uint32_t adler = 0;  // a second check of the same bytes
    size_t packedAt = 0;  // the end of the block ended there
  };
  std::vector<Mark> marks;  // in order
  std::string packed;       // the whole stream last made
  std::uint64_t wholePlain = 0;  // the text's size when it was last deflated whole
  bool savedBefore = false;
};

// `text` deflated at `level` as ZIP stores it, taking up what of `trail` it begins with; the
// trail then describes `text`. PackedData::bytes views trail.packed. Throws std::bad_alloc.
PackedData deflateAlong(std::string_view text, DeflateTrail& trail, int level);

class Writer {
 public:
  struct Unsupported {};

  Writer(int in, int out, int deflateLevel);
  // Copies entries [first, last) of `layout`, which must be contiguous in the original.
  void copyRun(const Layout& layout, size_t first, size_t last);
  // Writes a new entry, deflated or stored as it is (as OpenDocument's `mimetype` must be).
  void add(std::string_view name, std::string_view data,
           Compression compression = Compression::Deflate);
  // Writes a new entry deflated beforehand.
  void addPacked(std::string_view name, const PackedData& packed);
  // The next entry written is the last: its local header is padded so that the central directory
  // after it starts at the same offset within a file system block as the original's did, when
  // much of the directory repeats the original's.
  void lastEntryNext();
  // Central directory and end record.
  void finish(std::string_view comment);
  // Room for the central directory of `entries` entries, `centralBytes` long.
  void reserve(size_t entries, size_t centralBytes);
  // The layout of the archive written, once finished: what readLayout would read from it.
  const Layout& written() const { return written_; }
  Layout takeWritten() { return std::move(written_); }

 private:
  void put(const void* data, size_t length);
  // The padding of the last entry's local header that lastEntryNext() asked for, or 0.
  size_t endPadding(std::string_view name, std::uint64_t packedSize);
  // The local header and data of a new entry, and its record in the central directory.
  void writeEntry(std::string_view name, std::string_view packed, std::uint16_t method,
                  std::uint32_t crc, std::uint64_t plainSize);
  // The local header and central record of an entry whose data, `packedSize` bytes, follows.
  void writeHeader(std::string_view name, std::uint64_t packedSize, std::uint16_t method,
                   std::uint32_t crc, std::uint64_t plainSize, size_t padding = 0);
  std::uint64_t at_ = 0;
  int in_;
  int out_;
  int level_;
  std::uint16_t dosTime_ = 0;
  std::uint16_t dosDate_ = 0;
  std::string central_;
  // How many of the first bytes of central_ repeat the original's central directory at
  // `originalCentralAt_`: they are copied from there, which a file system that clones extents
  // does without writing them again.
  size_t repeated_ = 0;
  std::uint64_t originalCentralAt_ = 0;
  bool alignEnd_ = false;
  std::uint64_t count_ = 0;
  Layout written_;
};

}  // namespace orv::zip
