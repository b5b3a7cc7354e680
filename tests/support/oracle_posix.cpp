// The Python oracles, started through the shell.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
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

std::vector<std::string> runPython(const std::string& script, const std::string& path) {
  TempDir dir;
  const std::string scriptPath = dir.file("check.py");
  std::ofstream(scriptPath) << script;
  const std::string command = "/usr/bin/python3 '" + scriptPath + "' '" + path + "' 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) {
    ADD_FAILURE() << "cannot start python3";
    return {};
  }
  std::string out;
  char buffer[4096];
  while (size_t got = fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, got);
  const int status = pclose(pipe);
  EXPECT_EQ(status, 0) << out;
  std::vector<std::string> lines;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace orv::test
