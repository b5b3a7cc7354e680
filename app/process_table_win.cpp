// The process table as Windows lists it: the programs of the current desktop session.
#include <windows.h>
// tlhelp32.h needs windows.h first.
#include <tlhelp32.h>

#include <QString>

#include "app/process_table.h"

namespace orv {

namespace {

// The full path of the program a process runs, or empty when the process may not be asked
// (another user's, or one that has just ended).
std::wstring imagePath(DWORD pid) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!process) return {};
  std::wstring path(32768, L'\0');
  DWORD size = static_cast<DWORD>(path.size());
  const BOOL ok = QueryFullProcessImageNameW(process, 0, path.data(), &size);
  CloseHandle(process);
  if (!ok) return {};
  path.resize(size);
  return path;
}

std::string utf8(const std::wstring& text) {
  return QString::fromStdWString(text).toStdString();
}

}  // namespace

std::vector<ProcessInfo> SystemProcessTable::currentUserProcesses() const {
  std::vector<ProcessInfo> result;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return result;
  DWORD mySession = 0;
  ProcessIdToSessionId(GetCurrentProcessId(), &mySession);
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    // A session is one signed-in user's desktop; services and other users sit in others.
    DWORD session = 0;
    if (!ProcessIdToSessionId(entry.th32ProcessID, &session) || session != mySession) continue;
    ProcessInfo info;
    info.pid = static_cast<long>(entry.th32ProcessID);
    info.name = utf8(entry.szExeFile);
    const std::wstring path = imagePath(entry.th32ProcessID);
    info.argv0 = path.empty() ? info.name : utf8(path);
    result.push_back(std::move(info));
  }
  CloseHandle(snapshot);
  return result;
}

}  // namespace orv
