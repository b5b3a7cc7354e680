#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace orv {

// The one reader of the copy-count text. The run's "is it a number" check and
// both of its conversions go through it, so a text the check accepts always
// converts (or overflows), and a text it refuses never reaches a conversion.
//
// Accepted, and nothing else:
//   [spaces] [+|-] digits [. [digits]] [spaces]
//   [spaces] [+|-] . digits [spaces]
// "Spaces" are blanks and tabs. "2." and ".5" are numbers, as a user who types
// them means 2 and 0.5; ".", "+", "- 3", "1e3", "1,000", "0x10" are not. The
// decimal separator is always the full stop, whatever the desktop's locale.
bool isNumber(std::string_view text);

// A count that does not fit the run's signed 16-bit copy count.
class CopyCountOverflow : public std::overflow_error {
 public:
  using std::overflow_error::overflow_error;
};

// Converts a number (see isNumber) to a whole count, rounding to the nearest
// integer with halves going to the even neighbour (2.5 -> 2, 3.5 -> 4,
// -2.5 -> -2). The rounding is done on the decimal digits themselves, so a
// text such as "2.50000000000000000001" rounds up although a double could not
// tell it from 2.5. Throws CopyCountOverflow when the rounded value lies
// outside -32768..32767, and std::invalid_argument for a text that is no number.
std::int16_t toInt16Count(std::string_view text);

// Whether a number (see isNumber) differs from zero, judged on its digits
// without rounding: "0.001" is not zero, "-0.0" is. Throws
// std::invalid_argument for a text that is no number.
bool isNonZero(std::string_view text);

}  // namespace orv
