#pragma once

#include <mutex>
#include <optional>
#include <utility>

#include "server/durable_file.h"

namespace orv {

// What the last instance of this process held of a workbook it read or saved, for the next
// instance that opens the same file unchanged: saving after every copy opens the file the previous
// instance just wrote (and the first copy the file the sheet list was read from), and reading and
// parsing it again would cost more than the copy. One workbook, held
// for one file identity (device, inode, size, times) and taken out whole; the next open, of any
// file, empties the slot. An engine keeps here only what a fresh read of the file would give it,
// and only what mayKeepWorkbook() allows.
template <typename Held>
class KeptWorkbook {
 public:
  void keep(const FileIdentity& file, Held held) {
    std::lock_guard lock(mutex_);
    if (enabled_) slot_.emplace(file, std::move(held));
  }

  // What was kept of the file at exactly this identity.
  std::optional<Held> take(const FileIdentity& file) {
    std::lock_guard lock(mutex_);
    std::optional<std::pair<FileIdentity, Held>> taken = std::move(slot_);
    slot_.reset();
    if (!taken || !(taken->first == file)) return std::nullopt;
    return std::move(taken->second);
  }

  // Off, nothing is kept (tests compare the two).
  void setEnabled(bool on) {
    std::lock_guard lock(mutex_);
    enabled_ = on;
    slot_.reset();
  }

 private:
  std::mutex mutex_;
  std::optional<std::pair<FileIdentity, Held>> slot_;
  bool enabled_ = true;
};

}  // namespace orv
