#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace orv::cfb {

// One entry of a compound file held whole in memory: a storage, which holds entries, or a
// stream, which holds bytes. Names are kept byte for byte, control characters included
// ("\005SummaryInformation").
struct CompoundEntry {
  std::string name;
  bool storage = false;
  std::array<std::uint8_t, 16> classId{};  // storages only; all zero when none
  std::string data;                        // streams only
  std::vector<CompoundEntry> children;     // storages only, in the file's order
};

// Reads the whole compound file held in `bytes` into its root storage. Throws ServerError naming
// `display` when the bytes are not a readable compound file.
CompoundEntry readCompoundFile(std::string_view bytes, const std::string& display);

// Writes `root` and everything under it as a new compound file (512-byte sectors), class ids
// included, and returns its bytes.
std::string writeCompoundFile(const CompoundEntry& root);

// Writes the bytes of one stream, piece by piece, through `write`, which returns false when
// they could not be stored.
using StreamProducer = std::function<void(const std::function<bool(std::string_view)>& write)>;

// Writes `root` as a new compound file through `fd` (an empty file open for writing), without
// holding it in memory: the streams named in `produced` (by their entry) are written as their
// producer gives them, the others from their data. Throws ServerError naming `display` when the
// file cannot be written, and a producer's own error as it is.
void writeCompoundFile(const CompoundEntry& root, int fd, const std::string& display,
                       const std::map<const CompoundEntry*, StreamProducer>& produced);

// The direct child of `storage` named `name` (exactly), or null.
CompoundEntry* findChild(CompoundEntry& storage, std::string_view name);
const CompoundEntry* findChild(const CompoundEntry& storage, std::string_view name);

// A compound file (OLE2 structured storage: BIFF8 workbooks, the VBA project) read through
// libgsf from its path. Streams are named by their path of storage names, "/"-separated
// ("_VBA_PROJECT_CUR/VBA/dir"). Every failure is a ServerError in the user's words naming the
// file by `display`.
class CompoundFile {
 public:
  CompoundFile(const std::string& path, std::string display);
  ~CompoundFile();
  CompoundFile(const CompoundFile&) = delete;
  CompoundFile& operator=(const CompoundFile&) = delete;

  // Every stream, storages first walked in directory order.
  std::vector<std::string> streamPaths() const;
  bool hasStream(std::string_view path) const;
  // The stream's bytes, at most `limit` of them.
  std::string readStream(std::string_view path, size_t limit = SIZE_MAX) const;

  // Writes a new compound file through `fd` (an empty file open for writing): every storage
  // and stream copied with its class id, except the streams named in `replaced`, which get the
  // bytes given there (a path not present is added, its storages made as needed).
  void writeTo(int fd, const std::map<std::string, std::string, std::less<>>& replaced) const;

 private:
  struct Tree;
  std::string display_;
  std::unique_ptr<Tree> tree_;
};

}  // namespace orv::cfb
