// Files through the Windows file calls, opened by their UTF-16 names. The C library's
// descriptor wraps the handle for code that writes through a descriptor.
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cerrno>

#include "server/file_handle.h"
#include "server/windows_text.h"

namespace orv {

namespace {

HANDLE handleOf(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

std::int64_t fileTimeNs(const LARGE_INTEGER& time) {
  // 100 ns ticks; the epoch does not matter for comparing.
  return time.QuadPart * 100;
}

FileHandle openWith(const std::string& path, DWORD access, DWORD disposition, int crtFlags,
                    int& error) {
  // Others may read, write and rename the file meanwhile, as they may on Linux; a save checks
  // the file's identity before it replaces it.
  HANDLE h = CreateFileW(windows::widen(path).c_str(), access,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error = windows::errnoFrom(GetLastError());
    return {};
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), crtFlags);
  if (fd < 0) {
    error = EMFILE;
    CloseHandle(h);
  }
  return FileHandle::adopt(fd);
}

}  // namespace

std::int64_t readFileAt(int fd, std::uint64_t offset, void* buffer, std::size_t length) {
  auto* p = static_cast<char*>(buffer);
  std::size_t done = 0;
  while (done < length) {
    OVERLAPPED at{};
    const std::uint64_t from = offset + done;
    at.Offset = static_cast<DWORD>(from & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(from >> 32);
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(length - done, 1u << 30));
    DWORD got = 0;
    if (!ReadFile(handleOf(fd), p + done, want, &got, &at)) {
      const DWORD error = GetLastError();
      if (error == ERROR_HANDLE_EOF) break;
      errno = windows::errnoFrom(error);
      return -1;
    }
    if (got == 0) break;
    done += got;
  }
  return static_cast<std::int64_t>(done);
}

std::int64_t writeFileAt(int fd, std::uint64_t offset, const void* data, std::size_t length) {
  const auto* p = static_cast<const char*>(data);
  std::size_t done = 0;
  while (done < length) {
    OVERLAPPED at{};
    const std::uint64_t to = offset + done;
    at.Offset = static_cast<DWORD>(to & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(to >> 32);
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(length - done, 1u << 30));
    DWORD put = 0;
    if (!WriteFile(handleOf(fd), p + done, want, &put, &at)) {
      errno = windows::errnoFrom(GetLastError());
      return -1;
    }
    if (put == 0) break;
    done += put;
  }
  return static_cast<std::int64_t>(done);
}

std::int64_t copyRangeBySystem(int, std::uint64_t, int, std::uint64_t) {
  // Block cloning (FSCTL_DUPLICATE_EXTENTS_TO_FILE) needs cluster-aligned ranges, which the
  // entries of a ZIP file are not: the bytes are copied by the caller.
  return 0;
}

std::tm localTime(std::time_t time) {
  std::tm local{};
  localtime_s(&local, &time);
  return local;
}

FileHandle FileHandle::adopt(int fd) { return FileHandle(fd); }

FileHandle FileHandle::openForReading(const std::string& path) {
  int error = 0;
  FileHandle file = openWith(path, GENERIC_READ, OPEN_EXISTING, _O_RDONLY, error);
  file.error_ = error;
  return file;
}

FileHandle FileHandle::openForWriting(const std::string& path) {
  int error = 0;
  // Emptied through the handle: opening a hidden file to truncate it is refused.
  FileHandle file = openWith(path, GENERIC_WRITE, OPEN_EXISTING, 0, error);
  if (file.valid() && !SetEndOfFile(handleOf(file.fd_))) {
    error = windows::errnoFrom(GetLastError());
    file = FileHandle();
  }
  file.error_ = error;
  return file;
}

FileHandle::FileHandle(FileHandle&& other) noexcept : fd_(other.fd_), error_(other.error_) {
  other.fd_ = -1;
}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this != &other) {
    if (valid()) _close(fd_);
    fd_ = other.fd_;
    error_ = other.error_;
    other.fd_ = -1;
  }
  return *this;
}

FileHandle::~FileHandle() {
  if (valid()) _close(fd_);
}

std::int64_t FileHandle::readAt(std::uint64_t offset, void* buffer, std::size_t length) {
  const std::int64_t got = readFileAt(fd_, offset, buffer, length);
  if (got < 0) error_ = errno;
  return got;
}

bool FileHandle::writeAll(const void* data, std::size_t length) {
  const auto* p = static_cast<const char*>(data);
  while (length > 0) {
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(length, 1u << 30));
    DWORD done = 0;
    if (!WriteFile(handleOf(fd_), p, want, &done, nullptr) || done == 0) {
      error_ =
          done == 0 && GetLastError() == ERROR_SUCCESS ? EIO : windows::errnoFrom(GetLastError());
      return false;
    }
    p += done;
    length -= done;
  }
  return true;
}

std::int64_t FileHandle::copyTo(int out, std::uint64_t offset, std::uint64_t length) {
  return copyRangeBySystem(fd_, offset, out, length);
}

std::optional<FileIdentity> FileHandle::identity() {
  BY_HANDLE_FILE_INFORMATION info{};
  FILE_BASIC_INFO basic{};
  const HANDLE h = handleOf(fd_);
  if (!GetFileInformationByHandle(h, &info) ||
      !GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic)) {
    error_ = windows::errnoFrom(GetLastError());
    return std::nullopt;
  }
  FileIdentity id;
  id.device = info.dwVolumeSerialNumber;
  id.inode = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  id.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  id.mtimeNs = fileTimeNs(basic.LastWriteTime);
  id.ctimeNs = fileTimeNs(basic.ChangeTime);
  return id;
}

bool FileHandle::isFolder() {
  BY_HANDLE_FILE_INFORMATION info{};
  return GetFileInformationByHandle(handleOf(fd_), &info) &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool FileHandle::close() {
  const int fd = fd_;
  fd_ = -1;
  if (_close(fd) == 0) return true;
  error_ = errno;
  return false;
}

}  // namespace orv
