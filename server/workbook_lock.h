#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace orv {

// Who holds a workbook, as an office lock file records it: the entry LibreOffice writes beside
// a document it has open and honours when another program wrote it.
struct LockOwner {
  std::string officeUser;  // the name set in the office suite's options; often empty
  std::string systemUser;  // the login name
  std::string host;
  std::string since;    // local time the lock was taken, "dd.mm.yyyy hh:mm"
  std::string userUrl;  // the holder's settings folder as a file URL, or empty
};

// The lock file that guards `workbookPath`: ".~lock.NAME#" in the workbook's folder, named
// after the file a symbolic link leads to, as office suites name it.
std::string lockFilePath(const std::string& workbookPath);

// The entry in the office lock format: five fields, each with "\", "," and ";" escaped by a
// backslash, separated by "," and ended by ";", with nothing after it.
std::string formatLockEntry(const LockOwner& owner);

// Reads the first entry of a lock file; nothing when the text is not in the lock format.
std::optional<LockOwner> parseLockEntry(std::string_view text);

// This process as a lock entry. Its settings folder URL marks the locks this program writes.
LockOwner ownLockEntry();

// Whether `lock` was written by a run of this program as `self` on this computer.
bool writtenByThisProgram(const LockOwner& lock, const LockOwner& self);

// The owner file Windows spreadsheet applications write beside a workbook they have open
// ("~$NAME"): 165 bytes holding the user name (at most 52 characters) twice, first in 8 bits
// after a length byte and padded with spaces to byte 55, then after a 16-bit length in UTF-16
// padded with spaces. `userName` is UTF-8; characters outside Latin-1 show as '?' in the 8-bit
// copy, which readers use only when the other is missing.
std::string formatOwnerFile(std::string_view userName);

// The user name an owner file records, in UTF-8; nothing when the bytes are not one.
std::optional<std::string> parseOwnerFile(std::string_view bytes);

// Holds the office lock of one workbook for as long as it lives: other runs of this program
// and office suites see the workbook as open. Made with exclusive creation; removed when the
// holder ends, on every path. A lock left behind by a run of this program on this computer
// that has ended (killed, power cut) is taken over; any other lock is respected.
class WorkbookLock {
 public:
  // Throws ServerError in the user's words when another holder has the workbook, naming who
  // and since when. A folder where no lock can be made (read-only) is not refused here: the
  // save says why it cannot write there.
  explicit WorkbookLock(const std::string& workbookPath);
  ~WorkbookLock();
  WorkbookLock(const WorkbookLock&) = delete;
  WorkbookLock& operator=(const WorkbookLock&) = delete;

  bool held() const { return fd_ >= 0; }

 private:
  // The platform's part (workbook_lock_posix.cpp, workbook_lock_win.cpp).
  bool create(const LockOwner& self);
  bool takeOverAbandoned(const LockOwner& self);
  // Who holds the lock that kept this run out, when that can be read.
  std::optional<LockOwner> holder() const;

  std::string path_;
  int fd_ = -1;
  // On Windows, the owner file this run holds beside the lock file; -1 elsewhere.
  int ownerFd_ = -1;
};

}  // namespace orv
