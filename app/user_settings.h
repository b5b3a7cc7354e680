#pragma once

#include <QSettings>
#include <QString>
#include <memory>

namespace orv {

// The current user's own settings of `application` in the platform's place for them
// (user_settings_posix.cpp, user_settings_win.cpp). Keys are "Section/Key".
std::unique_ptr<QSettings> openUserSettings(const QString& application);

}  // namespace orv
