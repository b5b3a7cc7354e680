// Arbitrary bytes as an office lock file. Besides not crashing: an entry that is read, written
// back in the lock format, reads again as the same five fields.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "server/workbook_lock.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto owner = orv::parseLockEntry(text);
  if (!owner) return 0;
  const auto again = orv::parseLockEntry(orv::formatLockEntry(*owner));
  if (!again || again->officeUser != owner->officeUser || again->systemUser != owner->systemUser ||
      again->host != owner->host || again->since != owner->since ||
      again->userUrl != owner->userUrl)
    __builtin_trap();
  return 0;
}
