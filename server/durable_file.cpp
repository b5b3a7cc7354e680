// POSIX version of the durable file replacement.
#include "server/durable_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string_view>
#include <system_error>
#include <vector>

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

std::string displayName(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

namespace {

FileIdentity identityOf(const struct stat& st) {
  FileIdentity id;
  id.device = static_cast<std::uint64_t>(st.st_dev);
  id.inode = static_cast<std::uint64_t>(st.st_ino);
  id.size = static_cast<std::uint64_t>(st.st_size);
  id.mtimeNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  id.ctimeNs = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  return id;
}

}  // namespace

FileIdentity fileIdentity(const std::string& path, const std::string& display) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    int error = errno;
    if (error == ENOENT)
      throw ServerError("Cannot find '" + display + "': the file does not exist.");
    throw ServerError("Cannot read '" + display + "': " + describeSystemError(error));
  }
  return identityOf(st);
}

std::optional<FileIdentity> descriptorIdentity(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return std::nullopt;
  return identityOf(st);
}

namespace {

// The temporary file of the save in progress, for the signal handler: a fixed buffer and a flag,
// which is all a handler may touch.
char gTempPath[PATH_MAX];
volatile std::sig_atomic_t gTempSet = 0;

void rememberTemporary(const std::string& path) {
  gTempSet = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  if (path.size() >= sizeof gTempPath) return;
  std::memcpy(gTempPath, path.c_str(), path.size() + 1);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  gTempSet = 1;
}

void forgetTemporary() { gTempSet = 0; }

// The lock file a run holds, and the descriptor that proves it is still ours.
char gLockPath[PATH_MAX];
volatile std::sig_atomic_t gLockFd = -1;

extern "C" void removeTemporaryAndEnd(int signal) {
  const int saved = errno;
  if (gTempSet) ::unlink(gTempPath);
  gTempSet = 0;
  if (gLockFd >= 0) {
    struct stat held {
    }, named{};
    if (::fstat(gLockFd, &held) == 0 && ::lstat(gLockPath, &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino)
      ::unlink(gLockPath);
    gLockFd = -1;
  }
  // The handler was reset to the default action on entry; the signal now ends the process as
  // it would have without us.
  ::raise(signal);
  errno = saved;
}

}  // namespace

void removeLockOnSignal(const std::string& path, int fd) {
  gLockFd = -1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  if (path.size() >= sizeof gLockPath) return;
  std::memcpy(gLockPath, path.c_str(), path.size() + 1);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  gLockFd = fd;
}

void forgetLockOnSignal() { gLockFd = -1; }

namespace {

// Closes a descriptor when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// Removes the named temporary file unless it has been renamed into place.
class TempName {
 public:
  TempName() = default;
  ~TempName() { clear(true); }
  TempName(const TempName&) = delete;
  TempName& operator=(const TempName&) = delete;
  void set(std::string path) {
    path_ = std::move(path);
    rememberTemporary(path_);
  }
  const std::string& path() const { return path_; }
  // After the rename the name is the target's, and must not be removed.
  void clear(bool remove) {
    if (path_.empty()) return;
    forgetTemporary();
    if (remove) ::unlink(path_.c_str());
    path_.clear();
  }

 private:
  std::string path_;
};

constexpr char kTempMarker[] = ".orv-";
constexpr size_t kTempRandom = 6;
constexpr char kTempAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

std::string randomSuffix() {
  unsigned char bytes[kTempRandom];
  if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
    std::random_device device;
    for (auto& b : bytes) b = static_cast<unsigned char>(device());
  }
  std::string out;
  for (unsigned char b : bytes) out.push_back(kTempAlphabet[b % (sizeof kTempAlphabet - 1)]);
  return out;
}

// The file a save replaces, and the folder its temporary files go in.
struct Resolved {
  std::string target;
  std::string folder;
  std::string base;
};

Resolved resolve(const std::string& path) {
  // Through a symbolic link the file it points at is replaced, and the link stays a link.
  Resolved r{path, {}, {}};
  if (char* real = ::realpath(path.c_str(), nullptr)) {
    r.target = real;
    std::free(real);
  }
  r.folder = folderOf(r.target);
  r.base = displayName(r.target);
  return r;
}

bool isTemporaryName(std::string_view name, const std::string& base) {
  const std::string prefix = "." + base + kTempMarker;
  if (name.size() != prefix.size() + kTempRandom || name.substr(0, prefix.size()) != prefix)
    return false;
  return name.substr(prefix.size()).find_first_not_of(kTempAlphabet) == std::string_view::npos;
}

// Why the permissions of the file open at `fd` do not let this process change it (EACCES, or
// EROFS for a read-only file system); 0 when they do. The superuser passes every check but is
// held to the read-only state office applications respect: no write permission for anyone.
int notWritable(int fd, const struct stat& st) {
  if (::geteuid() == 0) return (st.st_mode & 0222) != 0 ? 0 : EACCES;
  // The kernel's own check, access lists included.
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  if (::faccessat(AT_FDCWD, self.c_str(), W_OK, AT_EACCESS) == 0) return 0;
  if (errno != ENOENT) return errno == EROFS ? EROFS : EACCES;
  // Without /proc: the bits of the class the user is in.
  if (st.st_uid == ::geteuid()) return (st.st_mode & S_IWUSR) != 0 ? 0 : EACCES;
  bool member = st.st_gid == ::getegid();
  if (!member) {
    const int n = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(static_cast<size_t>(std::max(n, 0)));
    if (n > 0 && ::getgroups(n, groups.data()) == n)
      member = std::find(groups.begin(), groups.end(), st.st_gid) != groups.end();
  }
  return (st.st_mode & (member ? S_IWGRP : S_IWOTH)) != 0 ? 0 : EACCES;
}

bool isAccessList(const char* name) {
  return std::strcmp(name, "system.posix_acl_access") == 0 ||
         std::strcmp(name, "system.posix_acl_default") == 0;
}

// Copies the extended attributes of `from` to `to`; nonzero errno when an access list could not
// be copied. Attributes of namespaces only the system may set (security.*, trusted.*) are
// copied when allowed and otherwise left to the system.
int copyAttributes(int from, int to) {
  std::vector<char> names;
  for (;;) {
    const ssize_t size = ::flistxattr(from, nullptr, 0);
    if (size < 0) return (errno == ENOTSUP || errno == ENOSYS) ? 0 : errno;
    if (size == 0) return 0;
    names.resize(static_cast<size_t>(size));
    const ssize_t got = ::flistxattr(from, names.data(), names.size());
    if (got >= 0) {
      names.resize(static_cast<size_t>(got));
      break;
    }
    if (errno != ERANGE) return errno;
  }
  std::vector<char> value;
  for (size_t at = 0; at < names.size();) {
    const char* name = names.data() + at;
    at += std::strlen(name) + 1;
    ssize_t size = ::fgetxattr(from, name, nullptr, 0);
    if (size >= 0) {
      value.resize(static_cast<size_t>(size));
      size = ::fgetxattr(from, name, value.data(), value.size());
    }
    int error = 0;
    if (size < 0) {
      error = errno;
    } else if (::fsetxattr(to, name, value.data(), static_cast<size_t>(size), 0) != 0) {
      error = errno;
    }
    if (error != 0 && (isAccessList(name) || std::strncmp(name, "user.", 5) == 0)) return error;
  }
  return 0;
}

}  // namespace

void replaceFileDurably(const std::string& path, const std::function<void(int fd)>& write) {
  const std::string display = displayName(path);
  const Resolved where = resolve(path);
  auto fail = [&](int error) -> void {
    throw ServerError("Cannot save '" + display + "': " + describeSystemError(error));
  };
  auto refuse = [&](const std::string& why) -> void {
    throw ServerError("Cannot save '" + display + "': " + why);
  };

  Fd original(::open(where.target.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (original.get() < 0) fail(errno);
  struct stat st {};
  if (::fstat(original.get(), &st) != 0) fail(errno);
  if (const int denied = notWritable(original.get(), st); denied == EROFS) {
    fail(EROFS);
  } else if (denied != 0) {
    refuse((st.st_mode & 0222) == 0 ? "the file is read-only."
                                    : "you do not have permission to change this file.");
  }

  // The new file: anonymous where the file system allows it, else a hidden name of our own.
  TempName name;
  Fd temp;
#ifdef O_TMPFILE
  temp.reset(::open(where.folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
#endif
  const bool anonymous = temp.get() >= 0;
  if (!anonymous) {
    std::string pattern = where.folder + "/." + where.base + kTempMarker + "XXXXXX";
    // Created exclusively: never through an existing name or link.
    temp.reset(::mkostemp(pattern.data(), O_CLOEXEC));
    if (temp.get() < 0) fail(errno);
    name.set(pattern);
  }

  write(temp.get());

  // Owner first: changing it clears set-user-ID and set-group-ID, which the mode then sets.
  struct stat now {};
  if (::fstat(temp.get(), &now) != 0) fail(errno);
  if ((now.st_uid != st.st_uid || now.st_gid != st.st_gid) &&
      ::fchown(temp.get(), st.st_uid, st.st_gid) != 0) {
    if (errno != EPERM) fail(errno);
    refuse(st.st_uid != now.st_uid
               ? "the file belongs to another user, and saving it would make it yours."
               : "the file belongs to a group you are not in, and saving it would change its "
                 "group.");
  }
  if (int error = copyAttributes(original.get(), temp.get()); error != 0) {
    refuse("its access permissions could not be kept (" + std::string(std::strerror(error)) + ").");
  }
  if (::fchmod(temp.get(), st.st_mode & 07777) != 0) fail(errno);
  if (::fsync(temp.get()) != 0) fail(errno);
  // Some file systems report a failed write only when a descriptor is closed; closing a copy of
  // it asks them while the target is still untouched.
  {
    const int probe = ::dup(temp.get());
    if (probe < 0) fail(errno);
    if (::close(probe) != 0) fail(errno);
  }

  if (anonymous) {
    // A name just before the rename, made from the descriptor.
    const std::string self = "/proc/self/fd/" + std::to_string(temp.get());
    for (int attempt = 0;; ++attempt) {
      std::string candidate = where.folder + "/." + where.base + kTempMarker + randomSuffix();
      int rc = ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, candidate.c_str(), AT_SYMLINK_FOLLOW);
      if (rc != 0 && errno == ENOENT && ::access("/proc/self/fd", F_OK) != 0)
        rc = ::linkat(temp.get(), "", AT_FDCWD, candidate.c_str(), AT_EMPTY_PATH);
      if (rc == 0) {
        name.set(candidate);
        break;
      }
      if (errno != EEXIST || attempt >= 100) fail(errno);
    }
  }

  // The name must still be the file written. Someone able to write in the folder may have
  // replaced it; what they put there is not saved over the target.
  struct stat named {};
  if (::lstat(name.path().c_str(), &named) != 0 || named.st_dev != now.st_dev ||
      named.st_ino != now.st_ino) {
    refuse("another program replaced the file while it was being saved.");
  }
  if (::rename(name.path().c_str(), where.target.c_str()) != 0) fail(errno);
  name.clear(false);

  // Unless it was replaced between that look and the rename; then the target now holds what
  // was put there, and the save did not happen.
  struct stat placed {};
  if (::lstat(where.target.c_str(), &placed) != 0 || placed.st_dev != now.st_dev ||
      placed.st_ino != now.st_ino) {
    refuse("another program replaced the file while it was being saved.");
  }

  Fd folder(::open(where.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() >= 0) {
    // The rename is done; a folder that cannot be flushed (some network file systems) leaves
    // the new file in place, which is the outcome the user asked for.
    (void)::fsync(folder.get());
  }
}

namespace {

// A file saved many times over the prefix the saves share is, on a file system that clones,
// a chain of extents, one a save, and a clone costs the file system a transaction an extent:
// after a thousand saves, that was most of a save's time. Where the range ends in many extents
// within its last few megabytes, and they are small or few megabytes beside the range, those are
// copied through memory instead, into one new extent. Some saves write that much more, and a
// clone stays some dozens of extents long. Returns where cloning stops: `to` when nothing is
// worth copying.
constexpr std::uint64_t kCoalesceBytes = 4 << 20;
constexpr unsigned kCoalesceCount = 64;
constexpr std::uint64_t kSmallExtent = 16 << 10;
constexpr std::uint64_t kCheap = 256 << 10;  // copied sooner

std::uint64_t cloneEnd(int in, std::uint64_t from, std::uint64_t to) {
#ifdef FS_IOC_FIEMAP
  const std::uint64_t window = to - from > kCoalesceBytes ? to - kCoalesceBytes : from;
  // Room for every extent of 4 KB blocks in the window; with more, nothing is copied.
  constexpr unsigned kMost = kCoalesceBytes / 4096 + 2;
  std::vector<std::uint64_t> buffer(
      (sizeof(fiemap) + kMost * sizeof(fiemap_extent)) / sizeof(std::uint64_t) + 1);
  auto* map = reinterpret_cast<fiemap*>(buffer.data());
  map->fm_start = window;
  map->fm_length = to - window;
  map->fm_extent_count = kMost;
  if (::ioctl(in, FS_IOC_FIEMAP, map) != 0 || map->fm_mapped_extents == 0 ||
      map->fm_mapped_extents >= kMost)
    return to;
  // From the last extent back, those that start in the window.
  unsigned count = 0;
  std::uint64_t start = to;
  for (unsigned i = map->fm_mapped_extents; i-- > 0;) {
    const fiemap_extent& e = map->fm_extents[i];
    if (e.fe_logical < window || e.fe_logical >= start) break;
    start = e.fe_logical;
    ++count;
  }
  // Copying costs what it writes: only extents of a few blocks each, or a tail that is small
  // beside the range.
  const std::uint64_t bytes = to - start;
  const bool worth = bytes <= kSmallExtent * count || bytes * 4 <= to - from;
  const bool many = count >= kCoalesceCount || (count >= kCoalesceCount / 4 && bytes <= kCheap);
  return many && worth ? start : to;
#else
  (void)in;
  (void)from;
  return to;
#endif
}

}  // namespace

void copyFileRange(int in, std::uint64_t inAt, int out, std::uint64_t length) {
  // What is copied is sent on to the disk at once, while the rest of the save is made, instead
  // of all at the flush that ends the save; the flush still waits for all of it. Blocks shared
  // by a clone have nothing to send.
  const off_t outStart = ::lseek(out, 0, SEEK_CUR);
  const std::uint64_t end = inAt + length;
  auto at = static_cast<off_t>(inAt);
  std::vector<char> buffer;
  // A filesystem clones only whole blocks, from a block's start: a range that starts within a
  // block at the same place in both files is copied up to the next block first.
  constexpr std::uint64_t kBlock = 4096;
  std::uint64_t upToBlock = 0;
  std::uint64_t kernelUntil = end;  // past it, bytes pass through memory
  if (outStart >= 0 && inAt % kBlock == static_cast<std::uint64_t>(outStart) % kBlock) {
    upToBlock = (kBlock - inAt % kBlock) % kBlock;
    kernelUntil = cloneEnd(in, inAt, end);
  }
  auto left = [&] { return end - static_cast<std::uint64_t>(at); };
  while (left() > 0) {
    if (static_cast<std::uint64_t>(at) < kernelUntil) {
      std::uint64_t want = kernelUntil - static_cast<std::uint64_t>(at);
      if (upToBlock > 0) want = std::min(upToBlock, want);
      const ssize_t done = ::copy_file_range(in, &at, out, nullptr, static_cast<size_t>(want), 0);
      if (done > 0) {
        upToBlock -= std::min(upToBlock, static_cast<std::uint64_t>(done));
        continue;
      }
      if (done < 0 && errno == EINTR) continue;
      if (done < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL ||
                       errno == EOPNOTSUPP || errno == EBADF)) {
        kernelUntil = 0;
        continue;
      }
      throw std::system_error(done < 0 ? errno : EIO, std::generic_category());
    }
    // In pieces of 64 KB: the extents copied this way may come to megabytes, and a buffer of
    // their size would be held as long as the process lives.
    buffer.resize(static_cast<size_t>(std::min<std::uint64_t>(left(), 64 << 10)));
    const ssize_t got = ::pread(in, buffer.data(), buffer.size(), at);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) throw std::system_error(got < 0 ? errno : EIO, std::generic_category());
    for (ssize_t put = 0; put < got;) {
      const ssize_t done = ::write(out, buffer.data() + put, static_cast<size_t>(got - put));
      if (done < 0 && errno == EINTR) continue;
      if (done <= 0) throw std::system_error(done < 0 ? errno : EIO, std::generic_category());
      put += done;
    }
    at += got;
  }
  constexpr std::uint64_t kWorthIt = 1 << 20;
  if (outStart >= 0 && length >= kWorthIt)
    (void)::sync_file_range(out, outStart, static_cast<off_t>(length), SYNC_FILE_RANGE_WRITE);
}

int openScratchFile(const std::string& workbookPath) {
  const Resolved where = resolve(workbookPath);
#ifdef O_TMPFILE
  const int anonymous = ::open(where.folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (anonymous >= 0) return anonymous;
#endif
  // A name of the kind a later run removes, unlinked at once: only a process killed in between
  // leaves it behind.
  std::string pattern = where.folder + "/." + where.base + kTempMarker + "XXXXXX";
  const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd >= 0) ::unlink(pattern.c_str());
  return fd;
}

int removeStaleTemporaryFiles(const std::string& workbookPath) {
  const Resolved where = resolve(workbookPath);
  Fd folder(::open(where.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0) return 0;
  DIR* dir = ::fdopendir(::dup(folder.get()));
  if (!dir) return 0;
  int removed = 0;
  while (struct dirent* entry = ::readdir(dir)) {
    if (!isTemporaryName(entry->d_name, where.base)) continue;
    struct stat st {};
    // Only plain files: a link of that name is not ours to follow or remove.
    if (::fstatat(folder.get(), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode))
      continue;
    if (::unlinkat(folder.get(), entry->d_name, 0) == 0) ++removed;
  }
  ::closedir(dir);
  return removed;
}

void installTemporaryFileCleanup() {
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old {};
    if (::sigaction(signal, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = removeTemporaryAndEnd;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND | SA_NODEFER;
    ::sigaction(signal, &action, nullptr);
  }
}

}  // namespace orv
