// The process table as Linux shows it under /proc.
#include <dirent.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <sstream>

#include "app/process_table.h"

namespace orv {

namespace {

bool allDigits(const char* text) {
  if (*text == '\0') return false;
  for (; *text; ++text) {
    if (!std::isdigit(static_cast<unsigned char>(*text))) return false;
  }
  return true;
}

// The real user id from /proc/<pid>/status, or -1 when unreadable.
long realUid(const std::string& dir) {
  std::ifstream status(dir + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Uid:", 0) == 0) {
      std::istringstream fields(line.substr(4));
      long uid = -1;
      fields >> uid;
      return uid;
    }
  }
  return -1;
}

std::string firstLine(const std::string& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

// The first NUL-terminated word of /proc/<pid>/cmdline.
std::string firstArgument(const std::string& dir) {
  std::ifstream in(dir + "/cmdline", std::ios::binary);
  std::string argv0;
  std::getline(in, argv0, '\0');
  return argv0;
}

}  // namespace

std::vector<ProcessInfo> SystemProcessTable::currentUserProcesses() const {
  std::vector<ProcessInfo> result;
  DIR* proc = opendir("/proc");
  if (!proc) return result;
  const long me = static_cast<long>(getuid());
  while (const dirent* entry = readdir(proc)) {
    if (!allDigits(entry->d_name)) continue;
    const std::string dir = std::string("/proc/") + entry->d_name;
    // A process may end while we look; its files then read empty.
    if (realUid(dir) != me) continue;
    ProcessInfo info;
    info.pid = std::stol(entry->d_name);
    info.name = firstLine(dir + "/comm");
    info.argv0 = firstArgument(dir);
    result.push_back(std::move(info));
  }
  closedir(proc);
  return result;
}

}  // namespace orv
