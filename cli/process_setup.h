#pragma once

#include <string>
#include <vector>

namespace orv::cli {

// Prepares the process for the command line (process_setup_posix.cpp,
// process_setup_win.cpp) and returns its arguments, program name first,
// in UTF-8 whatever the platform hands over.
std::vector<std::string> setUpProcess(int argc, char** argv);

}  // namespace orv::cli
