// Settings in ~/.config/<application>/<application>.conf, Qt's place for them on Linux.
#include "app/user_settings.h"

namespace orv {

std::unique_ptr<QSettings> openUserSettings(const QString& application) {
  return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, application,
                                     application);
}

}  // namespace orv
