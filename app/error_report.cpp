#include "app/error_report.h"

#include "automation/services.h"

namespace orv {

const char kSupportAddress[] = "support@example.com";

QString locationTag(const QString& window, const QString& handler) {
  return QStringLiteral("in Quennet2021/08/31.") + window + u'.' + handler + u' ';
}

QString ErrorReport::text(const QString& description, const QString& tag, int line) {
  return description + QStringLiteral("\r\n") + tag + QStringLiteral("at line ") +
         QString::number(line) + QStringLiteral("\r") + QStringLiteral("\r") +
         QStringLiteral("Please email screenshot of this message to ") +
         QString::fromLatin1(kSupportAddress);
}

void ErrorReport::show(const std::string& description, const std::string& tag, int line) {
  boxes_.show(
      text(QString::fromStdString(description), QString::fromStdString(tag), line).toStdString(),
      kExclamation, "Application Error");
}

}  // namespace orv
