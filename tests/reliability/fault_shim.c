// Loaded with LD_PRELOAD into a program under test, this makes one file operation fail (or
// delivers a signal in its place), so a test can walk a save through a failure at every step.
//
// Only operations on files in ORV_FAULT_DIR that are open for writing, and renames and links
// of names in it, are counted and can fail:
//   ORV_FAULT_OP      write (also pwrite, copy_file_range), fsync (also fdatasync), close,
//                     rename, linkat, fchown, fchmod, ftruncate
//   ORV_FAULT_AT      the k-th such operation (from 1) fails
//   ORV_FAULT_ERRNO   with this error number
//   ORV_FAULT_SIGNAL  or instead the process sends itself this signal, and the call goes on
//   ORV_FAULT_REPORT  a file that gets a line "fired" when it happens
//   ORV_FAULT_NO_TMPFILE=1  opening an anonymous file (O_TMPFILE) is not supported
//   ORV_FAULT_SWAP_TO  at the first write to a named temporary file, its name is replaced by a
//                     symbolic link to this path, as an attacker with write access to the
//                     folder would do
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int counter;
static int swapped;

static const char* env(const char* name) {
  const char* value = getenv(name);
  return value && *value ? value : NULL;
}

static void* real(const char* name) { return dlsym(RTLD_NEXT, name); }

static int inFolder(const char* path) {
  const char* dir = env("ORV_FAULT_DIR");
  if (!dir || !path) return 0;
  size_t n = strlen(dir);
  return strncmp(path, dir, n) == 0 && path[n] == '/';
}

static int pathOfFd(int fd, char* out, size_t size) {
  char self[64];
  snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(self, out, size - 1);
  if (n < 0) return 0;
  out[n] = 0;
  return 1;
}

static int writableInFolder(int fd) {
  char path[4096];
  if (fd < 0 || !pathOfFd(fd, path, sizeof path) || !inFolder(path)) return 0;
  int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && (flags & O_ACCMODE) != O_RDONLY;
}

static void report(void) {
  const char* file = env("ORV_FAULT_REPORT");
  if (!file) return;
  int (*open_)(const char*, int, ...) = real("open");
  ssize_t (*write_)(int, const void*, size_t) = real("write");
  int (*close_)(int) = real("close");
  int fd = open_(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  (void)!write_(fd, "fired\n", 6);
  close_(fd);
}

// Whether this operation of kind `op` is the one to fail (errno set), after delivering a signal
// instead when one is asked for.
static int strike(const char* op) {
  const char* wanted = env("ORV_FAULT_OP");
  const char* at = env("ORV_FAULT_AT");
  if (!wanted || !at || strcmp(wanted, op) != 0) return 0;
  if (__atomic_add_fetch(&counter, 1, __ATOMIC_SEQ_CST) != atoi(at)) return 0;
  report();
  const char* sig = env("ORV_FAULT_SIGNAL");
  if (sig) {
    raise(atoi(sig));
    return 0;
  }
  const char* number = env("ORV_FAULT_ERRNO");
  errno = number ? atoi(number) : EIO;
  return 1;
}

static void swapNamedTemporary(int fd) {
  const char* victim = env("ORV_FAULT_SWAP_TO");
  char path[4096];
  if (!victim || swapped || !pathOfFd(fd, path, sizeof path) || !inFolder(path) ||
      !strstr(path, ".orv-") || strstr(path, " (deleted)"))
    return;
  swapped = 1;
  unlink(path);
  (void)!symlink(victim, path);
}

ssize_t write(int fd, const void* data, size_t length) {
  static ssize_t (*next)(int, const void*, size_t);
  if (!next) next = real("write");
  if (fd > 2 && writableInFolder(fd)) {
    swapNamedTemporary(fd);
    if (strike("write")) return -1;
  }
  return next(fd, data, length);
}

ssize_t pwrite(int fd, const void* data, size_t length, off_t at) {
  static ssize_t (*next)(int, const void*, size_t, off_t);
  if (!next) next = real("pwrite");
  if (writableInFolder(fd) && strike("write")) return -1;
  return next(fd, data, length, at);
}
ssize_t pwrite64(int fd, const void* data, size_t length, off_t at) {
  return pwrite(fd, data, length, at);
}

ssize_t copy_file_range(int in, off_t* inAt, int out, off_t* outAt, size_t length, unsigned flags) {
  static ssize_t (*next)(int, off_t*, int, off_t*, size_t, unsigned);
  if (!next) next = real("copy_file_range");
  if (writableInFolder(out)) {
    swapNamedTemporary(out);
    if (strike("write")) return -1;
  }
  return next(in, inAt, out, outAt, length, flags);
}

int fsync(int fd) {
  static int (*next)(int);
  if (!next) next = real("fsync");
  if (writableInFolder(fd) && strike("fsync")) return -1;
  return next(fd);
}

int fdatasync(int fd) {
  static int (*next)(int);
  if (!next) next = real("fdatasync");
  if (writableInFolder(fd) && strike("fsync")) return -1;
  return next(fd);
}

int close(int fd) {
  static int (*next)(int);
  if (!next) next = real("close");
  if (writableInFolder(fd) && strike("close")) {
    // The descriptor is released all the same, as the kernel does.
    int error = errno;
    next(fd);
    errno = error;
    return -1;
  }
  return next(fd);
}

int fchown(int fd, uid_t uid, gid_t gid) {
  static int (*next)(int, uid_t, gid_t);
  if (!next) next = real("fchown");
  if (writableInFolder(fd) && strike("fchown")) return -1;
  return next(fd, uid, gid);
}

int fchmod(int fd, mode_t mode) {
  static int (*next)(int, mode_t);
  if (!next) next = real("fchmod");
  if (writableInFolder(fd) && strike("fchmod")) return -1;
  return next(fd, mode);
}

int ftruncate(int fd, off_t length) {
  static int (*next)(int, off_t);
  if (!next) next = real("ftruncate");
  if (writableInFolder(fd) && strike("ftruncate")) return -1;
  return next(fd, length);
}
int ftruncate64(int fd, off_t length) { return ftruncate(fd, length); }

int rename(const char* from, const char* to) {
  static int (*next)(const char*, const char*);
  if (!next) next = real("rename");
  if ((inFolder(from) || inFolder(to)) && strike("rename")) return -1;
  return next(from, to);
}

int renameat(int fromDir, const char* from, int toDir, const char* to) {
  static int (*next)(int, const char*, int, const char*);
  if (!next) next = real("renameat");
  if ((inFolder(from) || inFolder(to)) && strike("rename")) return -1;
  return next(fromDir, from, toDir, to);
}

int linkat(int fromDir, const char* from, int toDir, const char* to, int flags) {
  static int (*next)(int, const char*, int, const char*, int);
  if (!next) next = real("linkat");
  if (inFolder(to) && strike("linkat")) return -1;
  return next(fromDir, from, toDir, to, flags);
}

// Opening: only to take anonymous files away.
static int refuseTmpfile(int flags) {
  if ((flags & O_TMPFILE) == O_TMPFILE && env("ORV_FAULT_NO_TMPFILE")) {
    errno = EOPNOTSUPP;
    return 1;
  }
  return 0;
}

#define OPEN_WRAPPER(name)                     \
  int name(const char* path, int flags, ...) { \
    static int (*next)(const char*, int, ...); \
    if (!next) next = real(#name);             \
    mode_t mode = 0;                           \
    if (flags & (O_CREAT | __O_TMPFILE)) {     \
      va_list args;                            \
      va_start(args, flags);                   \
      mode = va_arg(args, mode_t);             \
      va_end(args);                            \
    }                                          \
    if (refuseTmpfile(flags)) return -1;       \
    return next(path, flags, mode);            \
  }
OPEN_WRAPPER(open)
OPEN_WRAPPER(open64)

#define OPENAT_WRAPPER(name)                            \
  int name(int dir, const char* path, int flags, ...) { \
    static int (*next)(int, const char*, int, ...);     \
    if (!next) next = real(#name);                      \
    mode_t mode = 0;                                    \
    if (flags & (O_CREAT | __O_TMPFILE)) {              \
      va_list args;                                     \
      va_start(args, flags);                            \
      mode = va_arg(args, mode_t);                      \
      va_end(args);                                     \
    }                                                   \
    if (refuseTmpfile(flags)) return -1;                \
    return next(dir, path, flags, mode);                \
  }
OPENAT_WRAPPER(openat)
OPENAT_WRAPPER(openat64)
