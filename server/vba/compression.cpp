#include "server/vba/compression.h"

#include <algorithm>
#include <cstdint>

#include "server/little_endian.h"

namespace orv::vba {

namespace {

constexpr size_t kChunk = 4096;

// The number of bits of a copy token's offset when `done` bytes of the chunk are written.
unsigned offsetBits(size_t done) {
  unsigned bits = 4;
  while ((size_t{1} << bits) < done) ++bits;
  return std::min(bits, 12u);
}

}  // namespace

std::string decompressVba(std::string_view in) {
  if (in.empty() || in[0] != 1) throw VbaError{"a macro module is not compressed as expected"};
  std::string out;
  size_t at = 1;
  while (at < in.size()) {
    if (in.size() - at < 2) throw VbaError{"a macro module is cut short"};
    const unsigned header = get16(in, at);
    const size_t size = (header & 0x0FFF) + 3;
    if (((header >> 12) & 7) != 3) throw VbaError{"a macro module is damaged"};
    if (in.size() - at < size) throw VbaError{"a macro module is cut short"};
    const size_t chunkStart = out.size();
    const size_t end = at + size;
    at += 2;
    if (!(header & 0x8000)) {
      if (size != kChunk + 2) throw VbaError{"a macro module is damaged"};
      out.append(in.substr(at, kChunk));
      at = end;
      continue;
    }
    while (at < end) {
      const unsigned flags = static_cast<unsigned char>(in[at++]);
      for (int bit = 0; bit < 8 && at < end; ++bit) {
        if (!(flags & (1u << bit))) {
          out.push_back(in[at++]);
          continue;
        }
        if (end - at < 2) throw VbaError{"a macro module is cut short"};
        const unsigned token = get16(in, at);
        at += 2;
        const unsigned bits = offsetBits(out.size() - chunkStart);
        const size_t length = (token & (0xFFFFu >> bits)) + 3;
        const size_t offset = (token >> (16 - bits)) + 1;
        if (offset > out.size() - chunkStart) throw VbaError{"a macro module is damaged"};
        for (size_t k = 0; k < length; ++k) out.push_back(out[out.size() - offset]);
      }
    }
  }
  return out;
}

std::string compressVba(std::string_view data) {
  std::string out(1, '\1');
  for (size_t start = 0; start < data.size(); start += kChunk) {
    const size_t chunkEnd = std::min(data.size(), start + kChunk);
    std::string body;
    size_t pos = start;
    while (pos < chunkEnd) {
      const size_t flagAt = body.size();
      body.push_back('\0');
      unsigned flags = 0;
      for (int bit = 0; bit < 8 && pos < chunkEnd; ++bit) {
        const unsigned bits = offsetBits(pos - start);
        const size_t maxLength = (0xFFFFu >> bits) + 3;
        size_t best = 0, bestOffset = 0;
        for (size_t cand = pos; cand-- > start;) {
          size_t n = 0;
          while (pos + n < chunkEnd && n < maxLength && data[cand + n] == data[pos + n]) ++n;
          if (n > best) best = n, bestOffset = pos - cand;
          if (best == maxLength) break;
        }
        if (best >= 3) {
          add16(body, static_cast<std::uint32_t>(((bestOffset - 1) << (16 - bits)) | (best - 3)));
          flags |= 1u << bit;
          pos += best;
        } else {
          body.push_back(data[pos++]);
        }
      }
      body[flagAt] = static_cast<char>(flags);
    }
    if (body.size() > kChunk) {  // stored raw, padded to a whole chunk
      add16(out, 0x3FFF);
      std::string raw(data.substr(start, chunkEnd - start));
      raw.resize(kChunk, '\0');
      out += raw;
    } else {
      add16(out, static_cast<std::uint32_t>(0xB000 | (body.size() + 2 - 3)));
      out += body;
    }
  }
  return out;
}

}  // namespace orv::vba
