// POSIX version of the durable file replacement.
#include "server/durable_file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "server/server_error.h"

namespace orv {

namespace {

std::string folderOf(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
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
    case EDQUOT:
      return "the disk is full.";
    case ENOENT:
    case ENOTDIR:
      return "the folder no longer exists.";
    case EBUSY:
    case ETXTBSY:
      return "the file is in use.";
    default:
      return std::string(std::strerror(error)) + ".";
  }
}

namespace {

// Removes the temporary file unless it has been renamed into place.
class TempGuard {
 public:
  explicit TempGuard(std::string path) : path_(std::move(path)) {}
  ~TempGuard() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  void release() { path_.clear(); }

 private:
  std::string path_;
};

}  // namespace

std::string displayName(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

FileIdentity fileIdentity(const std::string& path, const std::string& display) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    int error = errno;
    if (error == ENOENT)
      throw ServerError("Cannot find '" + display + "': the file does not exist.");
    throw ServerError("Cannot read '" + display + "': " + describeSystemError(error));
  }
  FileIdentity id;
  id.device = static_cast<std::uint64_t>(st.st_dev);
  id.inode = static_cast<std::uint64_t>(st.st_ino);
  id.size = static_cast<std::uint64_t>(st.st_size);
  id.mtimeNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  id.ctimeNs = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  return id;
}

void replaceFileDurably(const std::string& path,
                        const std::function<void(const std::string& tempPath)>& write) {
  const std::string display = displayName(path);
  // Through a symbolic link the file it points at is replaced, and the link stays a link.
  std::string target = path;
  if (char* real = ::realpath(path.c_str(), nullptr)) {
    target = real;
    std::free(real);
  }
  const std::string folder = folderOf(target);
  auto fail = [&](int error) -> void {
    throw ServerError("Cannot save '" + display + "': " + describeSystemError(error));
  };

  struct stat original {};
  if (::stat(target.c_str(), &original) != 0) fail(errno);

  std::string pattern = folder + "/." + display + ".orv-XXXXXX";
  int fd = ::mkstemp(pattern.data());
  if (fd < 0) fail(errno);
  ::close(fd);
  TempGuard guard(pattern);

  write(pattern);

  fd = ::open(pattern.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail(errno);
  // Permissions first, so the file never appears under the target's name with the temporary
  // file's narrower mode.
  bool ok = ::fchmod(fd, original.st_mode & 07777) == 0;
  // Ownership is kept when we may keep it; otherwise the file becomes ours, as any editor's
  // save makes it.
  if (ok) (void)!::fchown(fd, original.st_uid, original.st_gid);
  ok = ok && ::fsync(fd) == 0;
  int error = errno;
  ::close(fd);
  if (!ok) fail(error);

  if (::rename(pattern.c_str(), target.c_str()) != 0) fail(errno);
  guard.release();

  int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    // The rename is done; a folder that cannot be flushed (some network file systems) leaves
    // the new file in place, which is the outcome the user asked for.
    (void)::fsync(dirFd);
    ::close(dirFd);
  }
}

}  // namespace orv
