// The memory budget on Windows: the memory the system can give without paging, and what is
// left of this process's address space.
#include <windows.h>

#include <algorithm>

#include "server/memory_budget.h"

namespace orv {

std::uint64_t memoryBudget() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  // Unknown: no reason to refuse.
  if (!GlobalMemoryStatusEx(&status)) return UINT64_MAX;
  return std::min<std::uint64_t>(status.ullAvailPhys, status.ullAvailVirtual);
}

// The Windows heap keeps freed blocks for reuse by itself.
void keepFreedMemoryForReuse() {}

}  // namespace orv
