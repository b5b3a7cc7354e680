// Saving on Windows replaces the file whole or not at all, keeps its attributes, and respects
// what the system and other programs say about it.
#include <windows.h>
// _write
#include <io.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "fixtures.h"
#include "server/application.h"
#include "server/durable_file.h"
#include "server/server_error.h"
#include "server/workbook_lock.h"

namespace orv {
namespace {

// The folder's names in order (the system lists them in its own).
std::vector<std::string> sorted(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  return names;
}

std::wstring wide(const std::string& path) {
  return std::wstring(path.begin(), path.end());  // the test folders are ASCII
}

// A lock file's bytes, read as other programs may while it is held: sharing its deletion.
std::string readHeld(const std::string& path) {
  HANDLE h = CreateFileW(wide(path).c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return {};
  std::string bytes(4096, '\0');
  DWORD got = 0;
  ReadFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr);
  CloseHandle(h);
  bytes.resize(got);
  return bytes;
}

class Save : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("Book.xlsx");
    test::writePlainWorkbook(path_);
    before_ = test::readFile(path_);
  }
  void TearDown() override { SetFileAttributesW(wide(path_).c_str(), FILE_ATTRIBUTE_NORMAL); }

  Workbook& copied() {
    Workbook& book = app_->workbooks().open(path_);
    book.sheets().item("Data").copy(book.sheets().item(book.sheets().count()));
    return book;
  }

  // Saves and expects a refusal whose message holds `why`, with the file as it was.
  void expectRefused(const std::string& why) {
    Workbook& book = copied();
    try {
      book.save();
      FAIL() << "saved";
    } catch (const ServerError& e) {
      EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << e.what();
    }
    EXPECT_EQ(test::readFile(path_), before_);
    EXPECT_EQ(dir_.list(), std::vector<std::string>{"Book.xlsx"}) << "a temporary file was left";
  }

  test::TempDir dir_;
  std::string path_;
  std::string before_;
  std::unique_ptr<Application> app_ = createApplication();
};

TEST_F(Save, KeepsTheAttributesAndLeavesNoTemporaryFile) {
  ASSERT_TRUE(SetFileAttributesW(wide(path_).c_str(), FILE_ATTRIBUTE_ARCHIVE));
  copied().save();
  const DWORD attributes = GetFileAttributesW(wide(path_).c_str());
  EXPECT_NE(attributes & FILE_ATTRIBUTE_ARCHIVE, 0u);
  EXPECT_EQ(attributes & FILE_ATTRIBUTE_HIDDEN, 0u) << "the temporary file's mark stayed";
  EXPECT_EQ(dir_.list(), std::vector<std::string>{"Book.xlsx"});
  EXPECT_NE(test::readFile(path_), before_);
  EXPECT_EQ(createApplication()->workbooks().open(path_).sheets().count(), 3);
}

TEST_F(Save, ReadOnlyFileIsRefused) {
  ASSERT_TRUE(SetFileAttributesW(wide(path_).c_str(), FILE_ATTRIBUTE_READONLY));
  expectRefused("the file is read-only");
}

TEST_F(Save, FileAnotherProgramKeepsFromWritersIsRefused) {
  // A spreadsheet application holds an open workbook like this.
  HANDLE held = CreateFileW(wide(path_).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  expectRefused("open in another program");
  CloseHandle(held);
}

TEST(DurableFile, FailingWriterLeavesTargetAndNoTemporary) {
  test::TempDir dir;
  const std::string target = dir.file("a.bin");
  test::writeFile(target, "original");
  EXPECT_THROW(replaceFileDurably(target,
                                  [](int fd) {
                                    ASSERT_EQ(_write(fd, "half", 4), 4);
                                    throw ServerError("Cannot save 'a.bin': the disk is full.");
                                  }),
               ServerError);
  EXPECT_EQ(test::readFile(target), "original");
  EXPECT_EQ(dir.list(), std::vector<std::string>{"a.bin"});
  replaceFileDurably(target, [](int fd) { ASSERT_EQ(_write(fd, "new", 3), 3); });
  EXPECT_EQ(test::readFile(target), "new");
}

TEST(DurableFile, TemporaryFilesOfAKilledSaveAreRemovedAndNothingElse) {
  test::TempDir dir;
  const std::string target = dir.file("Book.xlsx");
  for (const char* name : {"Book.xlsx", ".Book.xlsx.orv-Ab3dE9", ".Book.xlsx.orv-short",
                           ".Other.xlsx.orv-Ab3dE9"})
    test::writeFile(dir.file(name), "x");
  EXPECT_EQ(removeStaleTemporaryFiles(target), 1);
  EXPECT_EQ(sorted(dir.list()), (std::vector<std::string>{".Book.xlsx.orv-short",
                                                 ".Other.xlsx.orv-Ab3dE9", "Book.xlsx"}));
}

class Lock : public ::testing::Test {
 protected:
  void SetUp() override { test::writePlainWorkbook(book_); }
  test::TempDir dir_;
  std::string book_ = dir_.file("Book.xlsx");
  std::string owner_ = dir_.file("~$Book.xlsx");
};

TEST_F(Lock, WritesBothLockFilesAndTheSystemRemovesThem) {
  {
    WorkbookLock lock(book_);
    ASSERT_TRUE(lock.held());
    EXPECT_EQ(sorted(dir_.list()), (std::vector<std::string>{".~lock.Book.xlsx#", "Book.xlsx", "~$Book.xlsx"}));
    const std::optional<std::string> name = parseOwnerFile(readHeld(owner_));
    ASSERT_TRUE(name);
    EXPECT_EQ(*name, ownLockEntry().systemUser);
  }
  EXPECT_EQ(dir_.list(), std::vector<std::string>{"Book.xlsx"});
}

TEST_F(Lock, OwnerFileHeldByASpreadsheetApplicationKeepsTheRunOut) {
  test::writeFile(owner_, formatOwnerFile("Anna Berg"));
  HANDLE held = CreateFileW(wide(owner_).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  try {
    WorkbookLock lock(book_);
    FAIL() << "locked a workbook held by another program";
  } catch (const ServerError& e) {
    EXPECT_NE(std::string(e.what()).find("locked by Anna Berg"), std::string::npos) << e.what();
  }
  CloseHandle(held);
  EXPECT_EQ(sorted(dir_.list()), (std::vector<std::string>{"Book.xlsx", "~$Book.xlsx"}));
}

TEST_F(Lock, OwnerFileLeftByACrashIsTakenOver) {
  test::writeFile(owner_, formatOwnerFile("Anna Berg"));
  WorkbookLock lock(book_);
  EXPECT_TRUE(lock.held());
  EXPECT_EQ(parseOwnerFile(readHeld(owner_)), ownLockEntry().systemUser);
}

}  // namespace
}  // namespace orv
