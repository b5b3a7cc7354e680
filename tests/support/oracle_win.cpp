// A Windows program cannot start the build machine's Python with its output piped back (Wine
// runs it, but not into a pipe): the tests that need an oracle there are skipped, and the
// command-line tests, which run on the build machine, judge the same files with them.
#include <gtest/gtest.h>

#include "fixtures.h"

namespace orv::test {

bool oraclesReachable() { return false; }

Inspection inspectWithOpenpyxl(const std::vector<std::string>&) {
  return {false, "python3 cannot be started from a Windows program"};
}

int runPython(const std::string&) { return -1; }

std::vector<std::string> runPython(const std::string&, const std::string&) {
  ADD_FAILURE() << "python3 cannot be started from a Windows program";
  return {};
}

}  // namespace orv::test
