// Saving under faults, hostile neighbours and signals: orvandel-cli runs with a preloaded
// library that fails one file operation at a time (fault_shim.c), as another user, on a full
// disk. Whatever happens, the workbook is either the original byte for byte or the finished
// copy, and no temporary file is left beside it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>

#include "server/application.h"
#include "server/durable_file.h"
#include "tests/support/fixtures.h"

namespace orv {
namespace {

namespace fs = std::filesystem;
constexpr uid_t kNobody = 65534;

// The program under test; ORV_TEST_CLI names another build of it for comparisons.
std::string cli() {
  const char* other = std::getenv("ORV_TEST_CLI");
  return other && *other ? other : ORV_CLI;
}

struct Outcome {
  int status = -1;  // as waitpid gives it
  std::string err;
  bool saved() const { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }
};

// Runs `args` with `env` added; what it writes to standard error is kept.
Outcome run(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return {};
  const pid_t child = ::fork();
  if (child == 0) {
    for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(pipeFds[1], 2);
    ::close(pipeFds[0]);
    ::alarm(120);  // bounded whatever happens
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  Outcome out;
  char buffer[4096];
  for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;)
    out.err.append(buffer, static_cast<size_t>(n));
  ::close(pipeFds[0]);
  ::waitpid(child, &out.status, 0);
  return out;
}

std::vector<std::string> copyArgs(const std::string& book, int count, const char* save) {
  return {cli(), "copy", book, "--sheet", "Data", "--count", std::to_string(count), "--save", save};
}

int sheetCount(const std::string& path) {
  try {
    return createApplication()->workbooks().open(path).sheets().count();
  } catch (const std::exception&) {
    return -1;
  }
}

struct stat statOf(const std::string& path) {
  struct stat st {};
  ::lstat(path.c_str(), &st);
  return st;
}

class SaveUnderFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::canonical(dir_.path()).string();
    book_ = folder_ + "/Book.xlsx";
    test::writePlainWorkbook(book_);
    original_ = test::readFile(book_);
  }
  // Everything in the folder besides the workbook.
  std::vector<std::string> leftovers() const {
    std::vector<std::string> names = dir_.list();
    std::erase(names, "Book.xlsx");
    std::sort(names.begin(), names.end());
    return names;
  }
  // The preloaded library, failing `op` the k-th time with `error` (or signal `signal`).
  std::vector<std::string> fault(const std::string& op, int k, int error, bool anonymous,
                                 int signal = 0) const {
    std::vector<std::string> env = {"LD_PRELOAD=" ORV_FAULT_SHIM,
                                    "ORV_FAULT_DIR=" + folder_,
                                    "ORV_FAULT_OP=" + op,
                                    "ORV_FAULT_AT=" + std::to_string(k),
                                    "ORV_FAULT_ERRNO=" + std::to_string(error),
                                    "ORV_FAULT_REPORT=" + report()};
    if (!anonymous) env.push_back("ORV_FAULT_NO_TMPFILE=1");
    if (signal) env.push_back("ORV_FAULT_SIGNAL=" + std::to_string(signal));
    return env;
  }
  std::string report() const { return aside_.file("fired"); }
  bool fired() const { return fs::exists(report()); }
  // Runs `args` failing `op` with `error` at its first, second, ... call until the fault no
  // longer fires: each run leaves the original, or the workbook with `sheets` sheets, and never a
  // temporary file.
  void faultEveryStep(const char* op, int error, bool anonymous,
                      const std::vector<std::string>& args, int sheets) {
    // Another user's workbook, so that the save sets the owner too.
    const bool root = ::geteuid() == 0;
    int refused = 0, k = 1;
    for (;; ++k) {
      ASSERT_LT(k, 1000) << "the fault never stopped firing";
      test::writeFile(book_, original_);
      if (root) {
        ASSERT_EQ(::chown(book_.c_str(), kNobody, kNobody), 0);
      }
      fs::remove(report());
      const Outcome o = run(args, fault(op, k, error, anonymous));
      EXPECT_EQ(leftovers(), std::vector<std::string>{}) << op << " #" << k;
      if (o.saved()) {
        EXPECT_EQ(sheetCount(book_), sheets) << op << " #" << k;
      } else {
        ++refused;
        EXPECT_TRUE(WIFEXITED(o.status)) << o.status;
        EXPECT_EQ(test::readFile(book_), original_) << op << " #" << k;
        EXPECT_NE(o.err.find("Cannot save 'Book.xlsx': "), std::string::npos) << o.err;
        if (error == ENOSPC) {
          EXPECT_NE(o.err.find("the disk is full"), std::string::npos) << op << " #" << k << o.err;
        }
      }
      if (!fired()) {
        EXPECT_TRUE(o.saved()) << o.err;
        break;
      }
    }
    std::printf("%s: %d faults, %d saves refused\n", op, k - 1, refused);
  }

  test::TempDir dir_;
  test::TempDir aside_;  // outside the workbook's folder
  std::string folder_;
  std::string book_;
  std::string original_;
};

// The copy goes through the raw writer, or through libzip for an archive with ZIP64 records.
void rewriteAsZip64(const std::string& path) {
  const std::string script =
      "import sys, zipfile\nzipfile.ZIP64_LIMIT = 0\nsrc = zipfile.ZipFile(sys.argv[1])\n"
      "data = [(i.filename, src.read(i)) for i in src.infolist()]\n"
      "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:\n"
      "  for name, bytes in data: z.writestr(name, bytes)\n";
  ASSERT_TRUE(run({"/usr/bin/python3", "-c", script, path}).saved());
}

using FaultCase = std::tuple<const char*, int, bool, bool>;  // op, errno, anonymous, zip64

class FaultAtEveryStep : public SaveUnderFaults, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultAtEveryStep, LeavesTheOriginalOrTheCopyAndNoTemporaryFile) {
  const auto [op, error, anonymous, zip64] = GetParam();
  if (zip64) {
    rewriteAsZip64(book_);
    original_ = test::readFile(book_);
  }
  faultEveryStep(op, error, anonymous, copyArgs(book_, 1, "once"), 3);
}

INSTANTIATE_TEST_SUITE_P(Steps, FaultAtEveryStep,
                         ::testing::Combine(::testing::Values("write", "fsync", "close", "rename",
                                                              "linkat", "fchown", "fchmod",
                                                              "ftruncate"),
                                            ::testing::Values(EIO, ENOSPC), ::testing::Bool(),
                                            ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param)) +
                                  (std::get<1>(info.param) == EIO ? "_EIO" : "_ENOSPC") +
                                  (std::get<2>(info.param) ? "_anonymous" : "_named") +
                                  (std::get<3>(info.param) ? "_libzip" : "_raw");
                         });

using SpoolCase = std::tuple<int, bool>;  // errno, anonymous

// Copies named by a pattern wait, compressed, in a scratch file beside the workbook until the
// save; a failure to write there or to the workbook loses nothing and leaves nothing behind.
class FaultWhileCopiesWait : public SaveUnderFaults,
                             public ::testing::WithParamInterface<SpoolCase> {};

TEST_P(FaultWhileCopiesWait, LeavesTheOriginalOrTheCopiesAndNoFile) {
  const auto [error, anonymous] = GetParam();
  std::vector<std::string> args = copyArgs(book_, 3, "once");
  args.insert(args.end(), {"--pattern", "Copy [x]"});
  faultEveryStep("write", error, anonymous, args, 5);
}

INSTANTIATE_TEST_SUITE_P(Spool, FaultWhileCopiesWait,
                         ::testing::Combine(::testing::Values(EIO, ENOSPC), ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) == EIO ? "EIO" : "ENOSPC") +
                                  (std::get<1>(info.param) ? "_anonymous" : "_named");
                         });

using SignalCase = std::tuple<int, bool>;  // signal, anonymous

class SignalDuringSave : public SaveUnderFaults,
                         public ::testing::WithParamInterface<SignalCase> {};

// SIGKILL too: an anonymous temporary file leaves nothing even then.
TEST_P(SignalDuringSave, EndsTheRunAndLeavesNoTemporaryFile) {
  const auto [signal, anonymous] = GetParam();
  test::writePlainWorkbook(book_, 40);
  int sheets = sheetCount(book_);
  for (int k : {1, 2, 5, 9, 14}) {
    fs::remove(report());
    const Outcome o = run(copyArgs(book_, 3, "each"), fault("write", k, 0, anonymous, signal));
    if (fired()) {
      EXPECT_TRUE(WIFSIGNALED(o.status) && WTERMSIG(o.status) == signal) << k << ": " << o.status;
    }
    if (signal == SIGKILL && fired()) {
      // Nothing removes what a SIGKILL interrupts: the lock file and a named temporary file.
      // The next run takes the abandoned lock over and removes the temporary file.
      for (const std::string& name : leftovers())
        EXPECT_TRUE(name == ".~lock.Book.xlsx#" || name.starts_with(".Book.xlsx.orv-")) << name;
      // Killed before it wrote its lock file, a run without anonymous files leaves it empty;
      // nobody can tell whose it is, so the next run names it for the user to remove.
      const std::string lock = dir_.file(".~lock.Book.xlsx#");
      if (fs::exists(lock) && fs::file_size(lock) == 0) {
        EXPECT_EQ(run(copyArgs(book_, 0, "each"), {}).status, 1 << 8) << k;
        fs::remove(lock);
      }
      EXPECT_EQ(run(copyArgs(book_, 0, "each"), {}).status, 0) << k;
    }
    EXPECT_EQ(leftovers(), std::vector<std::string>{}) << "signal " << signal << " at write " << k;
    const int now = sheetCount(book_);
    EXPECT_GE(now, sheets) << k;
    EXPECT_LE(now, sheets + 3) << k;
    sheets = now;
  }
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalDuringSave,
                         ::testing::Combine(::testing::Values(SIGINT, SIGTERM, SIGHUP, SIGKILL),
                                            ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(strsignal(std::get<0>(info.param))) +
                                  (std::get<1>(info.param) ? "_anonymous" : "_named");
                         });

// Who owns what, and who saves: the permissions of the file decide, as in office applications.
struct Access {
  const char* label;
  mode_t fileMode;
  uid_t fileOwner;
  gid_t fileGroup;
  mode_t folderMode;
  uid_t folderOwner;
  bool asNobody;
  const char* refusal;  // nullptr: saved
};

class Permissions : public SaveUnderFaults, public ::testing::WithParamInterface<Access> {};

TEST_P(Permissions, DecideWhetherTheFileIsReplaced) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files to another user";
  const Access& a = GetParam();
  ASSERT_EQ(::chown(book_.c_str(), a.fileOwner, a.fileGroup), 0);
  ASSERT_EQ(::chmod(book_.c_str(), a.fileMode), 0);
  ASSERT_EQ(::chown(folder_.c_str(), a.folderOwner, a.folderOwner), 0);
  ASSERT_EQ(::chmod(folder_.c_str(), a.folderMode), 0);
  std::vector<std::string> args = copyArgs(book_, 1, "once");
  if (a.asNobody) {
    args.insert(args.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  }
  const Outcome o = run(args);
  ::chmod(folder_.c_str(), 0700);
  const struct stat st = statOf(book_);
  EXPECT_EQ(st.st_uid, a.fileOwner);
  EXPECT_EQ(st.st_gid, a.fileGroup);
  EXPECT_EQ(st.st_mode & 07777, a.fileMode);
  EXPECT_EQ(leftovers(), std::vector<std::string>{});
  if (a.refusal) {
    EXPECT_FALSE(o.saved());
    EXPECT_NE(o.err.find(std::string("Cannot save 'Book.xlsx': ") + a.refusal), std::string::npos)
        << o.err;
    EXPECT_EQ(test::readFile(book_), original_);
  } else {
    EXPECT_TRUE(o.saved()) << o.err;
    EXPECT_EQ(sheetCount(book_), 3);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Permissions,
    ::testing::Values(Access{"read_only_file_as_root", 0444, 0, 0, 0755, 0, false,
                             "the file is read-only."},
                      Access{"read_only_file", 0444, kNobody, kNobody, 0755, kNobody, true,
                             "the file is read-only."},
                      Access{"read_only_folder", 0644, kNobody, kNobody, 0555, 0, true,
                             "the folder is read-only or you do not have permission"},
                      Access{"another_users_file", 0644, 0, 0, 0755, kNobody, true,
                             "you do not have permission to change this file."},
                      Access{"another_users_writable_file", 0666, 0, 0, 0755, kNobody, true,
                             "the file belongs to another user"},
                      Access{"another_groups_file", 0664, kNobody, 0, 0755, kNobody, true,
                             "the file belongs to a group you are not in"},
                      Access{"own_file", 0640, kNobody, kNobody, 0755, kNobody, true, nullptr},
                      Access{"another_users_file_as_root", 06755, kNobody, kNobody, 0755, kNobody,
                             false, nullptr}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(SaveUnderFaults, AccessListsAndExtendedAttributesAreKept) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the file to another group";
  ASSERT_EQ(::chown(book_.c_str(), 0, kNobody), 0);
  ASSERT_EQ(::chmod(book_.c_str(), 02750), 0);
  if (!run({"setfacl", "-m", "u:65534:r,g:65534:r,m:r", book_}).saved())
    GTEST_SKIP() << "setfacl (Debian package acl) is missing or the file system has no ACLs";
  ASSERT_EQ(::setxattr(book_.c_str(), "user.orvandel.note", "kept", 4, 0), 0);
  const auto listAcl = [&] { return run({"sh", "-c", "getfacl -n \"$0\" >&2", book_}).err; };
  const std::string acl = listAcl();
  const struct stat before = statOf(book_);

  const Outcome o = run(copyArgs(book_, 1, "each"));
  ASSERT_TRUE(o.saved()) << o.err;
  const struct stat after = statOf(book_);
  EXPECT_NE(after.st_ino, before.st_ino) << "the file was not replaced";
  EXPECT_EQ(after.st_mode, before.st_mode);
  EXPECT_EQ(after.st_gid, before.st_gid);
  EXPECT_EQ(listAcl(), acl);
  char value[16] = {};
  EXPECT_EQ(::getxattr(book_.c_str(), "user.orvandel.note", value, sizeof value), 4);
  EXPECT_STREQ(value, "kept");
}

TEST_F(SaveUnderFaults, SwappingTheTemporaryFileForALinkHarmsNoOtherFile) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the workbook to another user";
  const std::string victim = aside_.file("secret");
  test::writeFile(victim, "secret");
  ::chmod(victim.c_str(), 0600);
  ASSERT_EQ(::chown(book_.c_str(), kNobody, kNobody), 0);
  std::vector<std::string> env = fault("none", 1, 0, false);
  env.push_back("ORV_FAULT_SWAP_TO=" + victim);
  const Outcome o = run(copyArgs(book_, 1, "once"), env);
  const struct stat st = statOf(victim);
  EXPECT_EQ(test::readFile(victim), "secret");
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_FALSE(o.saved());
  EXPECT_NE(o.err.find("another program replaced the file"), std::string::npos) << o.err;
  EXPECT_EQ(test::readFile(book_), original_);
  EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

TEST_F(SaveUnderFaults, AFullDiskLeavesTheOriginal) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a small tmpfs";
  const std::string mount = aside_.file("disk");
  fs::create_directory(mount);
  if (::mount("tmpfs", mount.c_str(), "tmpfs", 0, "size=512k") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  struct Unmount {
    std::string at;
    ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
  } unmount{mount};
  const std::string book = mount + "/Book.xlsx";
  test::writeFile(book, original_);
  // Fill the disk to the last block.
  {
    const int fd = ::open((mount + "/filler").c_str(), O_WRONLY | O_CREAT, 0600);
    const std::string block(4096, 'x');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    ::close(fd);
  }
  const Outcome full = run(copyArgs(book, 1, "once"));
  EXPECT_FALSE(full.saved());
  EXPECT_NE(full.err.find("the disk is full."), std::string::npos) << full.err;
  EXPECT_EQ(test::readFile(book), original_);
  EXPECT_EQ(std::distance(fs::directory_iterator(mount), fs::directory_iterator()), 2)
      << "a temporary file was left";
  fs::remove(mount + "/filler");
  const Outcome room = run(copyArgs(book, 1, "once"));
  EXPECT_TRUE(room.saved()) << room.err;
  EXPECT_EQ(sheetCount(book), 3);
}

TEST_F(SaveUnderFaults, StaleTemporaryFilesOfTheWorkbookAreRemoved) {
  for (const char* name : {".Book.xlsx.orv-Ab12Cd", ".Book.xlsx.orv-zzzzzz"})
    test::writeFile(dir_.file(name), "partial");
  // Not ours: another workbook's, another pattern, a link.
  for (const char* name : {".Other.xlsx.orv-Ab12Cd", ".Book.xlsx.orv-Ab12Cd7", "Book.xlsx.orv-x"})
    test::writeFile(dir_.file(name), "keep");
  fs::create_symlink(aside_.file("target"), dir_.file(".Book.xlsx.orv-link00"));
  EXPECT_EQ(removeStaleTemporaryFiles(book_), 2);
  EXPECT_EQ(leftovers(),
            (std::vector<std::string>{".Book.xlsx.orv-Ab12Cd7", ".Book.xlsx.orv-link00",
                                      ".Other.xlsx.orv-Ab12Cd", "Book.xlsx.orv-x"}));
}

}  // namespace
}  // namespace orv
