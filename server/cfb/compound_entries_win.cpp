// Compound files held in memory, through Windows' own structured storage.
#include "server/cfb/compound_file.h"

#include <io.h>

#include <algorithm>
#include <cstring>

#include "server/cfb/structured_storage_win.h"
#include "server/server_error.h"

namespace orv::cfb {

namespace {



// Deeper nesting than any writer produces is taken for a damaged (cyclic) directory.
constexpr int kMaxDepth = 64;

[[noreturn]] void damaged(const std::string& display, const std::string& why) {
  throw ServerError("Cannot open '" + display + "': the file is damaged (" + why +
                    "). If you have a backup, use it; otherwise open it in your spreadsheet "
                    "application and save it again.");
}

void readEntry(IStorage* from, CompoundEntry& into, const std::string& display, int depth) {
  if (depth > kMaxDepth) damaged(display, "its storages are nested too deeply");
  into.classId = storage::classOf(from);
  std::vector<storage::Child> children;
  if (!storage::childrenOf(from, children))
    damaged(display, "an entry of its directory cannot be read");
  for (const storage::Child& child : children) {
    CompoundEntry entry;
    entry.name = child.name;
    entry.storage = child.storage;
    if (child.storage) {
      storage::Com<IStorage> inner = storage::openStorage(from, child.name);
      if (!inner) damaged(display, "an entry of its directory cannot be read");
      readEntry(inner.get(), entry, display, depth + 1);
    } else if (!storage::readStream(from, child.name, SIZE_MAX, entry.data)) {
      damaged(display, "the stream '" + entry.name + "' is cut short");
    }
    into.children.push_back(std::move(entry));
  }
}

using Produced = std::map<const CompoundEntry*, StreamProducer>;

// A produced stream's bytes, gathered: structured storage writes a stream whole.
std::string producedBytes(const StreamProducer& producer) {
  std::string bytes;
  producer([&](std::string_view piece) {
    bytes.append(piece);
    return true;
  });
  return bytes;
}

void writeEntry(IStorage* to, const CompoundEntry& entry, const Produced& produced) {
  for (const CompoundEntry& child : entry.children) {
    if (child.storage) {
      storage::Com<IStorage> inner = storage::createStorage(to, child.name, child.classId);
      if (!inner)
        throw ServerError("The workbook could not be written: the entry '" + child.name +
                          "' cannot be made.");
      writeEntry(inner.get(), child, produced);
      if (FAILED(inner->Commit(STGC_DEFAULT)))
        throw ServerError("The workbook could not be written: the entry '" + child.name +
                          "' cannot be made.");
    } else if (const auto producer = produced.find(&child); producer != produced.end()
                   ? !storage::writeStream(to, child.name, producedBytes(producer->second))
                   : !storage::writeStream(to, child.name, child.data)) {
      throw ServerError("The workbook could not be written: the stream '" + child.name +
                        "' cannot be stored.");
    }
  }
}

}  // namespace

CompoundEntry readCompoundFile(std::string_view bytes, const std::string& display) {
  storage::Com<IStorage> root = storage::openOnBytes(bytes);
  if (!root) damaged(display, "its compound-file structure cannot be read");
  CompoundEntry entry;
  entry.storage = true;
  readEntry(root.get(), entry, display, 0);
  return entry;
}

namespace {

std::string writeInMemory(const CompoundEntry& root, const Produced& produced) {
  storage::Com<ILockBytes> bytes;
  std::string out;
  {
    storage::Com<IStorage> file = storage::createInMemory(bytes);
    if (!file) throw ServerError("The workbook could not be written: no compound file was made.");
    static const storage::ClassId none{};
    CLSID clsid;
    std::memcpy(&clsid, root.classId.data(), sizeof clsid);
    if (root.classId != none) file->SetClass(clsid);
    writeEntry(file.get(), root, produced);
    if (FAILED(file->Commit(STGC_DEFAULT)))
      throw ServerError("The workbook could not be written: its compound file cannot be closed.");
  }
  if (!storage::contentOf(bytes.get(), out))
    throw ServerError("The workbook could not be written: its compound file cannot be closed.");
  return out;
}

}  // namespace

std::string writeCompoundFile(const CompoundEntry& root) { return writeInMemory(root, {}); }

void writeCompoundFile(const CompoundEntry& root, int fd, const std::string& display,
                       const std::map<const CompoundEntry*, StreamProducer>& produced) {
  const std::string content = writeInMemory(root, produced);
  std::size_t at = 0;
  while (at < content.size()) {
    const unsigned want = static_cast<unsigned>(std::min<std::size_t>(content.size() - at, 1u << 30));
    const int done = _write(fd, content.data() + at, want);
    if (done <= 0) throw ServerError("Cannot save '" + display + "': the file cannot be written.");
    at += static_cast<std::size_t>(done);
  }
}

CompoundEntry* findChild(CompoundEntry& storage, std::string_view name) {
  for (CompoundEntry& child : storage.children)
    if (child.name == name) return &child;
  return nullptr;
}

const CompoundEntry* findChild(const CompoundEntry& storage, std::string_view name) {
  for (const CompoundEntry& child : storage.children)
    if (child.name == name) return &child;
  return nullptr;
}

}  // namespace orv::cfb
