// Settings in the registry where Visual Basic's SaveSetting keeps them, as text values:
// HKEY_CURRENT_USER\Software\VB and VBA Program Settings\<application>\<section>\<key>.
// Values stored by earlier Windows tools under the same names are read as they are.
#include "app/user_settings.h"

namespace orv {

std::unique_ptr<QSettings> openUserSettings(const QString& application) {
  return std::make_unique<QSettings>(
      QStringLiteral("HKEY_CURRENT_USER\\Software\\VB and VBA Program Settings\\") + application,
      QSettings::NativeFormat);
}

}  // namespace orv
