#include "app/number_text.h"

#include <QRegularExpression>
#include <QString>
#include <cmath>
#include <stdexcept>

namespace orv {

std::optional<double> parseNumber(QStringView text) {
  static const QRegularExpression kNumber(
      QStringLiteral(R"(^[ \t]*[+-]?([0-9]+(\.[0-9]*)?|\.[0-9]+)[ \t]*$)"));
  if (!kNumber.match(text).hasMatch()) return std::nullopt;
  bool ok = false;
  const double value = text.trimmed().toString().toDouble(&ok);
  if (!ok || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::int16_t toInt16(QStringView text) {
  const std::optional<double> value = parseNumber(text);
  if (!value) {
    throw std::runtime_error("\"" + text.toString().toStdString() + "\" is not a number.");
  }
  // nearbyint rounds halves to even under the default rounding mode.
  const double rounded = std::nearbyint(*value);
  if (rounded < -32768.0 || rounded > 32767.0) {
    throw std::runtime_error("The number " + text.toString().trimmed().toStdString() +
                             " is out of range: it must lie between -32768 and 32767.");
  }
  return static_cast<std::int16_t>(rounded);
}

}  // namespace orv
