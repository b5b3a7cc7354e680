#include "server/cfb/compound_file.h"

#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-memory.h>
#include <gsf/gsf-input-stdio.h>
#include <gsf/gsf-input.h>
#include <gsf/gsf-outfile-msole.h>
#include <gsf/gsf-outfile.h>
#include <gsf/gsf-output-memory.h>
#include <gsf/gsf-output-stdio.h>
#include <gsf/gsf-utils.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <set>

#include "server/server_error.h"

namespace orv::cfb {

namespace {

constexpr size_t kChunk = 64 * 1024;

void initGsf() {
  static std::once_flag once;
  std::call_once(once, [] {
    gsf_init();
    // Damage in a file is reported as a refusal; the library's own warnings about it would
    // only clutter the terminal.
    for (const char* domain : {"libgsf", "libgsf:msole"})
      g_log_set_handler(
          domain,
          static_cast<GLogLevelFlags>(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING |
                                      G_LOG_LEVEL_MESSAGE),
          [](const gchar*, GLogLevelFlags, const gchar*, gpointer) {}, nullptr);
  });
}

// Drops one reference to a GObject when it goes out of scope.
template <typename T>
struct Ref {
  T* p = nullptr;
  explicit Ref(T* object) : p(object) {}
  ~Ref() {
    if (p) g_object_unref(p);
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
};

std::string messageOf(GError* error) {
  std::string text = error && error->message ? error->message : "";
  if (error) g_error_free(error);
  return text;
}

bool isStorage(GsfInput* input) {
  return GSF_IS_INFILE(input) && gsf_infile_num_children(GSF_INFILE(input)) >= 0;
}

// The child of `dir` named by the next segment of `path`; null when there is none.
GsfInput* childAt(GsfInfile* dir, std::string_view path) {
  GsfInput* current = nullptr;
  GsfInfile* within = dir;
  g_object_ref(within);
  size_t start = 0;
  while (true) {
    const size_t slash = path.find('/', start);
    const std::string name(
        path.substr(start, slash == std::string_view::npos ? slash : slash - start));
    GsfInput* next = gsf_infile_child_by_name(within, name.c_str());
    g_object_unref(within);
    if (!next) return nullptr;
    if (slash == std::string_view::npos) return next;
    if (!isStorage(next)) {
      g_object_unref(next);
      return nullptr;
    }
    within = GSF_INFILE(next);
    current = next;
    start = slash + 1;
  }
  return current;
}

void walk(GsfInfile* dir, const std::string& prefix, std::vector<std::string>& out) {
  const int n = gsf_infile_num_children(dir);
  for (int i = 0; i < n; ++i) {
    const char* name = gsf_infile_name_by_index(dir, i);
    Ref<GsfInput> child(gsf_infile_child_by_index(dir, i));
    if (!name || !child.p) continue;
    const std::string path = prefix + name;
    if (isStorage(child.p)) {
      walk(GSF_INFILE(child.p), path + "/", out);
    } else {
      out.push_back(path);
    }
  }
}

std::string readAll(GsfInput* input, size_t limit) {
  std::string data;
  const auto size = static_cast<size_t>(std::max<gsf_off_t>(0, gsf_input_size(input)));
  data.resize(std::min(size, limit));
  size_t at = 0;
  while (at < data.size()) {
    const size_t n = std::min(kChunk, data.size() - at);
    if (!gsf_input_read(input, n, reinterpret_cast<guint8*>(data.data() + at))) break;
    at += n;
  }
  data.resize(at);
  return data;
}

// Deeper nesting than any writer produces is taken for a damaged (cyclic) directory.
constexpr int kMaxDepth = 64;

[[noreturn]] void damaged(const std::string& display, const std::string& why) {
  throw ServerError("Cannot open '" + display + "': the file is damaged (" + why +
                    "). If you have a backup, use it; otherwise open it in your spreadsheet "
                    "application and save it again.");
}

void readEntry(GsfInfile* storage, CompoundEntry& into, const std::string& display, int depth) {
  if (depth > kMaxDepth) damaged(display, "its storages are nested too deeply");
  if (GSF_IS_INFILE_MSOLE(storage)) {
    guint8 id[16];
    if (gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(storage), id))
      std::copy(id, id + 16, into.classId.begin());
  }
  const int count = gsf_infile_num_children(storage);
  for (int i = 0; i < count; ++i) {
    Ref<GsfInput> child(gsf_infile_child_by_index(storage, i));
    const char* name = gsf_infile_name_by_index(storage, i);
    if (!child.p || !name) damaged(display, "an entry of its directory cannot be read");
    CompoundEntry entry;
    entry.name = name;
    if (isStorage(child.p)) {
      entry.storage = true;
      readEntry(GSF_INFILE(child.p), entry, display, depth + 1);
    } else {
      const gsf_off_t size = gsf_input_size(child.p);
      if (size < 0) damaged(display, "a stream has no size");
      entry.data.resize(static_cast<size_t>(size));
      size_t at = 0;
      while (at < entry.data.size()) {
        const size_t chunk = std::min<size_t>(entry.data.size() - at, size_t{1} << 20);
        if (!gsf_input_read(child.p, chunk, reinterpret_cast<guint8*>(entry.data.data() + at)))
          damaged(display, "the stream '" + entry.name + "' is cut short");
        at += chunk;
      }
    }
    into.children.push_back(std::move(entry));
  }
}

using Produced = std::map<const CompoundEntry*, StreamProducer>;

void writeEntry(GsfOutfile* storage, const CompoundEntry& entry, const Produced& produced) {
  for (const CompoundEntry& child : entry.children) {
    Ref<GsfOutput> out(gsf_outfile_new_child(storage, child.name.c_str(), child.storage));
    if (!out.p)
      throw ServerError("The workbook could not be written: the entry '" + child.name +
                        "' cannot be made.");
    if (child.storage) {
      static const std::array<std::uint8_t, 16> none{};
      if (child.classId != none)
        gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(out.p), child.classId.data());
      writeEntry(GSF_OUTFILE(out.p), child, produced);
    } else {
      const auto write = [&](std::string_view bytes) {
        return bytes.empty() || gsf_output_write(out.p, bytes.size(),
                                                 reinterpret_cast<const guint8*>(bytes.data()));
      };
      const auto producer = produced.find(&child);
      bool ok = true;
      if (producer != produced.end()) {
        producer->second([&](std::string_view bytes) { return ok = write(bytes) && ok; });
      } else {
        ok = write(child.data);
      }
      if (!ok)
        throw ServerError("The workbook could not be written: the stream '" + child.name +
                          "' cannot be stored.");
    }
    gsf_output_close(out.p);
  }
}

// Copies the storage `from` into `to`, with class ids, putting replaced and added streams in.
class Copier {
 public:
  Copier(const std::map<std::string, std::string, std::less<>>& replaced) : replaced_(replaced) {}

  bool copy(GsfInfile* from, GsfOutfile* to, const std::string& prefix) {
    guint8 clsid[16];
    if (GSF_IS_INFILE_MSOLE(from) && gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(from), clsid))
      gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(to), clsid);
    std::set<std::string> present;
    const int n = from ? gsf_infile_num_children(from) : 0;
    for (int i = 0; i < n; ++i) {
      const char* name = gsf_infile_name_by_index(from, i);
      Ref<GsfInput> child(gsf_infile_child_by_index(from, i));
      if (!name || !child.p) return false;
      present.insert(name);
      const std::string path = prefix + name;
      const bool storage = isStorage(child.p);
      Ref<GsfOutput> out(gsf_outfile_new_child(to, name, storage));
      if (!out.p) return false;
      bool ok = true;
      if (storage) {
        ok = copy(GSF_INFILE(child.p), GSF_OUTFILE(out.p), path + "/");
      } else if (auto it = replaced_.find(path); it != replaced_.end()) {
        ok = gsf_output_write(out.p, it->second.size(),
                              reinterpret_cast<const guint8*>(it->second.data()));
      } else {
        ok = copyStream(child.p, out.p);
      }
      if (!gsf_output_close(out.p) || !ok) return false;
    }
    return addNew(to, prefix, present);
  }

 private:
  static bool copyStream(GsfInput* in, GsfOutput* out) {
    guint8 buffer[kChunk];
    gsf_off_t left = gsf_input_remaining(in);
    while (left > 0) {
      const size_t n = static_cast<size_t>(std::min<gsf_off_t>(left, kChunk));
      if (!gsf_input_read(in, n, buffer) || !gsf_output_write(out, n, buffer)) return false;
      left -= static_cast<gsf_off_t>(n);
    }
    return true;
  }

  // Streams of `replaced` directly under `prefix` that the original lacks, and storages on the
  // way to deeper ones.
  bool addNew(GsfOutfile* to, const std::string& prefix, const std::set<std::string>& present) {
    std::set<std::string> storages;
    for (const auto& [path, bytes] : replaced_) {
      if (!path.starts_with(prefix)) continue;
      const std::string rest = path.substr(prefix.size());
      const size_t slash = rest.find('/');
      const std::string name = rest.substr(0, slash);
      if (present.count(name)) continue;
      if (slash != std::string::npos) {
        storages.insert(name);
        continue;
      }
      Ref<GsfOutput> out(gsf_outfile_new_child(to, name.c_str(), FALSE));
      if (!out.p ||
          !gsf_output_write(out.p, bytes.size(), reinterpret_cast<const guint8*>(bytes.data())) ||
          !gsf_output_close(out.p))
        return false;
    }
    for (const std::string& name : storages) {
      Ref<GsfOutput> out(gsf_outfile_new_child(to, name.c_str(), TRUE));
      if (!out.p || !copy(nullptr, GSF_OUTFILE(out.p), prefix + name + "/") ||
          !gsf_output_close(out.p))
        return false;
    }
    return true;
  }

  const std::map<std::string, std::string, std::less<>>& replaced_;
};

}  // namespace

CompoundEntry readCompoundFile(std::string_view bytes, const std::string& display) {
  initGsf();
  Ref<GsfInput> input(gsf_input_memory_new(reinterpret_cast<const guint8*>(bytes.data()),
                                           static_cast<gsf_off_t>(bytes.size()), FALSE));
  GError* error = nullptr;
  Ref<GsfInfile> root(gsf_infile_msole_new(input.p, &error));
  if (error) g_error_free(error);
  if (!root.p) damaged(display, "its compound-file structure cannot be read");
  CompoundEntry entry;
  entry.storage = true;
  readEntry(root.p, entry, display, 0);
  return entry;
}

std::string writeCompoundFile(const CompoundEntry& root) {
  initGsf();
  Ref<GsfOutput> memory(gsf_output_memory_new());
  {
    Ref<GsfOutfile> file(gsf_outfile_msole_new(memory.p));
    static const std::array<std::uint8_t, 16> none{};
    if (root.classId != none)
      gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(file.p), root.classId.data());
    writeEntry(file.p, root, {});
    if (!gsf_output_close(GSF_OUTPUT(file.p)))
      throw ServerError("The workbook could not be written: its compound file cannot be closed.");
  }
  const guint8* bytes = gsf_output_memory_get_bytes(GSF_OUTPUT_MEMORY(memory.p));
  const gsf_off_t size = gsf_output_size(memory.p);
  return std::string(reinterpret_cast<const char*>(bytes), static_cast<size_t>(size));
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

struct CompoundFile::Tree {
  GsfInput* source = nullptr;
  GsfInfile* root = nullptr;
  ~Tree() {
    if (root) g_object_unref(root);
    if (source) g_object_unref(source);
  }
};

CompoundFile::CompoundFile(const std::string& path, std::string display)
    : display_(std::move(display)), tree_(std::make_unique<Tree>()) {
  initGsf();
  GError* error = nullptr;
  tree_->source = gsf_input_stdio_new(path.c_str(), &error);
  if (!tree_->source)
    throw ServerError("Cannot open '" + display_ + "': the file cannot be read (" +
                      messageOf(error) + ").");
  tree_->root = gsf_infile_msole_new(tree_->source, &error);
  if (!tree_->root) {
    messageOf(error);
    throw ServerError("Cannot open '" + display_ +
                      "': the file is damaged (its compound file structure cannot be read).");
  }
}

CompoundFile::~CompoundFile() = default;

std::vector<std::string> CompoundFile::streamPaths() const {
  std::vector<std::string> paths;
  walk(tree_->root, "", paths);
  return paths;
}

bool CompoundFile::hasStream(std::string_view path) const {
  Ref<GsfInput> input(childAt(tree_->root, path));
  return input.p && !isStorage(input.p);
}

std::string CompoundFile::readStream(std::string_view path, size_t limit) const {
  Ref<GsfInput> input(childAt(tree_->root, path));
  if (!input.p || isStorage(input.p))
    throw ServerError("Cannot open '" + display_ + "': the file is damaged (the stream '" +
                      std::string(path) + "' is missing).");
  return readAll(input.p, limit);
}

namespace {

// Writes a new compound file through `fd` with `fill`, which puts the root's entries in and
// returns false on failure. The descriptor stays open.
void writeThrough(int fd, const std::string& display,
                  const std::function<bool(GsfOutfile*)>& fill) {
  initGsf();
  const std::string failed = "Cannot save '" + display + "': ";
  const int copy = ::dup(fd);
  FILE* file = copy >= 0 ? ::fdopen(copy, "wb") : nullptr;
  if (!file) {
    if (copy >= 0) ::close(copy);
    throw ServerError(failed + "the file cannot be written.");
  }
  // libgsf writes a sector at a time: with stdio's usual buffer of a block, a file of some
  // megabytes took a system call per 4 KB, which cost a save after every copy more than its
  // flush. 64 KB at a time makes sixteen calls per megabyte; a larger buffer is no faster and
  // raises a save's peak memory by its size.
  constexpr size_t kBuffer = size_t{64} << 10;
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kBuffer]);
  if (buffer) std::setvbuf(file, buffer.get(), _IOFBF, kBuffer);
  bool ok = false;
  try {
    Ref<GsfOutput> sink(gsf_output_stdio_new_FILE(display.c_str(), file, TRUE));
    Ref<GsfOutfile> out(sink.p ? gsf_outfile_msole_new(sink.p) : nullptr);
    ok = out.p && fill(out.p);
    ok = out.p && gsf_output_close(GSF_OUTPUT(out.p)) && ok;
    ok = sink.p && (gsf_output_is_closed(sink.p) || gsf_output_close(sink.p)) && ok;
  } catch (...) {
    std::fclose(file);
    throw;
  }
  ok = std::fflush(file) == 0 && ok;
  ok = std::fclose(file) == 0 && ok;
  if (!ok) throw ServerError(failed + "the compound file could not be written.");
}

}  // namespace

void writeCompoundFile(const CompoundEntry& root, int fd, const std::string& display,
                       const std::map<const CompoundEntry*, StreamProducer>& produced) {
  writeThrough(fd, display, [&](GsfOutfile* file) {
    static const std::array<std::uint8_t, 16> none{};
    if (root.classId != none)
      gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(file), root.classId.data());
    writeEntry(file, root, produced);
    return true;
  });
}

void CompoundFile::writeTo(int fd,
                           const std::map<std::string, std::string, std::less<>>& replaced) const {
  writeThrough(fd, display_,
               [&](GsfOutfile* out) { return Copier(replaced).copy(tree_->root, out, ""); });
}

}  // namespace orv::cfb
