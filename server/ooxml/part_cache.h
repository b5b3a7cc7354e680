#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <pugixml.hpp>
#include <string>
#include <string_view>
#include <unordered_map>

#include "server/durable_file.h"
#include "server/ooxml/relationships.h"
#include "server/zip/raw_copy.h"

namespace orv::ooxml {

// A package's index of its entries, as the save that wrote the file left it.
struct PackageIndex;

// Part names as ZIP names are compared: ASCII letters without regard to case.
struct NoCaseHash {
  size_t operator()(std::string_view s) const noexcept;
};
struct NoCaseEqual {
  bool operator()(std::string_view a, std::string_view b) const noexcept;
};
// By part name, the keys viewing names held by the values (an entry's name, an element's
// attribute): a workbook of a thousand copies has thousands of parts, and a second, lower-case
// copy of every name was much of what indexing them cost.
template <class T>
using ByPartName = std::unordered_map<std::string_view, T, NoCaseHash, NoCaseEqual>;

// What callers worked out from one part, by their keys.
using PartMemos = std::map<std::string, std::shared_ptr<const std::string>>;

// A part as an instance left it: parsed, or as text (`doc` empty).
struct CachedPart {
  std::unique_ptr<pugi::xml_document> doc;
  std::string text;
  std::string gap;             // between the declaration and the root, for a parsed part
  std::uint64_t textSize = 0;  // the part's size as text
  std::uint64_t weight = 0;    // what holding it costs, in bytes
  // Under the empty part name: the file's ZIP layout as the save that wrote it left it.
  std::shared_ptr<const zip::Layout> layout;
  // With the layout: the package's entries in that order, so that the next instance does not
  // build them again.
  std::shared_ptr<PackageIndex> index;
  // With the content types' tree, when it was indexed: its Override elements by part name, the
  // last of them, and its Default elements by lower-case extension.
  bool typesIndexed = false;
  ByPartName<pugi::xml_node> overrides;
  pugi::xml_node lastOverride;
  std::unordered_map<std::string, pugi::xml_node> defaults;
  PartMemos memos;
  // How the part was deflated, for a tree saved again.
  std::unique_ptr<zip::DeflateTrail> trail;
  // For a .rels part: its relationships, when an instance read them.
  std::optional<Relationships> relationships;
};

// What instances of this process read and wrote of a workbook, kept for the next instance that
// opens the same file unchanged: saving after every copy opens the file the previous instance
// just wrote, and reading its source sheet and workbook part again would cost more than the
// copy. An entry belongs to one file identity (device, inode, size, times); a part is taken out
// whole, so that no two instances share a tree. Any other identity of the same file drops what
// was kept of it. Bounded: the least recently kept go first.
class PartCache {
 public:
  static PartCache& instance();

  // `part` in lower case.
  void put(const FileIdentity& file, const std::string& part, CachedPart value);
  std::optional<CachedPart> take(const FileIdentity& file, const std::string& part);
  // Forgets what was kept of the file (device and inode) under any identity but `current`.
  void dropStale(const FileIdentity& current);
  void clear();

  // Off, nothing is kept (tests compare the two).
  void setEnabled(bool on);
  void setCapacity(std::uint64_t bytes);
  std::uint64_t size() const;

 private:
  struct Item {
    FileIdentity file;
    std::string part;
    CachedPart value;
  };
  void trim();

  mutable std::mutex mutex_;
  std::list<Item> items_;  // most recently kept first
  std::uint64_t bytes_ = 0;
  std::uint64_t capacity_ = std::uint64_t{96} << 20;
  bool enabled_ = true;
};

}  // namespace orv::ooxml
