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
  bool create(const LockOwner& self);
  bool takeOverAbandoned(const LockOwner& self);

  std::string path_;
  int fd_ = -1;
};

}  // namespace orv
