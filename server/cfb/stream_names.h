#pragma once

#include <string>
#include <vector>

namespace orv::cfb {

// The names of the stream entries in the directory of the compound file at `path`. The file is
// read in place, a few sectors at a time: its header, the allocation-table sectors that chain
// the directory together, and the directory sectors. Nothing else is read, however large or
// sparse the file; damage gives fewer names, never an error.
std::vector<std::string> streamNames(const std::string& path);

}  // namespace orv::cfb
