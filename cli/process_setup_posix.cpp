// The command line on Linux: arguments arrive in UTF-8 already.
#include <cstdlib>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "cli/process_setup.h"

namespace orv::cli {

std::vector<std::string> setUpProcess(int argc, char** argv) {
  // Without TZ, the C library looks at /etc/localtime again for every time it
  // converts, and the ZIP writer converts one per entry on every save. Naming
  // the same zone file once keeps the result and drops thousands of lookups.
  setenv("TZ", ":/etc/localtime", 0);
#ifdef __GLIBC__
  // A save makes its first entries on a second thread, which the C library would give an arena
  // of its own; what that thread frees stays there, unused by the first, and a save of a workbook
  // of a thousand sheets kept about 1 MB more that way. Two threads share one arena at no
  // measurable cost.
  mallopt(M_ARENA_MAX, 1);
#endif
  return std::vector<std::string>(argv, argv + argc);
}

}  // namespace orv::cli
