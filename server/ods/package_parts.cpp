#include "server/ods/package_parts.h"

#include <charconv>

#include "server/ods/content.h"
#include "server/server_error.h"
#include "server/sheet_names.h"

namespace orv::ods {

namespace {

std::string prefixOf(pugi::xml_node root, std::string_view uri, const char* fallback) {
  for (pugi::xml_attribute a : root.attributes()) {
    const std::string_view name = a.name();
    if (name.starts_with("xmlns:") && a.value() == uri) return std::string(name.substr(6));
  }
  return fallback;
}

constexpr std::string_view kManifestNs = "urn:oasis:names:tc:opendocument:xmlns:manifest:1.0";

// The view settings of every table: config:config-item-map-named config:name="Tables" (its
// entries are named after the tables).
pugi::xml_node tablesMap(pugi::xml_document& settings) {
  const Prefixes ns(settings.document_element());
  const std::string mapNamed = Prefixes::qualified(ns.config, "config-item-map-named");
  const std::string name = Prefixes::qualified(ns.config, "name");
  pugi::xml_node found;
  forEachElement(settings.document_element(), [&](pugi::xml_node n) {
    if (!found && n.name() == mapNamed &&
        std::string_view(n.attribute(name.c_str()).value()) == "Tables")
      found = n;
  });
  return found;
}

void addTo(pugi::xml_attribute a, long long delta) {
  long long value = 0;
  const std::string_view v = a.value();
  const auto parsed = std::from_chars(v.data(), v.data() + v.size(), value);
  if (parsed.ec != std::errc() || parsed.ptr != v.data() + v.size()) return;
  a.set_value(std::to_string(value + delta).c_str());
}

}  // namespace

Manifest::Manifest(std::string_view xml, const std::string& display) {
  const pugi::xml_parse_result parsed = doc_.load_buffer(xml.data(), xml.size(), kParseOptions);
  pugi::xml_node root = doc_.document_element();
  prefix_ = prefixOf(root, kManifestNs, "manifest");
  if (!parsed || !Prefixes::is(root, prefix_, "manifest"))
    throw ServerError("Cannot open '" + display +
                      "': the file is damaged (its list of parts, META-INF/manifest.xml, cannot "
                      "be read).");
}

bool Manifest::encrypted() const {
  const std::string data = Prefixes::qualified(prefix_, "encryption-data");
  return doc_.document_element().find_node([&](pugi::xml_node n) { return n.name() == data; });
}

pugi::xml_node Manifest::entry(std::string_view path) const {
  if (!indexed_) {
    const std::string fullPath = Prefixes::qualified(prefix_, "full-path");
    for (pugi::xml_node e : doc_.document_element().children())
      if (pugi::xml_attribute a = e.attribute(fullPath.c_str())) byPath_.try_emplace(a.value(), e);
    indexed_ = true;
  }
  auto it = byPath_.find(std::string(path));
  return it == byPath_.end() ? pugi::xml_node() : it->second;
}

std::string Manifest::mediaType(std::string_view path) const {
  return entry(path).attribute(Prefixes::qualified(prefix_, "media-type").c_str()).value();
}

bool Manifest::lists(std::string_view path) const { return entry(path); }

std::vector<std::string> Manifest::paths() const {
  const std::string fullPath = Prefixes::qualified(prefix_, "full-path");
  std::vector<std::string> out;
  for (pugi::xml_node e : doc_.document_element().children())
    if (pugi::xml_attribute a = e.attribute(fullPath.c_str())) out.emplace_back(a.value());
  return out;
}

void Manifest::add(const std::string& path, const std::string& mediaType) {
  if (lists(path)) return;
  pugi::xml_node e =
      doc_.document_element().append_child(Prefixes::qualified(prefix_, "file-entry").c_str());
  e.append_attribute(Prefixes::qualified(prefix_, "full-path").c_str()).set_value(path.c_str());
  e.append_attribute(Prefixes::qualified(prefix_, "media-type").c_str())
      .set_value(mediaType.c_str());
  byPath_.try_emplace(path, e);
}

bool Manifest::remove(std::string_view path) {
  pugi::xml_node e = entry(path);
  if (!e) return false;
  e.parent().remove_child(e);
  // A path listed twice is found at its next entry.
  byPath_.clear();
  indexed_ = false;
  return true;
}

std::string Manifest::serialize() const { return serializeXml(doc_); }

bool cloneTableSettings(pugi::xml_document& settings, std::string_view source,
                        std::string_view copy) {
  pugi::xml_node map = tablesMap(settings);
  if (!map) return false;
  const Prefixes ns(settings.document_element());
  const std::string name = Prefixes::qualified(ns.config, "name");
  for (pugi::xml_node entry : map.children()) {
    if (entry.attribute(name.c_str()).value() != source) continue;
    pugi::xml_node clone = map.insert_copy_after(entry, map.last_child());
    clone.attribute(name.c_str()).set_value(std::string(copy).c_str());
    return true;
  }
  return false;
}

bool renameTableSettings(pugi::xml_document& settings, std::string_view from, std::string_view to) {
  pugi::xml_node map = tablesMap(settings);
  const Prefixes ns(settings.document_element());
  const std::string name = Prefixes::qualified(ns.config, "name");
  bool changed = false;
  for (pugi::xml_node entry : map.children()) {
    pugi::xml_attribute a = entry.attribute(name.c_str());
    if (a && sameSheetName(a.value(), from)) {
      a.set_value(std::string(to).c_str());
      changed = true;
    }
  }
  // The view names its active table by name too.
  const std::string item = Prefixes::qualified(ns.config, "config-item");
  forEachElement(settings.document_element(), [&](pugi::xml_node n) {
    if (n.name() != item || std::string_view(n.attribute(name.c_str()).value()) != "ActiveTable")
      return;
    if (sameSheetName(n.text().get(), from)) {
      n.text().set(std::string(to).c_str());
      changed = true;
    }
  });
  return changed;
}

bool addStatistics(pugi::xml_document& meta, long long tables, long long cells, long long objects) {
  const Prefixes ns(meta.document_element());
  const std::string statistic = Prefixes::qualified(ns.meta, "document-statistic");
  pugi::xml_node found =
      meta.document_element().find_node([&](pugi::xml_node n) { return n.name() == statistic; });
  if (!found) return false;
  addTo(found.attribute(Prefixes::qualified(ns.meta, "table-count").c_str()), tables);
  addTo(found.attribute(Prefixes::qualified(ns.meta, "cell-count").c_str()), cells);
  addTo(found.attribute(Prefixes::qualified(ns.meta, "object-count").c_str()), objects);
  return true;
}

bool isDocumentSignature(std::string_view entry) {
  if (!entry.starts_with("META-INF/")) return false;
  const std::string_view file = entry.substr(9);
  return file.find("signatures") != std::string_view::npos && file != "macrosignatures.xml";
}

}  // namespace orv::ods
