// The command line on Linux: arguments arrive in UTF-8 already.
#include <cstdlib>

#include "cli/process_setup.h"

namespace orv::cli {

std::vector<std::string> setUpProcess(int argc, char** argv) {
  // Without TZ, the C library looks at /etc/localtime again for every time it
  // converts, and the ZIP writer converts one per entry on every save. Naming
  // the same zone file once keeps the result and drops thousands of lookups.
  setenv("TZ", ":/etc/localtime", 0);
  return std::vector<std::string>(argv, argv + argc);
}

}  // namespace orv::cli
