// Compound files read in place and written anew through Windows' own structured storage.
#include <io.h>

#include <cstring>
#include <set>

#include "server/cfb/compound_file.h"
#include "server/cfb/structured_storage_win.h"
#include "server/server_error.h"
#include "server/windows_text.h"

namespace orv::cfb {

namespace {

using storage::Com;

// The storage holding the stream named by `path` ("a/b/c": storage a, storage b), and the
// stream's own name; an empty holder when a storage on the way is missing.
Com<IStorage> parentOf(IStorage* root, std::string_view path, std::string& leaf) {
  Com<IStorage> current;
  IStorage* within = root;
  std::size_t start = 0;
  for (std::size_t slash; (slash = path.find('/', start)) != std::string_view::npos;
       start = slash + 1) {
    Com<IStorage> next = storage::openStorage(within, std::string(path.substr(start, slash - start)));
    if (!next) return {};
    current = std::move(next);
    within = current.get();
  }
  leaf = std::string(path.substr(start));
  if (!current) {
    // The root itself, with a reference of its own.
    root->AddRef();
    return Com<IStorage>(root);
  }
  return current;
}

void walk(IStorage* dir, const std::string& prefix, std::vector<std::string>& out, int depth) {
  std::vector<storage::Child> children;
  if (depth > 64 || !storage::childrenOf(dir, children)) return;
  for (const storage::Child& child : children) {
    if (!child.storage) {
      out.push_back(prefix + child.name);
      continue;
    }
    Com<IStorage> inner = storage::openStorage(dir, child.name);
    if (inner) walk(inner.get(), prefix + child.name + "/", out, depth + 1);
  }
}

// Copies the storage `from` (none for a storage only added) into `to`, with class ids, putting
// replaced and added streams in.
class Copier {
 public:
  explicit Copier(const std::map<std::string, std::string, std::less<>>& replaced)
      : replaced_(replaced) {}

  bool copy(IStorage* from, IStorage* to, const std::string& prefix) {
    std::set<std::string> present;
    std::vector<storage::Child> children;
    if (from && !storage::childrenOf(from, children)) return false;
    for (const storage::Child& child : children) {
      present.insert(child.name);
      const std::string path = prefix + child.name;
      if (child.storage) {
        Com<IStorage> in = storage::openStorage(from, child.name);
        if (!in) return false;
        Com<IStorage> out = storage::createStorage(to, child.name, storage::classOf(in.get()));
        if (!out || !copy(in.get(), out.get(), path + "/") || FAILED(out->Commit(STGC_DEFAULT)))
          return false;
        continue;
      }
      std::string bytes;
      const auto it = replaced_.find(path);
      if (it == replaced_.end() && !storage::readStream(from, child.name, SIZE_MAX, bytes))
        return false;
      if (!storage::writeStream(to, child.name, it != replaced_.end() ? it->second : bytes))
        return false;
    }
    return addNew(to, prefix, present);
  }

 private:
  // Streams of `replaced` directly under `prefix` that the original lacks, and storages on the
  // way to deeper ones.
  bool addNew(IStorage* to, const std::string& prefix, const std::set<std::string>& present) {
    std::set<std::string> storages;
    for (const auto& [path, bytes] : replaced_) {
      if (!path.starts_with(prefix)) continue;
      const std::string rest = path.substr(prefix.size());
      const std::size_t slash = rest.find('/');
      const std::string name = rest.substr(0, slash);
      if (present.count(name)) continue;
      if (slash != std::string::npos) {
        storages.insert(name);
      } else if (!storage::writeStream(to, name, bytes)) {
        return false;
      }
    }
    for (const std::string& name : storages) {
      Com<IStorage> out = storage::createStorage(to, name, {});
      if (!out || !copy(nullptr, out.get(), prefix + name + "/") ||
          FAILED(out->Commit(STGC_DEFAULT)))
        return false;
    }
    return true;
  }

  const std::map<std::string, std::string, std::less<>>& replaced_;
};

}  // namespace

struct CompoundFile::Tree {
  Com<IStorage> root;
};

CompoundFile::CompoundFile(const std::string& path, std::string display)
    : display_(std::move(display)), tree_(std::make_unique<Tree>()) {
  tree_->root = storage::openFile(path);
  if (!tree_->root) {
    const DWORD attributes = GetFileAttributesW(windows::widen(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
      throw ServerError("Cannot open '" + display_ + "': the file cannot be read.");
    throw ServerError("Cannot open '" + display_ +
                      "': the file is damaged (its compound file structure cannot be read).");
  }
}

CompoundFile::~CompoundFile() = default;

std::vector<std::string> CompoundFile::streamPaths() const {
  std::vector<std::string> paths;
  walk(tree_->root.get(), "", paths, 0);
  return paths;
}

bool CompoundFile::hasStream(std::string_view path) const {
  std::string leaf;
  Com<IStorage> parent = parentOf(tree_->root.get(), path, leaf);
  if (!parent) return false;
  std::vector<storage::Child> children;
  if (!storage::childrenOf(parent.get(), children)) return false;
  for (const storage::Child& child : children)
    if (child.name == leaf) return !child.storage;
  return false;
}

std::string CompoundFile::readStream(std::string_view path, size_t limit) const {
  std::string leaf, data;
  Com<IStorage> parent = parentOf(tree_->root.get(), path, leaf);
  if (!parent || !storage::readStream(parent.get(), leaf, limit, data))
    throw ServerError("Cannot open '" + display_ + "': the file is damaged (the stream '" +
                      std::string(path) + "' is missing).");
  return data;
}

void CompoundFile::writeTo(int fd,
                           const std::map<std::string, std::string, std::less<>>& replaced) const {
  const std::string failed = "Cannot save '" + display_ + "': ";
  Com<ILockBytes> bytes;
  std::string content;
  {
    Com<IStorage> out = storage::createInMemory(bytes);
    if (!out) throw ServerError(failed + "the compound file could not be written.");
    const storage::ClassId id = storage::classOf(tree_->root.get());
    CLSID clsid;
    std::memcpy(&clsid, id.data(), sizeof clsid);
    if (FAILED(out->SetClass(clsid)) || !Copier(replaced).copy(tree_->root.get(), out.get(), "") ||
        FAILED(out->Commit(STGC_DEFAULT)))
      throw ServerError(failed + "the compound file could not be written.");
  }
  if (!storage::contentOf(bytes.get(), content))
    throw ServerError(failed + "the compound file could not be written.");
  std::size_t at = 0;
  while (at < content.size()) {
    const unsigned want = static_cast<unsigned>(std::min<std::size_t>(content.size() - at, 1u << 30));
    const int done = _write(fd, content.data() + at, want);
    if (done <= 0) throw ServerError(failed + "the file cannot be written.");
    at += static_cast<std::size_t>(done);
  }
}

}  // namespace orv::cfb
