#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace orv::biff {

// One entry of a compound file (an OLE2 structured storage): a storage, which holds entries, or a
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

// The direct child of `storage` named `name` (exactly), or null.
CompoundEntry* findChild(CompoundEntry& storage, std::string_view name);
const CompoundEntry* findChild(const CompoundEntry& storage, std::string_view name);

}  // namespace orv::biff
