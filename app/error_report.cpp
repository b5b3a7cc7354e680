#include "app/error_report.h"

#include "app/services.h"

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

void ErrorReport::show(const QString& description, const QString& tag, int line) {
  boxes_.show(text(description, tag, line), kExclamation, QStringLiteral("Application Error"));
}

}  // namespace orv
