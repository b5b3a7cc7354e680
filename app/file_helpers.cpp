#include "app/file_helpers.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>

namespace orv {

QString applicationFolder() { return QCoreApplication::applicationDirPath(); }

bool FileExists(QString path) {
  // Qt warns on stderr about names with an embedded NUL; such a name never
  // names a file.
  if (path.isEmpty() || path.contains(QChar(u'\0'))) return false;
  const QFileInfo info(path);
  // A folder is no file: a path typed key by key passes through every folder above the
  // workbook, and none of them should be opened.
  return info.exists() && !info.isDir() && info.lastModified().isValid();
}

bool InDevelopmentEnvironment() {
#ifdef ORVANDEL_DEVELOPMENT
  return true;
#else
  return false;
#endif
}

}  // namespace orv
