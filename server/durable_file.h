#pragma once

#include <cstdint>
#include <functional>
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

// The reason for a failed system call, as the end of a sentence ("the disk is full.").
std::string describeSystemError(int error);

// The file name part of a path, for messages.
std::string displayName(const std::string& path);

// Replaces the file at `target` by the file that `write` produces at the temporary path it is
// given (in the same folder, already created and empty). The new file is flushed to disk and
// renamed over the target with the target's permissions, and the folder is flushed. On any
// failure the target is untouched, no temporary file is left, and ServerError says why in the
// user's words ("Cannot save 'Book.xlsx': the folder is read-only.").
void replaceFileDurably(const std::string& target,
                        const std::function<void(const std::string& tempPath)>& write);

}  // namespace orv
