// The Python oracles, started through the shell.
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "fixtures.h"

namespace orv::test {

bool oraclesReachable() { return true; }

Inspection inspectWithOpenpyxl(const std::vector<std::string>& args) {
  std::string command = "/usr/bin/python3 '" ORV_TEST_SOURCE_DIR "/inspect_book.py'";
  for (const std::string& arg : args) {
    std::string quoted = "'";
    for (char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    command += " " + quoted + "'";
  }
  command += " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) throw std::runtime_error("cannot run python3");
  Inspection result;
  std::array<char, 4096> buffer;
  size_t got;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
    result.output.append(buffer.data(), got);
  int status = ::pclose(pipe);
  result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return result;
}

int runPython(const std::string& script) {
  const TempDir dir;
  const std::string file = dir.file("script.py");
  std::ofstream(file) << script;
  const int status = std::system(("/usr/bin/python3 '" + file + "'").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace orv::test
