#pragma once

#include <QString>

namespace orv {

// Hands `address` to the desktop's web browser (web_opener_posix.cpp, web_opener_win.cpp).
// False when no program took it.
bool openWebAddress(const QString& address);

}  // namespace orv
