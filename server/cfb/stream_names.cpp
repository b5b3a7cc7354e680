#include "server/cfb/stream_names.h"

#include <cstdint>
#include <fstream>
#include <set>

#include "server/utf8_path.h"

namespace orv::cfb {

namespace {

// A compound file is read in place, a few sectors at a time: its header, the allocation-table
// sectors that chain the directory together, and the directory sectors, whose 128-byte entries
// name the streams that tell the formats apart. Nothing else is read, however large the file.
class CompoundReader {
 public:
  explicit CompoundReader(const std::string& path) : in_(pathFromUtf8(path), std::ios::binary) {}

  // The names of the directory's stream entries.
  std::vector<std::string> streamNames() {
    std::vector<std::string> names = chainedNames();
    return names.empty() ? scannedNames() : names;
  }

 private:
  static constexpr std::uint32_t kMaxRegularSector = 0xFFFFFFFA;
  static constexpr size_t kMaxDirectorySectors = 4096;
  static constexpr size_t kScanSize = size_t{1} << 20;

  // Where the header or the chain is damaged, entries are looked for at every 128-byte boundary
  // of the file's first megabyte, where writers put the directory of a small file.
  std::vector<std::string> scannedNames() {
    std::string data = readAt(0, kScanSize);
    std::vector<std::string> names;
    for (size_t at = 512; at + 128 <= data.size(); at += 128) {
      if (data[at + 66] != 2) continue;
      std::string name = nameAt(data, at);
      if (!name.empty()) names.push_back(name);
    }
    return names;
  }

  // The stream names of the directory, following its chain of sectors.
  std::vector<std::string> chainedNames() {
    std::string header = readAt(0, 512);
    if (header.size() < 512) return {};
    const unsigned shift = u16(header, 30);
    if (shift != 9 && shift != 12) return {};
    sectorSize_ = size_t{1} << shift;
    for (size_t i = 0; i < 109; ++i) fatSectors_.push_back(u32(header, 76 + 4 * i));
    // Further allocation-table sectors are listed in a chain of their own, read only if needed.
    difatNext_ = u32(header, 68);
    std::vector<std::string> names;
    std::set<std::uint32_t> seen;
    for (std::uint32_t sector = u32(header, 48); sector < kMaxRegularSector;
         sector = nextSector(sector)) {
      if (!seen.insert(sector).second || seen.size() > kMaxDirectorySectors) break;
      std::string entries = readAt(sectorOffset(sector), sectorSize_);
      if (entries.size() < sectorSize_) break;
      for (size_t at = 0; at + 128 <= entries.size(); at += 128) {
        if (entries[at + 66] != 2) continue;  // streams only
        std::string name = nameAt(entries, at);
        if (!name.empty()) names.push_back(name);
      }
    }
    return names;
  }

  static unsigned u16(const std::string& d, size_t at) {
    return static_cast<unsigned char>(d[at]) | (static_cast<unsigned char>(d[at + 1]) << 8);
  }
  static std::uint32_t u32(const std::string& d, size_t at) {
    return static_cast<std::uint32_t>(u16(d, at)) |
           (static_cast<std::uint32_t>(u16(d, at + 2)) << 16);
  }

  static std::string nameAt(const std::string& data, size_t at) {
    std::string name;
    const unsigned length = u16(data, at + 64);
    if (length < 2 || length > 64 || length % 2) return name;
    for (size_t i = 0; i + 2 < length; i += 2) {
      if (data[at + i + 1] != 0) return std::string();
      name.push_back(data[at + i]);
    }
    return name;
  }

  std::uint64_t sectorOffset(std::uint32_t sector) const {
    return (std::uint64_t{sector} + 1) * sectorSize_;
  }

  std::string readAt(std::uint64_t offset, size_t size) {
    std::string data(size, '\0');
    in_.clear();
    in_.seekg(static_cast<std::streamoff>(offset));
    if (!in_) return {};
    in_.read(data.data(), static_cast<std::streamsize>(size));
    data.resize(static_cast<size_t>(in_.gcount()));
    return data;
  }

  // The sector after `sector` in its chain, from the allocation table.
  std::uint32_t nextSector(std::uint32_t sector) {
    const size_t perSector = sectorSize_ / 4;
    const size_t index = sector / perSector;
    // Allocation-table sectors past the header's 109 come from the DIFAT chain, a sector at a
    // time, each listing perSector - 1 of them and the next DIFAT sector last.
    while (index >= fatSectors_.size() && difatNext_ < kMaxRegularSector &&
           fatSectors_.size() < 109 + kMaxDirectorySectors * perSector) {
      std::string difat = readAt(sectorOffset(difatNext_), sectorSize_);
      if (difat.size() < sectorSize_) break;
      for (size_t i = 0; i + 1 < perSector; ++i) fatSectors_.push_back(u32(difat, 4 * i));
      difatNext_ = u32(difat, sectorSize_ - 4);
    }
    if (index >= fatSectors_.size() || fatSectors_[index] >= kMaxRegularSector)
      return kMaxRegularSector;
    std::string entry = readAt(sectorOffset(fatSectors_[index]) + 4 * (sector % perSector), 4);
    return entry.size() == 4 ? u32(entry, 0) : kMaxRegularSector;
  }

  std::ifstream in_;
  size_t sectorSize_ = 512;
  std::vector<std::uint32_t> fatSectors_;
  std::uint32_t difatNext_ = kMaxRegularSector;
};

}  // namespace

std::vector<std::string> streamNames(const std::string& path) {
  return CompoundReader(path).streamNames();
}

}  // namespace orv::cfb
