// The command line on Windows: the arguments are read in UTF-16, as typed, since the narrow
// ones are in the ANSI code page and lose every name outside it; the console shows UTF-8.
#include <windows.h>
// shellapi.h needs windows.h first.
#include <shellapi.h>
// _setmode
#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "cli/process_setup.h"

namespace orv::cli {

namespace {

std::string utf8(const wchar_t* text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return {};
  std::string result(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), size, nullptr, nullptr);
  result.pop_back();  // the terminating NUL
  return result;
}

}  // namespace

std::vector<std::string> setUpProcess(int argc, char** argv) {
  SetConsoleOutputCP(CP_UTF8);
  // Lines end in "\n" as on every other platform, for the scripts that read them.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wide) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> arguments;
  for (int i = 0; i < count; ++i) arguments.push_back(utf8(wide[i]));
  LocalFree(wide);
  return arguments;
}

}  // namespace orv::cli
