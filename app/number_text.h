#pragma once

#include <QStringView>
#include <cstdint>
#include <optional>

namespace orv {

// The numbers the tool accepts in its text boxes and settings: optional
// blanks and tabs around an optional sign and digits with an optional decimal
// part ("2." and ".5" included); the full stop is the decimal separator
// whatever the locale. No exponent, no grouping. The check and every
// conversion accept exactly the same texts (the same grammar as the copy-count
// reader of the duplication run).
std::optional<double> parseNumber(QStringView text);

// `text` as a signed 16-bit integer, rounded to the nearest integer with
// halves going to the even neighbour. Throws std::runtime_error for a text
// that is not a number or a number outside -32768..32767.
std::int16_t toInt16(QStringView text);

}  // namespace orv
