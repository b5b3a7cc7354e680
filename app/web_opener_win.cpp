// Opens a web address with the program Windows associates with it, as Explorer does.
#include <windows.h>
// shellapi.h needs windows.h first.
#include <shellapi.h>

#include "app/web_opener.h"

namespace orv {

bool openWebAddress(const QString& address) {
  const std::wstring wide = address.toStdWString();
  const auto result = reinterpret_cast<INT_PTR>(
      ShellExecuteW(nullptr, L"open", wide.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  // Values up to 32 are the failures.
  return result > 32;
}

}  // namespace orv
