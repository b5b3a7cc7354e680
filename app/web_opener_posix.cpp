// Opens a web address through the desktop's URL handler (xdg-open on Linux).
#include <QDesktopServices>
#include <QUrl>

#include "app/web_opener.h"

namespace orv {

bool openWebAddress(const QString& address) { return QDesktopServices::openUrl(QUrl(address)); }

}  // namespace orv
