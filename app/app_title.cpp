#include "app/app_title.h"

namespace orv {

const char kProductTitle[] = "Orvandel";

namespace {

constexpr int kMaxTitle = 40;

QString& titleStorage() {
  static QString title = QString::fromLatin1(kProductTitle);
  return title;
}

}  // namespace

QString appTitleFrom(const QString& productTitle) {
  QString title = productTitle;
  if (!title.contains(u' ')) return title.left(kMaxTitle);
  // The cut comes before the test, so even a short title loses its last word.
  do {
    const qsizetype space = title.lastIndexOf(u' ');
    if (space < 0) return title.left(kMaxTitle);
    title.truncate(space);
  } while (title.size() > kMaxTitle);
  return title;
}

void SetAppTitle() { titleStorage() = appTitleFrom(QString::fromLatin1(kProductTitle)); }

QString applicationTitle() { return titleStorage(); }

}  // namespace orv
