#pragma once

#include <string>

namespace orv::vba {

// A fault in a VBA project, in the user's words ("its macro project cannot be read").
struct VbaError {
  std::string what;
};

}  // namespace orv::vba
