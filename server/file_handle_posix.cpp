// Files by their descriptors.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "server/file_handle.h"

namespace orv {

std::int64_t readFileAt(int fd, std::uint64_t offset, void* buffer, std::size_t length) {
  auto* p = static_cast<char*>(buffer);
  std::size_t done = 0;
  while (done < length) {
    const ssize_t got = ::pread(fd, p + done, length - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return static_cast<std::int64_t>(done);
}

std::int64_t writeFileAt(int fd, std::uint64_t offset, const void* data, std::size_t length) {
  const auto* p = static_cast<const char*>(data);
  std::size_t done = 0;
  while (done < length) {
    const ssize_t put = ::pwrite(fd, p + done, length - done, static_cast<off_t>(offset + done));
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return -1;
    if (put == 0) break;
    done += static_cast<std::size_t>(put);
  }
  return static_cast<std::int64_t>(done);
}

std::int64_t copyRangeBySystem(int in, std::uint64_t offset, int out, std::uint64_t length) {
  auto inAt = static_cast<off_t>(offset);
  for (;;) {
    const ssize_t done =
        ::copy_file_range(in, &inAt, out, nullptr, static_cast<std::size_t>(length), 0);
    if (done >= 0) return done;
    if (errno == EINTR) continue;
    // Across file systems, or where the kernel has no such copy.
    if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP ||
        errno == EBADF)
      return 0;
    return -1;
  }
}

std::tm localTime(std::time_t time) {
  std::tm local{};
  ::localtime_r(&time, &local);
  return local;
}

FileHandle FileHandle::adopt(int fd) { return FileHandle(fd); }

FileHandle FileHandle::openForReading(const std::string& path) {
  FileHandle file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) file.error_ = errno;
  return file;
}

FileHandle FileHandle::openForWriting(const std::string& path) {
  FileHandle file(::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
  if (!file.valid()) file.error_ = errno;
  return file;
}

FileHandle::FileHandle(FileHandle&& other) noexcept : fd_(other.fd_), error_(other.error_) {
  other.fd_ = -1;
}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this != &other) {
    if (valid()) ::close(fd_);
    fd_ = other.fd_;
    error_ = other.error_;
    other.fd_ = -1;
  }
  return *this;
}

FileHandle::~FileHandle() {
  if (valid()) ::close(fd_);
}

std::int64_t FileHandle::readAt(std::uint64_t offset, void* buffer, std::size_t length) {
  const std::int64_t got = readFileAt(fd_, offset, buffer, length);
  if (got < 0) error_ = errno;
  return got;
}

bool FileHandle::writeAll(const void* data, std::size_t length) {
  const auto* p = static_cast<const char*>(data);
  while (length > 0) {
    const ssize_t done = ::write(fd_, p, length);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) {
      error_ = done < 0 ? errno : EIO;
      return false;
    }
    p += done;
    length -= static_cast<std::size_t>(done);
  }
  return true;
}

std::int64_t FileHandle::copyTo(int out, std::uint64_t offset, std::uint64_t length) {
  const std::int64_t done = copyRangeBySystem(fd_, offset, out, length);
  if (done < 0) error_ = errno;
  return done;
}

std::optional<FileIdentity> FileHandle::identity() {
  std::optional<FileIdentity> id = descriptorIdentity(fd_);
  if (!id) error_ = errno;
  return id;
}

bool FileHandle::isFolder() {
  struct stat st {};
  return ::fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileHandle::close() {
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) == 0) return true;
  error_ = errno;
  return false;
}

}  // namespace orv
