#include "server/ooxml/part_cache.h"

namespace orv::ooxml {

namespace {
char lowered(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
}  // namespace

size_t NoCaseHash::operator()(std::string_view s) const noexcept {
  size_t hash = 14695981039346656037ull;  // FNV-1a
  for (char c : s) hash = (hash ^ static_cast<unsigned char>(lowered(c))) * 1099511628211ull;
  return hash;
}

bool NoCaseEqual::operator()(std::string_view a, std::string_view b) const noexcept {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (lowered(a[i]) != lowered(b[i])) return false;
  return true;
}

namespace {

bool sameFile(const FileIdentity& a, const FileIdentity& b) {
  return a.device == b.device && a.inode == b.inode;
}

}  // namespace

PartCache& PartCache::instance() {
  static PartCache cache;
  return cache;
}

void PartCache::put(const FileIdentity& file, const std::string& part, CachedPart value) {
  std::lock_guard lock(mutex_);
  if (!enabled_ || value.weight > capacity_) return;
  for (auto it = items_.begin(); it != items_.end();) {
    // One copy of a part, and nothing of another state of the file.
    if (sameFile(it->file, file) && (!(it->file == file) || it->part == part)) {
      bytes_ -= it->value.weight;
      it = items_.erase(it);
    } else {
      ++it;
    }
  }
  bytes_ += value.weight;
  items_.push_front(Item{file, part, std::move(value)});
  trim();
}

std::optional<CachedPart> PartCache::take(const FileIdentity& file, const std::string& part) {
  std::lock_guard lock(mutex_);
  for (auto it = items_.begin(); it != items_.end(); ++it) {
    if (!(it->file == file) || it->part != part) continue;
    CachedPart value = std::move(it->value);
    bytes_ -= value.weight;
    items_.erase(it);
    return value;
  }
  return std::nullopt;
}

void PartCache::dropStale(const FileIdentity& current) {
  std::lock_guard lock(mutex_);
  for (auto it = items_.begin(); it != items_.end();) {
    if (sameFile(it->file, current) && !(it->file == current)) {
      bytes_ -= it->value.weight;
      it = items_.erase(it);
    } else {
      ++it;
    }
  }
}

void PartCache::clear() {
  std::lock_guard lock(mutex_);
  items_.clear();
  bytes_ = 0;
}

void PartCache::setEnabled(bool on) {
  std::lock_guard lock(mutex_);
  enabled_ = on;
  if (!on) {
    items_.clear();
    bytes_ = 0;
  }
}

void PartCache::setCapacity(std::uint64_t bytes) {
  std::lock_guard lock(mutex_);
  capacity_ = bytes;
  trim();
}

std::uint64_t PartCache::size() const {
  std::lock_guard lock(mutex_);
  return bytes_;
}

void PartCache::trim() {
  while (bytes_ > capacity_ && !items_.empty()) {
    bytes_ -= items_.back().value.weight;
    items_.pop_back();
  }
}

}  // namespace orv::ooxml
