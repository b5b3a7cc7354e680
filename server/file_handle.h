#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

#include "server/durable_file.h"

namespace orv {

// Up to `length` bytes from `offset` of the descriptor `fd`, without moving its position: the
// count read (short only at the end of the file), or -1 with errno set.
std::int64_t readFileAt(int fd, std::uint64_t offset, void* buffer, std::size_t length);
// All of `length` bytes at `offset` of the descriptor `fd`, without moving its position: the
// count written (short only when the disk is full), or -1 with errno set.
std::int64_t writeFileAt(int fd, std::uint64_t offset, const void* data, std::size_t length);
// Lets the system copy `length` bytes of `in` from `offset` to `out` at its position, where it
// can do so without the bytes passing through here: the count copied, 0 when it cannot (the
// caller copies them itself), -1 with errno set on failure.
std::int64_t copyRangeBySystem(int in, std::uint64_t offset, int out, std::uint64_t length);
// The local time of `time`, thread-safe.
std::tm localTime(std::time_t time);

// An open file, by its C library descriptor (file_handle_posix.cpp, file_handle_win.cpp).
// Paths are UTF-8. Failures leave an errno value in error() (on Windows, the nearest one to the
// system's own code), which describeSystemError() puts in words. Closed when it goes out of
// scope.
class FileHandle {
 public:
  static FileHandle openForReading(const std::string& path);
  // An existing file, emptied.
  static FileHandle openForWriting(const std::string& path);
  // Takes over a descriptor opened elsewhere; invalid for a negative one.
  static FileHandle adopt(int fd);

  FileHandle() = default;
  FileHandle(FileHandle&& other) noexcept;
  FileHandle& operator=(FileHandle&& other) noexcept;
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle();

  bool valid() const { return fd_ >= 0; }
  // The C library's descriptor of the file, for code that writes through one.
  int descriptor() const { return fd_; }
  int error() const { return error_; }

  // Up to `length` bytes from `offset`: the count read (short only at the end of the file),
  // or -1.
  std::int64_t readAt(std::uint64_t offset, void* buffer, std::size_t length);
  // All of `length` bytes at the current end of what was written; false on failure.
  bool writeAll(const void* data, std::size_t length);
  // Lets the system copy `length` bytes of this file from `offset` to the descriptor `out` at
  // its position, where it can do so without the bytes passing through here: the count
  // copied, 0 when it cannot (the caller copies them itself), -1 on failure.
  std::int64_t copyTo(int out, std::uint64_t offset, std::uint64_t length);
  std::optional<FileIdentity> identity();
  bool isFolder();
  // Closes now; false when closing reports a failed write.
  bool close();

 private:
  explicit FileHandle(int fd) : fd_(fd) {}
  int fd_ = -1;
  int error_ = 0;
};

}  // namespace orv
