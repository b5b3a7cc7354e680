#include "fuzz/zip_crc_fixer.h"

#include <zlib.h>

#include <cstring>
#include <map>

namespace orv::fuzz {

namespace {

uint32_t read16(const uint8_t* p) { return p[0] | (p[1] << 8); }
uint32_t read32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
void write32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

bool signatureAt(const uint8_t* data, size_t size, size_t at, const char* signature) {
  return at + 4 <= size && std::memcmp(data + at, signature, 4) == 0;
}

}  // namespace

void fixStoredZipCrcs(uint8_t* data, size_t size) {
  constexpr size_t kLocalHeader = 30;
  constexpr size_t kCentralHeader = 46;
  std::map<uint32_t, uint32_t> crcByOffset;
  for (size_t at = 0; at + kLocalHeader <= size; ++at) {
    if (!signatureAt(data, size, at, "PK\3\4")) continue;
    const uint8_t* h = data + at;
    const bool dataDescriptor = (read16(h + 6) & 8) != 0;
    const size_t length = read32(h + 18);
    const size_t start = at + kLocalHeader + read16(h + 26) + read16(h + 28);
    if (read16(h + 8) != 0 || dataDescriptor || start > size || length > size - start) continue;
    const uint32_t crc = static_cast<uint32_t>(crc32(0L, data + start, static_cast<uInt>(length)));
    write32(data + at + 14, crc);
    crcByOffset[static_cast<uint32_t>(at)] = crc;
    at = start + length - 1;
  }
  for (size_t at = 0; at + kCentralHeader <= size; ++at) {
    if (!signatureAt(data, size, at, "PK\1\2")) continue;
    auto hit = crcByOffset.find(read32(data + at + 42));
    if (hit != crcByOffset.end()) write32(data + at + 16, hit->second);
  }
}

}  // namespace orv::fuzz

// Byte-level mutations of a ZIP file nearly always break an entry's checksum, so the XML inside
// would never be reached. Seeds store their entries uncompressed; after each mutation the
// checksums of stored entries are made right again. Every target that links this file fuzzes
// ZIP archives this way.
extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize,
                                          unsigned int /*seed*/) {
  size = LLVMFuzzerMutate(data, size, maxSize);
  orv::fuzz::fixStoredZipCrcs(data, size);
  return size;
}
