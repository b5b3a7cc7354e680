// The lock beside the workbook on Linux: ".~lock.NAME#" as LibreOffice writes it, held with
// flock(2) so that a lock whose run has ended is told from a live one.
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>

#include "server/durable_file.h"
#include "server/workbook_lock.h"

namespace orv {

namespace {

constexpr std::string_view kSettingsFolder = "/Orvandel";
constexpr std::size_t kMaxLockFileSize = 4096;

std::string percentEncoded(std::string_view path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char ch : path) {
    const auto c = static_cast<unsigned char>(ch);
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       std::string_view("-._~/").find(ch) != std::string_view::npos;
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

// The lock file's text, or nothing when it cannot be read (gone meanwhile, not ours to read).
std::optional<std::string> readLockFile(int fd) {
  std::string text(kMaxLockFileSize, '\0');
  ssize_t got = ::pread(fd, text.data(), text.size(), 0);
  if (got < 0) return std::nullopt;
  text.resize(static_cast<std::size_t>(got));
  return text;
}

bool sameFile(int fd, const std::string& path) {
  struct stat open {};
  struct stat named {};
  return ::fstat(fd, &open) == 0 && ::lstat(path.c_str(), &named) == 0 &&
         open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

}  // namespace

// This process as a lock entry. The settings folder URL marks the locks this program writes,
// so that a run can recognise a lock left by one of its own runs that has ended.
LockOwner ownLockEntry() {
  LockOwner self;
  if (const passwd* pw = ::getpwuid(::geteuid()); pw && pw->pw_name) {
    self.systemUser = pw->pw_name;
  } else if (const char* user = std::getenv("USER")) {
    self.systemUser = user;
  }
  char host[HOST_NAME_MAX + 1] = {};
  if (::gethostname(host, sizeof host - 1) == 0) self.host = host;
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  char when[32] = {};
  if (::localtime_r(&now, &local) && std::strftime(when, sizeof when, "%d.%m.%Y %H:%M", &local))
    self.since = when;
  std::string config;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') {
    config = xdg;
  } else if (const char* home = std::getenv("HOME"); home && *home == '/') {
    config = std::string(home) + "/.config";
  }
  if (!config.empty())
    self.userUrl = "file://" + percentEncoded(config) + std::string(kSettingsFolder);
  return self;
}

std::string lockFilePath(const std::string& workbookPath) {
  std::string target = workbookPath;
  if (char* real = ::realpath(workbookPath.c_str(), nullptr)) {
    target = real;
    std::free(real);
  }
  const auto slash = target.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  return folder + ".~lock." + displayName(target) + "#";
}

std::optional<LockOwner> WorkbookLock::holder() const {
  std::optional<LockOwner> owner;
  const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd >= 0) {
    if (std::optional<std::string> text = readLockFile(fd)) owner = parseLockEntry(*text);
    ::close(fd);
  }
  return owner;
}

// True when the lock file is now ours, or when the folder takes no lock file at all (then
// held() stays false); false when someone else's lock file is there.
bool WorkbookLock::create(const LockOwner& self) {
  const std::string entry = formatLockEntry(self);
  // Where the system allows it, the lock file is written and locked before it gets its name,
  // so that a run killed at any moment never leaves an empty lock file that nobody can read.
  const auto slash = path_.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path_.substr(0, slash + 1);
  if (const int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666); fd >= 0) {
    const std::string named = "/proc/self/fd/" + std::to_string(fd);
    if (::flock(fd, LOCK_EX) == 0 &&
        ::write(fd, entry.data(), entry.size()) == static_cast<ssize_t>(entry.size()) &&
        ::linkat(AT_FDCWD, named.c_str(), AT_FDCWD, path_.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      fd_ = fd;
      return true;
    }
    const int error = errno;
    ::close(fd);
    if (error == EEXIST) return false;
  }

  const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd < 0) return errno != EEXIST;
  // From its creation on, a signal that ends the run takes the file away with it.
  removeLockOnSignal(path_, fd);
  // Our runs tell a live lock from an abandoned one by this: the kernel drops it when the
  // process ends, however it ends. A run looking at this file holds it for a moment only.
  (void)::flock(fd, LOCK_EX);
  if (::write(fd, entry.data(), entry.size()) != static_cast<ssize_t>(entry.size())) {
    // A lock file nobody can read would block every later run: take it back.
    forgetLockOnSignal();
    ::unlink(path_.c_str());
    ::close(fd);
    return true;
  }
  // The name must still lead to the file written: someone may have removed it meanwhile.
  if (!sameFile(fd, path_)) {
    forgetLockOnSignal();
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

// A lock that one of our runs on this computer wrote and no process holds any more is removed,
// so that a killed run does not keep the workbook locked. Returns true when it was removed.
bool WorkbookLock::takeOverAbandoned(const LockOwner& self) {
  const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT;  // released meanwhile: try to create it again
  bool removed = false;
  const std::optional<std::string> text = readLockFile(fd);
  const std::optional<LockOwner> owner = text ? parseLockEntry(*text) : std::nullopt;
  // Holding the lock ourselves keeps a second run that found the same abandoned file from
  // removing the new one we are about to create; the name must still lead to the file we hold.
  if (owner && writtenByThisProgram(*owner, self) && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
      sameFile(fd, path_)) {
    removed = ::unlink(path_.c_str()) == 0;
  }
  ::close(fd);
  return removed;
}

WorkbookLock::~WorkbookLock() {
  if (fd_ < 0) return;
  forgetLockOnSignal();
  // Only our own file: if someone removed it and another program locked the workbook since,
  // that lock is theirs.
  if (sameFile(fd_, path_)) ::unlink(path_.c_str());
  ::close(fd_);
}

}  // namespace orv
