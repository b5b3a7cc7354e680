#pragma once

#include <stdexcept>
#include <string>

namespace orv {

// The one failure type of the engine. Its message is a complete sentence in
// the user's words, shown as it is in the error report.
class ServerError : public std::runtime_error {
 public:
  explicit ServerError(const std::string& description) : std::runtime_error(description) {}
};

}  // namespace orv
