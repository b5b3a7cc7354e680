#include "server/zip/entry_store.h"

#include <map>
#include <utility>

#include "server/file_handle.h"
#include "server/memory_budget.h"
#include "server/server_error.h"

namespace orv::zip {

namespace {

// Edited entries are compressed at zlib's fastest level, as the Open XML engine does: saving
// costs what writing costs.
constexpr int kDeflateLevel = 1;

struct OpenFile {
  zip_file_t* file;
  ~OpenFile() {
    if (file) zip_fclose(file);
  }
};

}  // namespace

EntryStore::EntryStore(std::string path, OpenedArchive opened)
    : path_(std::move(path)), display_(orv::displayName(path_)) {
  identity_ = opened.identity;
  zip_ = std::exchange(opened.archive, nullptr);
  if (!zip_)
    throw ServerError("Cannot open '" + display_ +
                      "': the file is damaged (its ZIP structure cannot be read).");
  index();
}

EntryStore::~EntryStore() {
  if (zip_) zip_discard(zip_);
}

void EntryStore::index() {
  const zip_int64_t n = zip_get_num_entries(zip_, 0);
  for (zip_int64_t i = 0; i < n; ++i) {
    const char* name = zip_get_name(zip_, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW);
    if (!name) continue;
    if (byName_.count(std::string_view(name))) {
      ServerError error("Cannot open '" + display_ + "': the file is damaged (the entry '" + name +
                        "' is stored twice).");
      zip_discard(zip_);
      zip_ = nullptr;
      throw error;
    }
    auto entry = std::make_unique<Entry>();
    entry->name = name;
    entry->index = i;
    byName_.emplace(entry->name, entry.get());
    entries_.push_back(std::move(entry));
  }
}

void EntryStore::damaged(std::string_view entry, const std::string& why) const {
  throw ServerError("Cannot open '" + display_ + "': the file is damaged (" + std::string(entry) +
                    ": " + why + ").");
}

EntryStore::Entry* EntryStore::find(std::string_view name) {
  auto it = byName_.find(name);
  return it == byName_.end() || it->second->removed ? nullptr : it->second;
}

const EntryStore::Entry* EntryStore::find(std::string_view name) const {
  auto it = byName_.find(name);
  return it == byName_.end() || it->second->removed ? nullptr : it->second;
}

bool EntryStore::has(std::string_view name) const { return find(name) != nullptr; }

std::vector<std::string> EntryStore::names() const {
  std::vector<std::string> out;
  out.reserve(entries_.size());
  for (const auto& e : entries_)
    if (!e->removed) out.push_back(e->name);
  return out;
}

std::vector<std::string> EntryStore::namesStartingWith(std::string_view prefix) const {
  std::vector<std::string> out;
  for (auto it = byName_.lower_bound(prefix); it != byName_.end() && it->first.starts_with(prefix);
       ++it)
    if (!it->second->removed) out.push_back(it->first);
  return out;
}

bool EntryStore::closeArchive() {
  if (!layout_ || modified_) return false;
  if (zip_) zip_discard(zip_);
  zip_ = nullptr;
  return true;
}

zip_t* EntryStore::archive() {
  if (zip_) return zip_;
  // After a save the file written is opened only when an entry is read from it again.
  if (!(fileIdentity(path_, display_) == identity_))
    throw ServerError("Cannot open '" + display_ +
                      "': the file was changed by another program after it was saved. Open it "
                      "again and repeat the change.");
  int error = 0;
  zip_ = zip_open(path_.c_str(), ZIP_RDONLY, &error);
  if (!zip_) damaged("ZIP directory", "the archive written cannot be read again");
  return zip_;
}

int EntryStore::originalMethod(std::string_view name) const {
  const Entry* e = find(name);
  if (!e || e->index < 0) return -1;
  if (layout_) return factsOf(*layout_, static_cast<size_t>(e->index)).method;
  if (!zip_) return -1;
  zip_stat_t st;
  zip_stat_init(&st);
  if (zip_stat_index(zip_, static_cast<zip_uint64_t>(e->index), 0, &st) != 0 ||
      !(st.valid & ZIP_STAT_COMP_METHOD))
    return -1;
  return st.comp_method;
}

std::string EntryStore::read(std::string_view name, size_t limit) {
  Entry* e = find(name);
  if (!e) damaged(name, "the part is missing");
  if (e->replaced && e->packed) {
    std::optional<std::string> plain = unpacked(*e);
    if (!plain) damaged(name, "the part cannot be inflated");
    return std::move(*plain);
  }
  if (e->replaced) return e->bytes;
  if (std::optional<std::string> read = readThroughLayout(*e, name, limit)) return std::move(*read);
  zip_t* zip = archive();
  zip_stat_t st;
  zip_stat_init(&st);
  if (zip_stat_index(zip, static_cast<zip_uint64_t>(e->index), 0, &st) != 0)
    damaged(name, "its entry cannot be read");
  if ((st.valid & ZIP_STAT_ENCRYPTION_METHOD) && st.encryption_method != ZIP_EM_NONE)
    damaged(name, "the part is encrypted");
  if ((st.valid & ZIP_STAT_SIZE) && st.size > limit) damaged(name, "the part is too large");
  if ((st.valid & ZIP_STAT_SIZE) && !mayHoldPart(st.size))
    throw ServerError("Cannot open '" + display_ + "': " + tooLargeReason(st.size));
  OpenFile file{zip_fopen_index(zip, static_cast<zip_uint64_t>(e->index), 0)};
  if (!file.file) damaged(name, "the part cannot be read");
  std::string data;
  if (st.valid & ZIP_STAT_SIZE) data.reserve(static_cast<size_t>(st.size));
  char buffer[65536];
  for (;;) {
    const zip_int64_t got = zip_fread(file.file, buffer, sizeof buffer);
    if (got < 0) damaged(name, "the part cannot be inflated");
    if (got == 0) break;
    data.append(buffer, static_cast<size_t>(got));
    if (data.size() > limit) damaged(name, "the part is too large");
  }
  return data;
}

std::optional<std::string> EntryStore::readThroughLayout(const Entry& entry, std::string_view name,
                                                        size_t limit) {
  if (!layout_ || entry.index < 0) return std::nullopt;
  const EntryFacts facts = factsOf(*layout_, static_cast<size_t>(entry.index));
  if (facts.plainSize > limit) damaged(name, "the part is too large");
  if (!mayHoldPart(facts.plainSize))
    throw ServerError("Cannot open '" + display_ + "': " + tooLargeReason(facts.plainSize));
  std::optional<FileHandle> file = openUnchanged();
  if (!file) return std::nullopt;  // libzip's way says what is wrong
  return readEntry(file->descriptor(), *layout_, static_cast<size_t>(entry.index));
}

std::optional<FileHandle> EntryStore::openUnchanged() const {
  FileHandle file = FileHandle::openForReading(path_);
  if (!file.valid() || !(file.identity() == std::optional<FileIdentity>(identity_)))
    return std::nullopt;
  return file;
}

void EntryStore::put(const std::string& name, std::string bytes, Compression compression) {
  Entry* e = find(name);
  if (!e) {
    auto entry = std::make_unique<Entry>();
    entry->name = name;
    e = entry.get();
    byName_.erase(name);  // a removed entry of that name gives way
    byName_.emplace(entry->name, e);
    entries_.push_back(std::move(entry));
  }
  e->bytes = std::move(bytes);
  e->replaced = true;
  e->compression = compression;
  e->packed.reset();
  e->trail = nullptr;
  modified_ = true;
}

void EntryStore::putAlong(const std::string& name, std::string bytes, DeflateTrail& trail) {
  put(name, std::move(bytes));
  find(name)->trail = &trail;
}

void EntryStore::putPacked(const std::string& name, DeflatedPiece rest, std::uint64_t sameAt,
                           std::uint64_t sameLength) {
  put(name, std::move(rest.packed));
  Entry* e = find(name);
  e->packed = PackedData{-1,       0,      sameLength + e->bytes.size(), rest.plainSize, rest.crc,
                         e->bytes, sameAt, sameLength,                   true};
}

std::string EntryStore::readRange(std::uint64_t at, std::uint64_t length) const {
  std::optional<FileHandle> file = openUnchanged();
  std::string bytes(static_cast<size_t>(length), '\0');
  if (!file || (length > 0 && file->readAt(at, bytes.data(), bytes.size()) !=
                                  static_cast<std::int64_t>(bytes.size())))
    throw ServerError("Cannot save '" + display_ +
                      "': the file was changed by another program after it was opened. Open it "
                      "again and repeat the change.");
  return bytes;
}

std::optional<std::string> EntryStore::unpacked(const Entry& entry) const {
  const PackedData& packed = *entry.packed;
  if (packed.sameLength == 0) return inflateRaw(entry.bytes, packed.plainSize);
  return inflateRaw(readRange(packed.sameAt, packed.sameLength) + entry.bytes, packed.plainSize);
}

std::optional<std::uint64_t> EntryStore::dataOffset(std::string_view name) const {
  auto it = packedAt_.find(name);
  if (it == packedAt_.end()) return std::nullopt;
  return it->second;
}

void EntryStore::remove(std::string_view name) {
  Entry* e = find(name);
  if (!e) return;
  e->removed = true;
  std::string().swap(e->bytes);
  modified_ = true;
}

ServerError EntryStore::changedDuringSave() const {
  return ServerError("Cannot save '" + display_ +
                     "': the file was changed by another program while it was being saved. Open "
                     "it again and repeat the change.");
}

void EntryStore::save() {
  if (!modified_) return;
  if (!(fileIdentity(path_, display_) == identity_))
    throw ServerError("Cannot save '" + display_ +
                      "': the file was changed by another program after it was opened. Open it "
                      "again and repeat the change.");
  // The first entry stays first (an OpenDocument package's mimetype must); then the untouched
  // entries, the new ones, those deflated beforehand (a large part saved again and again), and
  // last the other replaced ones. Two saves in a row then share their start byte for byte, which
  // the kernel clones or copies instead of this process writing it: what one save adds lies
  // before what the next replaces. The large part moves, but its data keeps its offset within a
  // block, so that what it repeats of the last save is cloned too. The last entry is padded so
  // that the central directory lies in its blocks as the last one did, and what it repeats of it
  // is cloned as well; a small part replaced at every save (the manifest, the metadata) serves
  // for that better than the large one, whose padding keeps its own data in place.
  std::vector<size_t> order;  // in entries_
  order.reserve(entries_.size());
  for (size_t pass = 0; pass < 4; ++pass)
    for (size_t i = 0; i < entries_.size(); ++i) {
      const Entry* entry = entries_[i].get();
      const size_t place = i == 0 || !entry->replaced ? 0
                           : entry->packed           ? 2
                           : entry->index < 0        ? 1
                                                     : 3;
      if (!entry->removed && place == pass) order.push_back(i);
    }
  std::vector<OutEntry> out;
  out.reserve(order.size());
  for (const size_t i : order) {
    const Entry* entry = entries_[i].get();
    OutEntry o;
    o.name = entry->name;
    if (entry->replaced && entry->packed) {
      o.packed = &*entry->packed;
      // libzip compresses for itself.
      o.produce = [this, entry] {
        std::optional<std::string> plain = unpacked(*entry);
        if (!plain) throw std::bad_alloc();  // the bytes were deflated here
        return std::move(*plain);
      };
    } else if (entry->replaced && entry->trail) {
      o.produce = [entry] { return entry->bytes; };
      o.trail = entry->trail;
    } else if (entry->replaced) {
      o.data = entry->bytes;
      o.compression = entry->compression;
    } else {
      o.original = static_cast<zip_uint64_t>(entry->index);
    }
    out.push_back(std::move(o));
  }
  // With the layout the last save wrote, the raw writer needs no archive opened.
  zip_t* original = layout_ ? zip_ : archive();
  std::optional<FileIdentity> savedAs;
  std::shared_ptr<const Layout> layout;
  std::map<std::string, std::uint64_t, std::less<>> packedAt;
  packedAt_.clear();
  replaceFileDurably(path_, [&](int fd) {
    ArchiveTarget target{fd, original, path_, identity_, display_, kDeflateLevel, layout_};
    Layout written;
    if (writeByRawCopy(target, out, &written)) {
      for (size_t i = 0; i < out.size() && i < written.entries.size(); ++i)
        if (out[i].packed && written.nameOf(written.entries[i]) == out[i].name)
          packedAt[std::string(out[i].name)] = written.entries[i].end - out[i].packed->size;
      layout = std::make_shared<const Layout>(std::move(written));
    } else {
      if (!target.original) target.original = original = archive();
      writeThroughLibzip(target, out);
    }
    if (!(fileIdentity(path_, display_) == identity_)) throw changedDuringSave();
    // The original is let go of before it is replaced, since Windows replaces no file that is
    // open. Should the replacement fail, it is opened again when an entry is read.
    zip_discard(zip_);
    zip_ = nullptr;
    savedAs = descriptorIdentity(fd);
  });
  if (zip_) zip_discard(zip_);
  zip_ = nullptr;
  identity_ = fileIdentity(path_, display_);
  if (savedAs && (savedAs->device != identity_.device || savedAs->inode != identity_.inode ||
                  savedAs->size != identity_.size || savedAs->mtimeNs != identity_.mtimeNs))
    throw changedDuringSave();
  packedAt_ = std::move(packedAt);
  layout_ = std::move(layout);
  // The entries now lie in the file just written, in this order.
  for (const auto& entry : entries_) {
    if (!entry->removed) continue;
    if (auto it = byName_.find(entry->name); it != byName_.end() && it->second == entry.get())
      byName_.erase(it);
  }
  std::vector<std::unique_ptr<Entry>> lying;
  lying.reserve(order.size());
  for (const size_t i : order) {
    Entry& entry = *entries_[i];
    entry.index = static_cast<zip_int64_t>(lying.size());
    entry.replaced = false;
    entry.packed.reset();
    entry.trail = nullptr;
    std::string().swap(entry.bytes);
    lying.push_back(std::move(entries_[i]));
  }
  entries_ = std::move(lying);
  modified_ = false;
}

}  // namespace orv::zip
