#pragma once

#include <string>
#include <string_view>

#include "server/vba/vba_error.h"

namespace orv::vba {

// The compression of the VBA project's streams (its module list and every module's source): a
// container byte 1, then chunks that each stand for up to 4096 bytes.
std::string decompressVba(std::string_view compressed);  // throws VbaError
std::string compressVba(std::string_view data);

}  // namespace orv::vba
