// The lock beside the workbook on Windows: the owner file "~$NAME" that Windows spreadsheet
// applications write beside a workbook they have open and honour, and ".~lock.NAME#" as
// LibreOffice writes it. Both are made with FILE_FLAG_DELETE_ON_CLOSE, so the system removes
// them when this process ends, however it ends; while a process holds one, nobody may open it
// for exclusive use, which tells a live lock from one left behind.
#include <fcntl.h>
#include <io.h>

#include <cwchar>
#include <cstdlib>

#include "server/durable_file.h"
#include "server/windows_text.h"
#include "server/workbook_lock.h"

namespace orv {

namespace {

constexpr DWORD kMaxLockFileSize = 4096;

std::string folderPart(const std::string& path) {
  const auto cut = path.find_last_of("/\\");
  return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

std::string ownerFilePath(const std::string& lockPath) {
  // ".~lock.NAME#" and "~$NAME" sit in the same folder.
  const std::string name = displayName(lockPath);
  return folderPart(lockPath) + "~$" + name.substr(7, name.size() - 8);
}

std::string percentEncoded(std::string_view path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char ch : path) {
    const auto c = static_cast<unsigned char>(ch);
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       std::string_view("-._~/:").find(ch) != std::string_view::npos;
    if (plain) {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  return out;
}

// A new hidden file holding `text`, removed by the system when this process lets go of it;
// -1 with the reason in `error` when it exists or cannot be made.
int createHeld(const std::string& path, std::string_view text, DWORD& error) {
  HANDLE h = CreateFileW(windows::widen(path).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                         FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    return -1;
  }
  DWORD written = 0;
  if (!WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
      written != text.size() || !FlushFileBuffers(h)) {
    // Closing removes it: a lock nobody can read would block every later run.
    error = GetLastError();
    CloseHandle(h);
    return -1;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY);
  if (fd < 0) {
    error = ERROR_TOO_MANY_OPEN_FILES;
    CloseHandle(h);
  }
  return fd;
}

// Removes a lock file that no process holds any more. False when someone holds it (or it
// cannot be removed); true when it is gone.
bool removeIfLeftBehind(const std::string& path) {
  // No sharing at all: this open succeeds only when nobody else has the file open.
  HANDLE h = CreateFileW(windows::widen(path).c_str(), GENERIC_READ | DELETE, 0, nullptr,
                         OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
  CloseHandle(h);
  return true;
}

std::optional<std::string> readSmallFile(const std::string& path) {
  HANDLE h = CreateFileW(windows::widen(path).c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::nullopt;
  std::string text(kMaxLockFileSize, '\0');
  DWORD got = 0;
  const BOOL ok = ReadFile(h, text.data(), kMaxLockFileSize, &got, nullptr);
  CloseHandle(h);
  if (!ok) return std::nullopt;
  text.resize(got);
  return text;
}

bool exists(const std::string& path) {
  return GetFileAttributesW(windows::widen(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A folder where this user may not create files takes no lock; the save then says why.
bool noLockPossible(DWORD error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT ||
         error == ERROR_PATH_NOT_FOUND || error == ERROR_NOT_SUPPORTED;
}

}  // namespace

LockOwner ownLockEntry() {
  LockOwner self;
  wchar_t user[257] = {};
  DWORD size = 257;
  if (GetUserNameW(user, &size)) self.systemUser = windows::narrow(user);
  wchar_t host[MAX_COMPUTERNAME_LENGTH + 1] = {};
  size = MAX_COMPUTERNAME_LENGTH + 1;
  if (GetComputerNameW(host, &size)) self.host = windows::narrow(host);
  SYSTEMTIME now{};
  GetLocalTime(&now);
  char when[32] = {};
  std::snprintf(when, sizeof when, "%02u.%02u.%04u %02u:%02u", now.wDay, now.wMonth, now.wYear,
                now.wHour, now.wMinute);
  self.since = when;
  if (const wchar_t* appData = _wgetenv(L"APPDATA"); appData && *appData) {
    std::string folder = windows::narrow(appData);
    for (char& c : folder)
      if (c == '\\') c = '/';
    self.userUrl = "file:///" + percentEncoded(folder) + "/Orvandel";
  }
  return self;
}

std::string lockFilePath(const std::string& workbookPath) {
  return folderPart(workbookPath) + ".~lock." + displayName(workbookPath) + "#";
}

bool WorkbookLock::create(const LockOwner& self) {
  const std::string owner = ownerFilePath(path_);
  DWORD error = 0;
  // The owner file first: a spreadsheet application that has the workbook open holds it.
  // One that crashed left it behind, and it goes as that application would remove it.
  int ownerFd = createHeld(owner, formatOwnerFile(self.systemUser), error);
  if (ownerFd < 0 && error == ERROR_FILE_EXISTS && removeIfLeftBehind(owner))
    ownerFd = createHeld(owner, formatOwnerFile(self.systemUser), error);
  if (ownerFd < 0) return error != ERROR_FILE_EXISTS && error != ERROR_SHARING_VIOLATION;

  const int fd = createHeld(path_, formatLockEntry(self), error);
  if (fd < 0) {
    _close(ownerFd);
    return noLockPossible(error);
  }
  fd_ = fd;
  ownerFd_ = ownerFd;
  return true;
}

bool WorkbookLock::takeOverAbandoned(const LockOwner& self) {
  // Only the lock file can be left behind by one of our runs (a power cut); an owner file
  // that stays is held.
  if (!exists(path_)) return exists(ownerFilePath(path_)) ? false : true;
  const std::optional<std::string> text = readSmallFile(path_);
  const std::optional<LockOwner> owner = text ? parseLockEntry(*text) : std::nullopt;
  if (!owner || !writtenByThisProgram(*owner, self)) return false;
  return removeIfLeftBehind(path_);
}

std::optional<LockOwner> WorkbookLock::holder() const {
  const std::string owner = ownerFilePath(path_);
  if (exists(owner)) {
    LockOwner who;
    if (const std::optional<std::string> bytes = readSmallFile(owner))
      if (const std::optional<std::string> name = parseOwnerFile(*bytes)) who.officeUser = *name;
    return who;
  }
  const std::optional<std::string> text = readSmallFile(path_);
  return text ? parseLockEntry(*text) : std::nullopt;
}

WorkbookLock::~WorkbookLock() {
  // Closing the last handle removes each file.
  if (fd_ >= 0) _close(fd_);
  if (ownerFd_ >= 0) _close(ownerFd_);
}

}  // namespace orv
