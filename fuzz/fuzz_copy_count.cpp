// Arbitrary text through the copy-count reader. Besides not crashing: the
// check and the conversion accept the same texts, and where a double reads the
// text unambiguously (away from a half) the rounding agrees with it.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "automation/copy_count.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const bool number = orv::isNumber(text);
  try {
    const int count = orv::toInt16Count(text);
    if (!number) __builtin_trap();
    const double read = std::strtod(text.c_str(), nullptr);
    const double fraction = std::fabs(read - std::trunc(read));
    if (std::fabs(fraction - 0.5) > 1e-6 && std::lround(read) != count) __builtin_trap();
  } catch (const orv::CopyCountOverflow&) {
    if (!number) __builtin_trap();
  } catch (const std::invalid_argument&) {
    if (number) __builtin_trap();
  }
  return 0;
}
