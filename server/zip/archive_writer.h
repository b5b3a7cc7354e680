#pragma once

#include <zip.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/durable_file.h"
#include "server/zip/raw_copy.h"

namespace orv::zip {

// One entry of an archive being written, in the order it is written. What it names (the name,
// the bytes, the packed data) is the caller's and lives until the save ends: a save of a thousand
// sheets lists five thousand entries.
struct OutEntry {
  std::string_view name;
  // For an entry copied untouched: its index in the original archive; with `run` above 1, the
  // entries after it in the original up to `original + run` follow it untouched too, and
  // `name` is not used (most of a workbook of many sheets is one such run).
  std::optional<zip_uint64_t> original;
  // For a new entry: its bytes, or (when `produce` is set) made when the entry is written and
  // dropped right after, so that many large entries are never held at once.
  std::string_view data;
  std::function<std::string()> produce;
  // A new entry deflated beforehand: written as it lies where the raw writer can, and made by
  // `produce` for libzip.
  const PackedData* packed = nullptr;
  // For a produced entry deflated the last time it was saved: how, to take up what did not
  // change.
  DeflateTrail* trail = nullptr;
  std::uint32_t run = 1;  // ZIP without ZIP64 records holds at most 65,535 entries
  Compression compression = Compression::Deflate;
};

// What a save writes into: the file being saved, by descriptor, and the archive it replaces.
struct ArchiveTarget {
  int fd;                 // an empty file open for reading and writing
  // The archive the untouched entries come from; may be null when `knownLayout` is given, for
  // the raw writer only.
  zip_t* original;
  std::string path;       // the original's file, for copying runs of it as they lie
  FileIdentity identity;  // the original as opened: runs are copied only from that file
  std::string display;    // the file name in messages
  int deflateLevel;
  // The original's layout as this process wrote it, when the file is known to be unchanged
  // since: then it is not read again.
  std::shared_ptr<const Layout> knownLayout = nullptr;
};

// Copies runs of untouched entries as one byte range each and writes new entries itself; false
// (having written nothing that matters) when the original holds anything that way does not
// reproduce exactly. Throws ServerError for a failed write, or a producer's own error.
// `written`, when given, receives the layout of the archive written.
bool writeByRawCopy(const ArchiveTarget& target, const std::vector<OutEntry>& entries,
                    Layout* written = nullptr);

// Writes the archive entry by entry through libzip, from the start of the file: untouched
// entries keep their compressed bytes, times and attributes. Throws ServerError ("Cannot save
// 'Book.xlsx': ...") with the system's reason when writing failed, and a producer's own error
// as it is.
void writeThroughLibzip(const ArchiveTarget& target, const std::vector<OutEntry>& entries);

// libzip's error as the end of a sentence: the system's words where it has them.
std::string zipMessage(zip_error_t* error);

}  // namespace orv::zip
