#include "automation/copy_count.h"

#include <cstdint>
#include <optional>

namespace orv {

namespace {

struct Number {
  bool negative = false;
  std::string_view whole;     // digits before the full stop, possibly empty
  std::string_view fraction;  // digits after it, possibly empty
};

bool isBlank(char c) { return c == ' ' || c == '\t'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view digitRun(std::string_view text, size_t& pos) {
  size_t start = pos;
  while (pos < text.size() && isDigit(text[pos])) ++pos;
  return text.substr(start, pos - start);
}

std::optional<Number> parse(std::string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && isBlank(text[begin])) ++begin;
  while (end > begin && isBlank(text[end - 1])) --end;
  std::string_view body = text.substr(begin, end - begin);

  Number n;
  size_t pos = 0;
  if (pos < body.size() && (body[pos] == '+' || body[pos] == '-')) {
    n.negative = body[pos] == '-';
    ++pos;
  }
  n.whole = digitRun(body, pos);
  if (pos < body.size() && body[pos] == '.') {
    ++pos;
    n.fraction = digitRun(body, pos);
  }
  if (pos != body.size()) return std::nullopt;
  if (n.whole.empty() && n.fraction.empty()) return std::nullopt;
  return n;
}

std::string trimmed(std::string_view text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return {};
  size_t end = text.find_last_not_of(" \t");
  return std::string(text.substr(begin, end - begin + 1));
}

}  // namespace

bool isNumber(std::string_view text) { return parse(text).has_value(); }

std::int16_t toInt16Count(std::string_view text) {
  std::optional<Number> n = parse(text);
  if (!n) {
    throw std::invalid_argument("\"" + trimmed(text) + "\" is not a number of copies.");
  }

  // Magnitude of the whole part, saturated well above the 16-bit range so that
  // any number of digits is safe.
  constexpr std::int64_t kSaturated = 1'000'000;
  std::int64_t magnitude = 0;
  for (char c : n->whole) {
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > kSaturated) magnitude = kSaturated;
  }

  // Round the fraction half to even, looking at every digit: above one half
  // rounds away from zero, below rounds towards it, exactly one half goes to
  // the even neighbour.
  if (!n->fraction.empty()) {
    const char first = n->fraction.front();
    bool restNonZero = n->fraction.substr(1).find_first_not_of('0') != std::string_view::npos;
    bool up = first > '5' || (first == '5' && (restNonZero || magnitude % 2 == 1));
    if (up && magnitude < kSaturated) ++magnitude;
  }

  const std::int64_t value = n->negative ? -magnitude : magnitude;
  if (value > INT16_MAX) {
    throw CopyCountOverflow("Overflow: " + trimmed(text) +
                            " copies are too many; at most 32767 copies can be made in one run.");
  }
  if (value < INT16_MIN) {
    throw CopyCountOverflow("Overflow: " + trimmed(text) +
                            " is out of range for the number of copies; the lowest number "
                            "accepted is -32768.");
  }
  return static_cast<std::int16_t>(value);
}

bool isNonZero(std::string_view text) {
  std::optional<Number> n = parse(text);
  if (!n) throw std::invalid_argument("\"" + trimmed(text) + "\" is not a number.");
  const auto hasNonZeroDigit = [](std::string_view digits) {
    return digits.find_first_not_of('0') != std::string_view::npos;
  };
  return hasNonZeroDigit(n->whole) || hasNonZeroDigit(n->fraction);
}

}  // namespace orv
