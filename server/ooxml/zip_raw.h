#pragma once

// Saving a package rewrites only what changed: runs of untouched entries are copied from the
// original file as one byte range each (local headers and data exactly as they are), edited and
// new entries are compressed here, and a new central directory is written. This reads the
// original archive's layout for that, and declines (nullopt) for anything it would not
// reproduce exactly, in which case the package is saved entry by entry through libzip.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/file_handle.h"

namespace orv::ooxml::zipraw {

struct Entry {
  std::string name;         // as stored, raw bytes
  std::uint64_t start = 0;  // offset of the local header
  std::uint64_t end = 0;    // one past the entry's data
  size_t central = 0;       // offset of its record in Layout::central
  size_t centralLength = 0;
};

struct Layout {
  std::vector<Entry> entries;  // in central directory order (libzip's index order)
  std::string central;         // the central directory as stored
  std::string comment;         // the archive comment as stored
};

// The layout of the archive open as `in`, `size` bytes long; nullopt when it holds anything the
// raw writer does not handle: ZIP64 records, encryption, data descriptors, several disks, bytes
// before, between or after the entries, local headers that disagree with the central directory.
// Never throws for malformed input; a read error also gives nullopt.
std::optional<Layout> readLayout(FileHandle& in, std::uint64_t size);

// Writes a new archive to the descriptor `out`, copying runs from `in`: a sequence of copied runs and new entries, then the central
// directory. Throws Unsupported when the result would need ZIP64, and ServerError-free
// std::system_error on I/O failure (errno in code()).
class Writer {
 public:
  struct Unsupported {};

  Writer(FileHandle& in, int out, int deflateLevel);
  // Copies entries [first, last) of `layout`, which must be contiguous in the original.
  void copyRun(const Layout& layout, size_t first, size_t last);
  // Compresses and writes a new entry.
  void add(const std::string& name, std::string_view data);
  // Central directory and end record.
  void finish(std::string_view comment);

 private:
  void put(const void* data, size_t length);
  std::uint64_t at_ = 0;
  FileHandle& in_;
  int out_;
  int level_;
  std::uint16_t dosTime_ = 0;
  std::uint16_t dosDate_ = 0;
  std::string central_;
  std::uint64_t count_ = 0;
};

}  // namespace orv::ooxml::zipraw
