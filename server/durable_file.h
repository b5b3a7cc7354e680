#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace orv {

// What tells whether a file was replaced or written to by someone else since we looked.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t mtimeNs = 0;
  std::int64_t ctimeNs = 0;
  bool operator==(const FileIdentity&) const = default;
};

// Throws ServerError naming `display` when the file cannot be examined.
FileIdentity fileIdentity(const std::string& path, const std::string& display);

// The identity of the open file `fd`, or nothing when it cannot be examined.
std::optional<FileIdentity> descriptorIdentity(int fd);

// The reason for a failed system call, as the end of a sentence ("the disk is full.").
std::string describeSystemError(int error);

// The file name part of a path, for messages.
std::string displayName(const std::string& path);

// Replaces the file at `target` (through a symbolic link, the file it points at) by the file that
// `write` produces through the descriptor it is given: open for reading and writing, empty, at
// offset 0, in the target's folder. `write` may seek and truncate but must not close it.
//
// The new file is anonymous while it is written where the file system allows it (nothing is
// left if the process dies), otherwise a hidden file `.<name>.orv-XXXXXX` beside the target.
// It gets the target's owner and group, then its extended attributes (access lists included),
// then its mode, is flushed to disk and renamed over the target, and the folder is flushed.
// After the temporary file is created, everything is done through its descriptor; the only
// operation on a path is the final rename.
//
// Refuses a target whose permissions do not let the user change it (the superuser too, when
// no write permission is set at all), and one whose owner or group the new file cannot keep.
// On any failure the target is untouched, no temporary file is left, and ServerError says why
// in the user's words ("Cannot save 'Book.xlsx': the file is read-only.").
void replaceFileDurably(const std::string& target, const std::function<void(int fd)>& write);

// Copies `length` bytes at `inAt` of `in` to `out` at its current offset. The kernel copies
// between the files where it can, which shares the blocks instead on file systems that clone
// extents (XFS, btrfs) when both offsets lie alike in their blocks; otherwise the bytes pass
// through memory. Throws std::system_error (errno in code()) on failure.
void copyFileRange(int in, std::uint64_t inAt, int out, std::uint64_t length);

// An anonymous scratch file in the folder of `workbookPath`, open for reading and writing, that
// disappears when it is closed or the process ends, however it ends. -1 when none can be made.
int openScratchFile(const std::string& workbookPath);

// Removes the hidden temporary files a save of `workbookPath` left beside it when the process
// was killed. Call only while no other run can be saving the workbook. Returns how many were
// removed.
int removeStaleTemporaryFiles(const std::string& workbookPath);

// Makes SIGINT, SIGTERM and SIGHUP remove the temporary file of a save in progress before the
// process ends as the signal's default action would end it. Signals the process ignores stay
// ignored. For a program's main, before any save.
void installTemporaryFileCleanup();

// While a run holds the workbook's lock file `path` (open as `fd`), a signal that ends the
// process removes it too, as long as the name still leads to that file.
void removeLockOnSignal(const std::string& path, int fd);
void forgetLockOnSignal();

}  // namespace orv
