#pragma once

// For the Windows platform files only: paths cross the system boundary in UTF-16, and the
// system's error codes are told in errno terms like the rest of the engine's.
#include <windows.h>

#include <string>

namespace orv::windows {

// UTF-8 to UTF-16 and back; ill-formed input becomes U+FFFD.
std::wstring widen(const std::string& utf8);
std::string narrow(const std::wstring& utf16);

// The errno value nearest to a Windows error code.
int errnoFrom(DWORD error);

}  // namespace orv::windows
