#include "server/ooxml/tables.h"

#include <cstdint>

#include "server/ooxml/defined_names.h"
#include "server/ooxml/formula_text.h"
#include "server/server_error.h"
#include "server/unicode_chars.h"

namespace orv::ooxml {

namespace {

using formula_text::isAsciiLetter;
using formula_text::isDigit;
using formula_text::isNameByte;
using formula_text::looksLikeCellRef;

constexpr size_t npos = std::string_view::npos;

// Past the quoted token opening at `i` (doubled quotes are part of it); npos when it never closes.
size_t pastQuoted(std::string_view f, size_t i) {
  const char quote = f[i];
  for (size_t j = i + 1;;) {
    const size_t q = f.find(quote, j);
    if (q == npos) return npos;
    if (q + 1 < f.size() && f[q + 1] == quote) {
      j = q + 2;
      continue;
    }
    return q + 1;
  }
}

// Past the bracket group opening at `i`, where an apostrophe escapes the next character; npos
// when the brackets do not balance.
size_t pastBrackets(std::string_view f, size_t i) {
  int depth = 0;
  for (size_t j = i; j < f.size(); ++j) {
    if (f[j] == '\'') {
      ++j;
    } else if (f[j] == '[') {
      ++depth;
    } else if (f[j] == ']' && --depth == 0) {
      return j + 1;
    }
  }
  return npos;
}

}  // namespace

std::string foldName(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (std::size_t i = 0; i < name.size();) {
    const std::int32_t c = nextUtf8(name, i);
    appendUtf8(out, foldCase(c < 0 ? 0xFFFD : c));
  }
  return out;
}

void TableRegistry::addTable(long id, std::string_view name) {
  highestId_ = std::max(highestId_, id);
  addName(name);
}

void TableRegistry::addName(std::string_view name) {
  if (!name.empty()) names_.insert(foldName(name));
}

bool TableRegistry::uses(std::string_view name) const { return names_.count(foldName(name)) > 0; }

long TableRegistry::freshId() { return ++highestId_; }

std::string TableRegistry::freshName(std::string_view source) {
  // "AB" or "R" followed by digits would read as a cell: such a name takes an underscore first.
  std::string base(source);
  if (looksLikeCellRef(base + "2")) base += '_';
  long& next = tried_.try_emplace(foldName(base), 2).first->second;
  for (;; ++next) {
    std::string candidate = base + std::to_string(next);
    if (looksLikeCellRef(candidate) || !names_.insert(foldName(candidate)).second) continue;
    ++next;
    return candidate;
  }
}

void collectTables(Package& pkg, const std::vector<std::string>& tableParts,
                   pugi::xml_node workbook, TableRegistry& registry) {
  for (const std::string& part : tableParts) {
    const bool wasParsed = pkg.isParsed(part);
    try {
      pugi::xml_node table = pkg.xml(part).document_element();
      registry.addTable(
          table.attribute("id").as_llong() > 0
              ? static_cast<long>(std::min<long long>(table.attribute("id").as_llong(), 0x7FFFFFFF))
              : 0,
          table.attribute("displayName").value());
      registry.addName(table.attribute("name").value());
    } catch (const ServerError&) {
    }
    if (!wasParsed) pkg.release(part);
  }
  for (pugi::xml_node name : definedNamesOf(workbook).children())
    if (localName(name.name()) == "definedName") registry.addName(name.attribute("name").value());
}

void TableRenames::add(std::string_view from, std::string_view to) {
  if (!from.empty()) byFolded_[foldName(from)] = std::string(to);
}

const std::string* TableRenames::find(std::string_view name) const {
  auto it = byFolded_.find(foldName(name));
  return it == byFolded_.end() ? nullptr : &it->second;
}

std::optional<long> TableRenames::findId(long id) const {
  auto it = ids_.find(id);
  if (it == ids_.end()) return std::nullopt;
  return it->second;
}

std::string renameTableRefs(std::string_view f, const TableRenames& renames) {
  std::string out;
  size_t copied = 0;
  for (size_t i = 0; i < f.size();) {
    const char c = f[i];
    if (c == '"' || c == '\'') {
      const size_t end = pastQuoted(f, i);
      if (end == npos) return std::string(f);
      i = end;
    } else if (c == '[') {
      // A book index or a structured reference without a table (inside a table).
      const size_t end = pastBrackets(f, i);
      if (end == npos) return std::string(f);
      i = end;
    } else if (c == '#' || c == '$') {
      // Error constants and absolute addresses hold no table names.
      for (++i; i < f.size() && isNameByte(f[i]);) ++i;
    } else if (isNameByte(c)) {
      const size_t start = i;
      while (i < f.size() && isNameByte(f[i])) ++i;
      const std::string_view run = f.substr(start, i - start);
      const char before = start > 0 ? f[start - 1] : '\0';
      const char after = i < f.size() ? f[i] : '\0';
      // "Sheet1!Name" and "[1]!Name" are names, "SUM(" a function, "Sheet1!" a sheet.
      const bool qualified = before == '!' || before == ']';
      const bool table = after == '[' || (after != '(' && after != '!' && after != ':');
      if (!qualified && table && !isDigit(run[0])) {
        if (const std::string* to = renames.find(run)) {
          out.append(f, copied, start - copied);
          out += *to;
          copied = i;
        }
      }
      if (after == '[') {
        const size_t end = pastBrackets(f, i);
        if (end == npos) return std::string(f);
        i = end;
      }
    } else {
      ++i;
    }
  }
  if (copied == 0) return std::string(f);
  out.append(f, copied);
  return out;
}

void renewTable(pugi::xml_document& doc, TableRegistry& registry, TableRenames& renames) {
  pugi::xml_node table = doc.document_element();
  pugi::xml_attribute display = table.attribute("displayName");
  pugi::xml_attribute name = table.attribute("name");
  const std::string source = display ? display.value() : name.value();
  const std::string fresh = registry.freshName(source.empty() ? "Table" : source);
  renames.add(source, fresh);
  if (name) {
    renames.add(name.value(), fresh);
    name.set_value(fresh.c_str());
  }
  if (display) display.set_value(fresh.c_str());
  const long freshId = registry.freshId();
  const std::string id = std::to_string(freshId);
  if (pugi::xml_attribute a = table.attribute("id")) {
    renames.addId(static_cast<long>(a.as_llong()), freshId);
    a.set_value(id.c_str());
  } else {
    table.prepend_attribute("id").set_value(id.c_str());
  }
}

bool renameTablesInScopedNames(pugi::xml_node workbook, int position, const TableRenames& renames) {
  if (renames.empty()) return false;
  bool changed = false;
  for (pugi::xml_node name : definedNamesOf(workbook).children()) {
    if (localName(name.name()) != "definedName") continue;
    pugi::xml_attribute local = name.attribute("localSheetId");
    if (!local || local.as_int() != position) continue;
    pugi::xml_node text = name.first_child();
    if (!text || text.type() != pugi::node_pcdata) continue;
    std::string out = renameTableRefs(text.value(), renames);
    if (out != text.value()) {
      text.set_value(out.c_str());
      changed = true;
    }
  }
  return changed;
}

}  // namespace orv::ooxml
