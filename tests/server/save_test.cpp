// Saving replaces the file whole or not at all.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

#include "fixtures.h"
#include "server/application.h"
#include "server/durable_file.h"

namespace orv {
namespace {

class Save : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("Book.xlsx");
    test::writePlainWorkbook(path_);
    ::chmod(path_.c_str(), 0640);
    before_ = test::readFile(path_);
  }

  // Opens the workbook and copies "Data" after the last sheet, unsaved.
  Workbook& copied() {
    Workbook& book = app_->workbooks().open(path_);
    book.sheets().item("Data").copy(book.sheets().item(book.sheets().count()));
    return book;
  }

  void expectUntouched() {
    EXPECT_EQ(test::readFile(path_), before_);
    EXPECT_EQ(dir_.list(), std::vector<std::string>{"Book.xlsx"}) << "a temporary file was left";
  }

  test::TempDir dir_;
  std::string path_;
  std::string before_;
  std::unique_ptr<Application> app_ = createApplication();
};

TEST_F(Save, KeepsPermissionsAndLeavesNoTemporaryFile) {
  copied().save();
  struct stat st {};
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(dir_.list(), std::vector<std::string>{"Book.xlsx"});
  EXPECT_NE(test::readFile(path_), before_);
}

TEST_F(Save, ReadOnlyFolderLeavesTheOriginal) {
  // Permissions do not bind the superuser, so the save runs in a child process that is not one,
  // and owns the file.
  ::chmod(path_.c_str(), 0644);
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(path_.c_str(), 65534, 65534), 0);
  }
  ::chmod(dir_.path().c_str(), 0555);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(4);
    int code = 2;
    try {
      auto app = createApplication();
      Workbook& book = app->workbooks().open(path_);
      book.sheets().item("Data").copy(book.sheets().item(2));
      book.save();
    } catch (const ServerError& e) {
      code = std::string(e.what()) ==
                     "Cannot save 'Book.xlsx': the folder is read-only or you do not have "
                     "permission to write in it."
                 ? 0
                 : 3;
    }
    ::_exit(code);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ::chmod(dir_.path().c_str(), 0755);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "2: saved; 3: another message; 4: cannot drop privileges";
  expectUntouched();
}

TEST_F(Save, WriteFailureHalfwayLeavesTheOriginal) {
  // A file-size limit makes the write fail part way, as a full disk would, even for the
  // superuser.
  Workbook& book = copied();
  struct rlimit old {};
  ::getrlimit(RLIMIT_FSIZE, &old);
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = before_.size() / 2;
  ::setrlimit(RLIMIT_FSIZE, &small);
  bool threw = false;
  try {
    book.save();
  } catch (const ServerError& e) {
    threw = true;
    EXPECT_EQ(std::string(e.what()).rfind("Cannot save 'Book.xlsx': ", 0), 0u) << e.what();
  }
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_TRUE(threw);
  expectUntouched();
  // Nothing was lost in memory: the next save succeeds.
  book.save();
  auto again = createApplication();
  EXPECT_EQ(again->workbooks().open(path_).sheets().count(), 3);
}

TEST_F(Save, RefusesWhenTheFileChangedOnDisk) {
  Workbook& book = copied();
  test::writePlainWorkbook(path_, 1);  // someone else saved meanwhile
  before_ = test::readFile(path_);
  try {
    book.save();
    FAIL() << "saved";
  } catch (const ServerError& e) {
    EXPECT_NE(std::string(e.what()).find("changed by another program"), std::string::npos)
        << e.what();
  }
  expectUntouched();
}

TEST_F(Save, AfterASaveAChangeOnDiskIsNoticedWhenTheWorkbookIsUsedAgain) {
  Workbook& book = copied();
  book.save();
  test::writePlainWorkbook(path_, 1);
  before_ = test::readFile(path_);
  try {
    book.sheets().item("Data").copy(book.sheets().item(book.sheets().count()));
    book.save();
    FAIL() << "saved over another program's file";
  } catch (const ServerError& e) {
    EXPECT_NE(std::string(e.what()).find("changed by another program"), std::string::npos)
        << e.what();
  }
  expectUntouched();
}

TEST_F(Save, FileRemovedMeanwhileIsReported) {
  Workbook& book = copied();
  std::filesystem::remove(path_);
  EXPECT_THROW(book.save(), ServerError);
  EXPECT_TRUE(dir_.list().empty());
}

TEST_F(Save, ThroughASymbolicLinkTheLinkStays) {
  const std::string link = dir_.file("Link.xlsx");
  std::filesystem::create_symlink(path_, link);
  Workbook& book = app_->workbooks().open(link);
  book.sheets().item("Data").copy(book.sheets().item(2));
  book.save();
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_NE(test::readFile(path_), before_);
  EXPECT_EQ(createApplication()->workbooks().open(link).sheets().count(), 3);
}

TEST(DurableFile, FailingWriterLeavesTargetAndNoTemporary) {
  test::TempDir dir;
  const std::string target = dir.file("a.bin");
  test::writeFile(target, "original");
  EXPECT_THROW(replaceFileDurably(target,
                                  [](int fd) {
                                    ASSERT_EQ(::write(fd, "half", 4), 4);
                                    throw ServerError("Cannot save 'a.bin': the disk is full.");
                                  }),
               ServerError);
  EXPECT_EQ(test::readFile(target), "original");
  EXPECT_EQ(dir.list(), std::vector<std::string>{"a.bin"});
  replaceFileDurably(target, [](int fd) { ASSERT_EQ(::write(fd, "new", 3), 3); });
  EXPECT_EQ(test::readFile(target), "new");
}

// A file whose end is many small extents, as saving after every copy leaves it on a file system
// that clones: a copy of its range has the same bytes whether the system clones or copies the
// extents, here or in memory.
TEST(DurableFile, CopyingARangeEndingInManyExtentsKeepsItsBytes) {
  test::TempDir dir;
  const std::string from = dir.file("from.bin"), to = dir.file("to.bin");
  constexpr int kExtents = 100;
  {
    const int fd = ::open(from.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    std::string block(4096, '\0');
    for (int i = 0; i < kExtents; ++i) {  // data, then a hole, a hundred times
      std::fill(block.begin(), block.end(), static_cast<char>('a' + i % 26));
      ASSERT_EQ(::pwrite(fd, block.data(), block.size(), off_t{8192} * i), 4096);
    }
    ASSERT_EQ(::fsync(fd), 0);
    ::close(fd);
  }
  const std::string whole = test::readFile(from);
  const int in = ::open(from.c_str(), O_RDONLY);
  ASSERT_GE(in, 0);
  std::vector<std::uint64_t> room((sizeof(fiemap) + (kExtents + 1) * sizeof(fiemap_extent)) / 8);
  auto* map = reinterpret_cast<fiemap*>(room.data());
  map->fm_length = whole.size();
  map->fm_extent_count = kExtents + 1;
  if (::ioctl(in, FS_IOC_FIEMAP, map) != 0 || map->fm_mapped_extents < 64) {
    ::close(in);
    GTEST_SKIP() << "this file system does not map a file's extents";
  }
  for (std::uint64_t at : {std::uint64_t{0}, std::uint64_t{5000}}) {
    const int out = ::open(to.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0600);
    ASSERT_GE(out, 0);
    ASSERT_EQ(::pwrite(out, whole.data(), at, 0), static_cast<ssize_t>(at));
    ASSERT_EQ(::lseek(out, static_cast<off_t>(at), SEEK_SET), static_cast<off_t>(at));
    copyFileRange(in, at, out, whole.size() - at);
    ::close(out);
    EXPECT_EQ(test::readFile(to), whole) << "from " << at;
  }
  ::close(in);
}

}  // namespace
}  // namespace orv
