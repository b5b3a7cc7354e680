#include "server/biff/compound_file.h"

#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-memory.h>
#include <gsf/gsf-outfile-msole.h>
#include <gsf/gsf-output-memory.h>
#include <gsf/gsf-utils.h>

#include <algorithm>
#include <mutex>

#include "server/server_error.h"

namespace orv::biff {

namespace {

void initialise() {
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

// Releases a GObject reference at the end of a scope.
struct Unref {
  void operator()(void* object) const {
    if (object) g_object_unref(object);
  }
};
template <typename T>
using Ref = std::unique_ptr<T, Unref>;

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
    if (!child || !name) damaged(display, "an entry of its directory cannot be read");
    CompoundEntry entry;
    entry.name = name;
    if (GSF_IS_INFILE(child.get()) && gsf_infile_num_children(GSF_INFILE(child.get())) >= 0) {
      entry.storage = true;
      readEntry(GSF_INFILE(child.get()), entry, display, depth + 1);
    } else {
      const gsf_off_t size = gsf_input_size(child.get());
      if (size < 0) damaged(display, "a stream has no size");
      entry.data.resize(static_cast<size_t>(size));
      size_t at = 0;
      while (at < entry.data.size()) {
        const size_t chunk = std::min<size_t>(entry.data.size() - at, size_t{1} << 20);
        if (!gsf_input_read(child.get(), chunk, reinterpret_cast<guint8*>(entry.data.data() + at)))
          damaged(display, "the stream '" + entry.name + "' is cut short");
        at += chunk;
      }
    }
    into.children.push_back(std::move(entry));
  }
}

void writeEntry(GsfOutfile* storage, const CompoundEntry& entry) {
  for (const CompoundEntry& child : entry.children) {
    Ref<GsfOutput> out(gsf_outfile_new_child(storage, child.name.c_str(), child.storage));
    if (!out)
      throw ServerError("The workbook could not be written: the entry '" + child.name +
                        "' cannot be made.");
    if (child.storage) {
      static const std::array<std::uint8_t, 16> none{};
      if (child.classId != none)
        gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(out.get()), child.classId.data());
      writeEntry(GSF_OUTFILE(out.get()), child);
    } else if (!child.data.empty() &&
               !gsf_output_write(out.get(), child.data.size(),
                                 reinterpret_cast<const guint8*>(child.data.data()))) {
      throw ServerError("The workbook could not be written: the stream '" + child.name +
                        "' cannot be stored.");
    }
    gsf_output_close(out.get());
  }
}

}  // namespace

CompoundEntry readCompoundFile(std::string_view bytes, const std::string& display) {
  initialise();
  Ref<GsfInput> input(gsf_input_memory_new(reinterpret_cast<const guint8*>(bytes.data()),
                                           static_cast<gsf_off_t>(bytes.size()), FALSE));
  GError* error = nullptr;
  Ref<GsfInfile> root(gsf_infile_msole_new(input.get(), &error));
  if (error) g_error_free(error);
  if (!root) damaged(display, "its compound-file structure cannot be read");
  CompoundEntry entry;
  entry.storage = true;
  readEntry(root.get(), entry, display, 0);
  return entry;
}

std::string writeCompoundFile(const CompoundEntry& root) {
  initialise();
  Ref<GsfOutput> memory(gsf_output_memory_new());
  {
    Ref<GsfOutfile> file(gsf_outfile_msole_new(memory.get()));
    static const std::array<std::uint8_t, 16> none{};
    if (root.classId != none)
      gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(file.get()), root.classId.data());
    writeEntry(file.get(), root);
    if (!gsf_output_close(GSF_OUTPUT(file.get())))
      throw ServerError("The workbook could not be written: its compound file cannot be closed.");
  }
  const guint8* bytes = gsf_output_memory_get_bytes(GSF_OUTPUT_MEMORY(memory.get()));
  const gsf_off_t size = gsf_output_size(memory.get());
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

}  // namespace orv::biff
