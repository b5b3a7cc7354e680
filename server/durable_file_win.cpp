// Windows version of the durable file replacement: the new file is written beside the target,
// flushed, and put in its place by ReplaceFileW, which keeps the target's attributes, security
// descriptor, creation time and alternate streams.
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <random>
#include <system_error>
#include <vector>

#include "server/durable_file.h"
#include "server/file_handle.h"
#include "server/server_error.h"
#include "server/windows_text.h"

namespace orv {

namespace {

std::size_t lastSeparator(const std::string& path) { return path.find_last_of("/\\"); }

std::string folderOf(const std::string& path) {
  const auto cut = lastSeparator(path);
  if (cut == std::string::npos) return ".";
  return path.substr(0, cut == 0 ? 1 : cut);
}

// Closes a handle when it goes out of scope.
class Handle {
 public:
  explicit Handle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
  ~Handle() { reset(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  void reset(HANDLE h = INVALID_HANDLE_VALUE) {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    h_ = h;
  }
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE h_;
};

// Removes the temporary file unless it has been put in place.
class TempGuard {
 public:
  explicit TempGuard(std::wstring path) : path_(std::move(path)) {}
  ~TempGuard() {
    if (!path_.empty()) {
      SetFileAttributesW(path_.c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileW(path_.c_str());
    }
  }
  void release() { path_.clear(); }

 private:
  std::wstring path_;
};

// The file a link or junction leads to, in the form the system gave it.
std::wstring finalPath(HANDLE file, const std::wstring& fallback) {
  std::wstring out(32768, L'\0');
  const DWORD size = GetFinalPathNameByHandleW(file, out.data(), static_cast<DWORD>(out.size()),
                                               FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (size == 0 || size >= out.size()) return fallback;
  out.resize(size);
  return out;
}

constexpr wchar_t kTempAlphabet[] =
    L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr wchar_t kMarker[] = L".orv-";
constexpr std::size_t kRandomLength = 6;

// A new file `prefix` + a random ending, created exclusively, read and write, with `flags`; its
// name in `name`. INVALID_HANDLE_VALUE with the system's error when none can be made.
HANDLE createUnique(const std::wstring& prefix, DWORD share, DWORD flags, std::wstring& name) {
  std::random_device random;
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    name = prefix;
    for (std::size_t k = 0; k < kRandomLength; ++k)
      name += kTempAlphabet[random() % (std::size(kTempAlphabet) - 1)];
    HANDLE created = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr,
                                 CREATE_NEW, flags, nullptr);
    if (created != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return created;
  }
  SetLastError(ERROR_FILE_EXISTS);
  return INVALID_HANDLE_VALUE;
}

FileIdentity identityOf(const BY_HANDLE_FILE_INFORMATION& info, const FILE_BASIC_INFO& basic) {
  FileIdentity id;
  id.device = info.dwVolumeSerialNumber;
  id.inode = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  id.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  id.mtimeNs = basic.LastWriteTime.QuadPart * 100;
  id.ctimeNs = basic.ChangeTime.QuadPart * 100;
  return id;
}

}  // namespace

std::string describeSystemError(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
      return "the folder is read-only or you do not have permission to write in it.";
    case EROFS:
      return "the folder is read-only.";
    case ENOSPC:
      return "the disk is full.";
    case ENOENT:
    case ENOTDIR:
      return "the folder no longer exists.";
    case EBUSY:
      return "the file is in use.";
    default:
      return std::string(std::strerror(error)) + ".";
  }
}

std::string displayName(const std::string& path) {
  const auto cut = lastSeparator(path);
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

FileIdentity fileIdentity(const std::string& path, const std::string& display) {
  Handle file(CreateFileW(windows::widen(path).c_str(), FILE_READ_ATTRIBUTES,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  FILE_BASIC_INFO basic{};
  if (!file.valid() || !GetFileInformationByHandle(file.get(), &info) ||
      !GetFileInformationByHandleEx(file.get(), FileBasicInfo, &basic, sizeof basic)) {
    const int error = windows::errnoFrom(GetLastError());
    if (error == ENOENT)
      throw ServerError("Cannot find '" + display + "': the file does not exist.");
    throw ServerError("Cannot read '" + display + "': " + describeSystemError(error));
  }
  return identityOf(info, basic);
}

std::optional<FileIdentity> descriptorIdentity(int fd) {
  const auto file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  BY_HANDLE_FILE_INFORMATION info{};
  FILE_BASIC_INFO basic{};
  if (file == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(file, &info) ||
      !GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic))
    return std::nullopt;
  return identityOf(info, basic);
}

void replaceFileDurably(const std::string& path, const std::function<void(int fd)>& write) {
  const std::string display = displayName(path);
  auto fail = [&](int error) -> void {
    throw ServerError("Cannot save '" + display + "': " + describeSystemError(error));
  };
  auto failWindows = [&] { fail(windows::errnoFrom(GetLastError())); };
  auto refuse = [&](const std::string& why) -> void {
    throw ServerError("Cannot save '" + display + "': " + why);
  };

  const std::wstring named = windows::widen(path);
  const DWORD attributes = GetFileAttributesW(named.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) failWindows();
  // Office applications respect the read-only attribute; so do we.
  if (attributes & FILE_ATTRIBUTE_READONLY) refuse("the file is read-only.");
  // Asking for write access tells whether the user may change the file, and whether a program
  // holds it open without letting others write (a spreadsheet application does).
  Handle original(CreateFileW(named.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!original.valid()) {
    const DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED) refuse("you do not have permission to change this file.");
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION)
      refuse("the file is open in another program. Close it there and try again.");
    fail(windows::errnoFrom(error));
  }
  // Through a symbolic link the file it points at is replaced, and the link stays a link.
  const std::wstring target = finalPath(original.get(), named);
  original.reset();
  const std::string targetUtf8 = windows::narrow(target);
  const std::wstring folder = windows::widen(folderOf(targetUtf8));
  const std::wstring prefix = folder + L"\\." + windows::widen(displayName(targetUtf8)) + kMarker;

  // A hidden name of our own beside the target, created exclusively.
  std::wstring temp;
  HANDLE created = createUnique(prefix, 0, FILE_ATTRIBUTE_HIDDEN, temp);
  if (created == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_FILE_EXISTS) fail(EEXIST);
    failWindows();
  }
  TempGuard guard(temp);
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(created), 0);
  if (fd < 0) {
    CloseHandle(created);
    fail(EMFILE);
  }
  struct Descriptor {
    int fd;
    ~Descriptor() {
      if (fd >= 0) _close(fd);
    }
  } descriptor{fd};

  write(fd);

  if (!FlushFileBuffers(created)) failWindows();
  descriptor.fd = -1;
  if (_close(fd) != 0) fail(errno);

  // The target's attributes go on the new file (and the temporary file's hidden mark goes);
  // ReplaceFileW carries its access list, creation time and streams over as well.
  SetFileAttributesW(temp.c_str(), attributes);
  if (!ReplaceFileW(target.c_str(), temp.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                    nullptr)) {
    // Where the volume cannot do that (some network shares), or when it got as far as removing
    // the target, a plain move, written through to the disk.
    if (!MoveFileExW(temp.c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      failWindows();
  }
  guard.release();
}

void copyFileRange(int in, std::uint64_t inAt, int out, std::uint64_t length) {
  // Block cloning needs cluster-aligned ranges, which the entries of a ZIP file are not: the
  // bytes pass through memory, read at their offset and written at the output's position.
  const HANDLE to = reinterpret_cast<HANDLE>(_get_osfhandle(out));
  std::vector<char> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(length, 1 << 20)));
  while (length > 0) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(length, buffer.size()));
    const std::int64_t got = readFileAt(in, inAt, buffer.data(), want);
    if (got <= 0) throw std::system_error(got < 0 ? errno : EIO, std::generic_category());
    for (DWORD put = 0; put < static_cast<DWORD>(got);) {
      DWORD done = 0;
      if (!WriteFile(to, buffer.data() + put, static_cast<DWORD>(got) - put, &done, nullptr))
        throw std::system_error(windows::errnoFrom(GetLastError()), std::generic_category());
      if (done == 0) throw std::system_error(ENOSPC, std::generic_category());
      put += done;
    }
    inAt += static_cast<std::uint64_t>(got);
    length -= static_cast<std::uint64_t>(got);
  }
}

int openScratchFile(const std::string& workbookPath) {
  // A hidden name of the kind a later run removes, which the system deletes when the handle is
  // closed or the process ends, however it ends.
  const std::wstring prefix = windows::widen(folderOf(workbookPath)) + L"\\." +
                              windows::widen(displayName(workbookPath)) + kMarker;
  std::wstring name;
  HANDLE created = createUnique(
      prefix, 0, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
      name);
  if (created == INVALID_HANDLE_VALUE) return -1;
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(created), _O_RDWR | _O_BINARY);
  if (fd < 0) CloseHandle(created);
  return fd;
}

int removeStaleTemporaryFiles(const std::string& workbookPath) {
  const std::string folder = folderOf(workbookPath);
  const std::wstring pattern =
      windows::widen(folder) + L"\\." + windows::widen(displayName(workbookPath)) + kMarker + L"*";
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return 0;
  int removed = 0;
  const std::size_t prefixLength = pattern.size() - 1 - (windows::widen(folder).size() + 1);
  do {
    const std::wstring name = found.cFileName;
    if (name.size() != prefixLength + kRandomLength) continue;
    const std::wstring path = windows::widen(folder) + L"\\" + name;
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (DeleteFileW(path.c_str())) ++removed;
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return removed;
}

// Windows ends a program without signals: a console's Ctrl+C or its closing, which
// installTemporaryFileCleanup() does not intercept, and the lock files are made to be removed by
// the system when the process ends. A save's temporary file left by a killed run is removed by
// the next run that takes the workbook's lock.
void installTemporaryFileCleanup() {}
void removeLockOnSignal(const std::string&, int) {}
void forgetLockOnSignal() {}

}  // namespace orv
