#include "server/vba/vba_project.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "server/vba/compression.h"
#include "server/little_endian.h"
#include "server/unicode_chars.h"

namespace orv::vba {

using cfb::CompoundEntry;
using cfb::findChild;

namespace {

std::string lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

struct DirRecord {
  std::uint16_t id;
  std::string data;  // for PROJECTVERSION: the 6 bytes after its size field
};

std::vector<DirRecord> readDir(const std::string& d) {
  std::vector<DirRecord> out;
  size_t at = 0;
  while (at < d.size()) {
    if (d.size() - at < 6) throw VbaError{"its macro project's module list is cut short"};
    const std::uint16_t id = get16(d, at);
    size_t size = get32(d, at + 2);
    if (id == 0x0009) size = 6;  // PROJECTVERSION: Reserved u32 (=4), then 6 bytes
    if (d.size() - at - 6 < size) throw VbaError{"its macro project's module list is cut short"};
    out.push_back({id, d.substr(at + 6, size)});
    at += 6 + size;
    if (id == 0x0010) break;  // terminator
  }
  return out;
}

std::string writeDir(const std::vector<DirRecord>& records) {
  std::string out;
  for (const DirRecord& r : records) {
    add16(out, r.id);
    add32(out, r.id == 0x0009 ? 4 : static_cast<std::uint32_t>(r.data.size()));
    out += r.data;
  }
  return out;
}

std::string utf16(const std::string& ascii) {
  std::string out;
  for (char c : ascii) add16(out, static_cast<unsigned char>(c));
  return out;
}

// UTF-16LE text as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf8Of(std::string_view utf16le) {
  std::string out;
  for (size_t i = 0; i + 1 < utf16le.size(); i += 2) {
    std::uint32_t c = get16(utf16le, i);
    if (c >= 0xD800 && c < 0xDC00 && i + 3 < utf16le.size() && get16(utf16le, i + 2) >= 0xDC00 &&
        get16(utf16le, i + 2) < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (get16(utf16le, i + 2) - 0xDC00);
      i += 2;
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;
    }
    appendUtf8(out, static_cast<std::int32_t>(c));
  }
  return out;
}

// Whether the MODULE record starting at dir[at] (its MODULENAME) names `name` (UTF-8), ignoring
// ASCII case. Names are in the project's code page, so the record's Unicode form is compared
// when it has one.
bool namesModule(const std::vector<DirRecord>& dir, size_t at, std::string_view name) {
  if (at + 1 < dir.size() && dir[at + 1].id == 0x0047)
    return lower(utf8Of(dir[at + 1].data)) == lower(std::string(name));
  return lower(dir[at].data) == lower(std::string(name));
}

size_t findModule(const std::vector<DirRecord>& dir, std::string_view name) {
  for (size_t i = 0; i < dir.size(); ++i)
    if (dir[i].id == 0x0019 && namesModule(dir, i, name)) return i;
  return dir.size();
}

std::vector<DirRecord> readProjectDir(const CompoundEntry& project) {
  const CompoundEntry* vba = findChild(project, "VBA");
  const CompoundEntry* dir = vba ? findChild(*vba, "dir") : nullptr;
  if (!dir || dir->storage) throw VbaError{"its macro project has no module list"};
  return readDir(decompressVba(dir->data));
}

CompoundEntry& child(CompoundEntry& storage, std::string_view name) {
  if (CompoundEntry* found = findChild(storage, name)) return *found;
  throw VbaError{"its macro project has no '" + std::string(name) + "'"};
}

}  // namespace

std::set<std::string> vbaTakenNames(const CompoundEntry& project) {
  std::set<std::string> taken;
  const CompoundEntry* vba = findChild(project, "VBA");
  const CompoundEntry* dir = vba ? findChild(*vba, "dir") : nullptr;
  if (!dir) return taken;
  for (const CompoundEntry& e : project.children) taken.insert(lower(e.name));
  for (const CompoundEntry& e : vba->children) taken.insert(lower(e.name));
  try {
    for (const DirRecord& r : readDir(decompressVba(dir->data)))
      if (r.id == 0x0019 || r.id == 0x0016 || r.id == 0x0004) taken.insert(lower(r.data));
  } catch (const VbaError&) {
  }
  return taken;
}

bool hasModule(const CompoundEntry& project, std::string_view name) {
  const std::vector<DirRecord> dir = readProjectDir(project);
  return findModule(dir, name) != dir.size();
}

void addDocumentModule(CompoundEntry& project, const std::string& source,
                       const std::string& module) {
  CompoundEntry copy = project;  // changed here, swapped in at the end
  CompoundEntry& vba = child(copy, "VBA");
  CompoundEntry& dirStream = child(vba, "dir");
  std::vector<DirRecord> dir = readDir(decompressVba(dirStream.data));

  // The source's MODULE record: from its MODULENAME (0x0019) to its terminator (0x002B).
  size_t first = dir.size(), last = dir.size(), count = dir.size(), end = dir.size();
  for (size_t i = 0; i < dir.size(); ++i) {
    if (dir[i].id == 0x000F) count = i;
    if (dir[i].id == 0x0010) end = i;
  }
  first = findModule(dir, source);
  for (last = first; last < dir.size() && dir[last].id != 0x002B; ++last) {
  }
  if (first == dir.size() || last == dir.size() || count == dir.size() || end == dir.size() ||
      dir[count].data.size() != 2)
    throw VbaError{"its macro project has no module for the sheet"};
  // The source's names as the project writes them: in its code page, and its stream's name as
  // the compound file gives it (Unicode).
  const std::string sourceName = dir[first].data;
  std::string streamName = sourceName;
  std::uint32_t offset = 0;
  std::vector<DirRecord> added;
  for (size_t i = first; i <= last; ++i) {
    DirRecord r = dir[i];
    switch (r.id) {
      case 0x0019:
        r.data = module;
        break;
      case 0x0047:
        r.data = utf16(module);
        break;
      case 0x001A:
        streamName = r.data, r.data = module;
        break;
      case 0x0032:
        streamName = utf8Of(r.data), r.data = utf16(module);
        break;
      case 0x0031:
        if (r.data.size() != 4) throw VbaError{"its macro project's module list is damaged"};
        offset = get32(r.data, 0);
        put32(r.data, 0, 0);
        break;
      case 0x002C:
        r.data = std::string("\xFF\xFF", 2);
        break;
      default:
        break;
    }
    added.push_back(std::move(r));
  }
  if (std::none_of(added.begin(), added.end(), [](const DirRecord& r) { return r.id == 0x0022; }))
    throw VbaError{"the sheet's macro module is not a document module"};
  put16(dir[count].data, 0, get16(dir[count].data, 0) + 1u);
  dir.insert(dir.begin() + static_cast<std::ptrdiff_t>(end), added.begin(), added.end());

  // The module's code, with its name changed.
  const CompoundEntry& sourceStream = child(vba, streamName);
  if (offset > sourceStream.data.size()) throw VbaError{"a macro module is cut short"};
  std::string code = decompressVba(std::string_view(sourceStream.data).substr(offset));
  const std::string key = "attribute vb_name = \"";
  const size_t at = lower(code.substr(0, 256)).find(key);
  const size_t valueAt = at + key.size();
  const size_t close = at == std::string::npos ? at : code.find('"', valueAt);
  if (close == std::string::npos) throw VbaError{"the sheet's macro module has no name line"};
  code.replace(valueAt, close - valueAt, module);

  // PROJECT: a Document= line after the last module line; a [Workspace] line.
  CompoundEntry& projectText = child(copy, "PROJECT");
  std::string& text = projectText.data;
  const std::string sourceLine = "Document=" + sourceName + "/";
  size_t line = 0, insertAt = std::string::npos, docValue = std::string::npos;
  for (size_t next; line < text.size(); line = next) {
    next = text.find("\r\n", line);
    next = next == std::string::npos ? text.size() : next + 2;
    const std::string l = lower(text.substr(line, next - line));
    for (const char* item : {"document=", "module=", "class=", "baseclass=", "package="})
      if (l.rfind(item, 0) == 0) insertAt = next;
    if (l.rfind(lower(sourceLine), 0) == 0) docValue = line + sourceLine.size();
    if (l.rfind("[workspace]", 0) == 0) break;
  }
  if (insertAt == std::string::npos || docValue == std::string::npos)
    throw VbaError{"its macro project does not list the sheet's module"};
  const size_t valueEnd = text.find("\r\n", docValue);
  const std::string value = text.substr(docValue, valueEnd - docValue);
  const size_t workspace = lower(text).find("[workspace]");
  if (workspace != std::string::npos) {
    if (!text.empty() && text.back() != '\n') text += "\r\n";
    text += module + "=0, 0, 0, 0, C\r\n";
  }
  text.insert(insertAt, "Document=" + module + "/" + value + "\r\n");

  if (CompoundEntry* map = findChild(copy, "PROJECTwm")) {
    if (map->data.size() < 2) throw VbaError{"its macro project's name map is damaged"};
    map->data.insert(map->data.size() - 2, module + '\0' + utf16(module) + std::string(2, '\0'));
  }

  dirStream.data = compressVba(writeDir(dir));
  CompoundEntry moduleStream;
  moduleStream.name = module;
  moduleStream.data = compressVba(code);
  vba.children.push_back(std::move(moduleStream));
  // Office recompiles a project whose cache version does not match its own.
  child(vba, "_VBA_PROJECT").data = std::string("\xCC\x61\xFF\xFF\x00\x01\x00", 7);
  // A signature covers the modules: a changed project keeps none.
  std::erase_if(copy.children, [](const CompoundEntry& e) {
    return e.name.rfind("\005DigitalSignature", 0) == 0;
  });
  project = std::move(copy);
}

}  // namespace orv::vba
