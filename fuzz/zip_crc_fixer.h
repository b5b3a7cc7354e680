#pragma once

#include <cstddef>
#include <cstdint>

namespace orv::fuzz {

// Rewrites the CRC-32 of every stored (uncompressed) ZIP entry, in its local header and in the
// central directory, to match the entry's bytes as they now are. Anything that does not parse
// as a ZIP structure is left alone.
void fixStoredZipCrcs(uint8_t* data, size_t size);
// zip_crc_fixer.cpp also holds libFuzzer's custom mutator, which does this after each mutation,
// for the targets that link it.

}  // namespace orv::fuzz
