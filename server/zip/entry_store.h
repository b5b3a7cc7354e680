#pragma once

#include <zip.h>

#include <map>
#include <optional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "server/durable_file.h"
#include "server/file_handle.h"
#include "server/server_error.h"
#include "server/zip/archive_writer.h"
#include "server/zip/opened_archive.h"
#include "server/zip/raw_copy.h"

namespace orv::zip {

// A ZIP archive opened for reading with the entries replaced, added or removed since. Entries are
// named exactly as stored (case matters, as it does in OpenDocument packages). Saving copies every
// untouched entry as it lies, keeps the original order and puts added entries at the end.
class EntryStore {
 public:
  EntryStore(std::string path, OpenedArchive opened);
  ~EntryStore();
  EntryStore(const EntryStore&) = delete;
  EntryStore& operator=(const EntryStore&) = delete;

  const std::string& path() const { return path_; }
  const std::string& displayName() const { return display_; }
  const FileIdentity& identity() const { return identity_; }

  bool has(std::string_view name) const;
  // Every entry present, in archive order.
  std::vector<std::string> names() const;
  // Every entry present whose name starts with `prefix`, in the order of their names.
  std::vector<std::string> namesStartingWith(std::string_view prefix) const;
  // The entry's bytes; throws ServerError ("the file is damaged") when it is missing, cannot be
  // inflated or says it is larger than `limit`.
  std::string read(std::string_view name, size_t limit = size_t{1} << 31);
  // How the entry is stored in the original archive (ZIP_CM_STORE, ZIP_CM_DEFLATE ...), or -1.
  int originalMethod(std::string_view name) const;
  // Replaces an entry's bytes or adds the entry at the end.
  void put(const std::string& name, std::string bytes,
           Compression compression = Compression::Deflate);
  // The same, deflated taking up what `trail` says the last save deflated of the entry (a part
  // that grows near its end); the trail then describes these bytes, and must outlive the save.
  void putAlong(const std::string& name, std::string bytes, DeflateTrail& trail);
  // The same with the bytes deflated beforehand: the `sameLength` bytes the file holds at
  // `sameAt` (what dataOffset() said of the last save), then `rest`.
  void putPacked(const std::string& name, DeflatedPiece rest, std::uint64_t sameAt = 0,
                 std::uint64_t sameLength = 0);
  // `length` bytes of the file from `at`, as it was opened or last saved; throws ServerError
  // when they cannot be read.
  std::string readRange(std::uint64_t at, std::uint64_t length) const;
  // Where the last save put the deflated bytes of an entry given by putPacked(), when it wrote
  // them itself.
  std::optional<std::uint64_t> dataOffset(std::string_view name) const;
  void remove(std::string_view name);
  bool modified() const { return modified_; }
  // Closes the archive when the layout a save wrote serves instead (reading, saving), so that a
  // store kept for later holds no file open; false, the archive left open, when it does not.
  bool closeArchive();

  // Writes the archive back durably; refuses when the file changed on disk since it was opened
  // or last saved. Afterwards the store reads from the file it wrote.
  void save();

  [[noreturn]] void damaged(std::string_view entry, const std::string& why) const;

 private:
  struct Entry {
    std::string name;
    zip_int64_t index = -1;  // in the archive on disk, -1 for an added entry
    bool replaced = false;
    bool removed = false;
    std::string bytes;
    Compression compression = Compression::Deflate;
    // Set when `bytes` are deflated already.
    std::optional<PackedData> packed;
    DeflateTrail* trail = nullptr;  // how to deflate `bytes`, when given
  };
  // The plain bytes of an entry given by putPacked().
  std::optional<std::string> unpacked(const Entry& entry) const;
  Entry* find(std::string_view name);
  const Entry* find(std::string_view name) const;
  zip_t* archive();
  void index();
  // An untouched entry's bytes read through the layout; nullopt where libzip should read them.
  std::optional<std::string> readThroughLayout(const Entry& entry, std::string_view name,
                                               size_t limit);
  ServerError changedDuringSave() const;
  // The file open for reading when it is the one opened or last saved, unchanged.
  std::optional<FileHandle> openUnchanged() const;

  std::string path_;
  std::string display_;
  zip_t* zip_ = nullptr;
  FileIdentity identity_;
  std::vector<std::unique_ptr<Entry>> entries_;
  std::map<std::string, Entry*, std::less<>> byName_;
  std::map<std::string, std::uint64_t, std::less<>> packedAt_;
  // The file's layout as the last save wrote it, its entries' indexes positions in it: then
  // saving again needs no archive opened, and untouched entries are read from the file directly.
  std::shared_ptr<const Layout> layout_;
  bool modified_ = false;
};

}  // namespace orv::zip
