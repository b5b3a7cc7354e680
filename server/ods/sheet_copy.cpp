#include "server/ods/sheet_copy.h"

#include <charconv>
#include <map>

#include "server/ods/open_formula.h"

namespace orv::ods {

namespace {

constexpr std::string_view kAnonymousRange = "__Anonymous_Sheet_DB__";

long long repeatCount(pugi::xml_attribute a) {
  long long n = 1;
  const std::string_view v = a.value();
  if (!v.empty()) std::from_chars(v.data(), v.data() + v.size(), n);
  return n < 1 ? 1 : n;
}

// `base` with the first free " n" or "_n" ending; recorded as used.
std::string freshValue(std::set<std::string>& used, const std::string& base, const char* joint) {
  for (long n = 2;; ++n) {
    std::string candidate = base + joint + std::to_string(n);
    if (used.insert(candidate).second) return candidate;
  }
}

// The xml:id, draw:id and draw:name values of the whole document: a walk over every element,
// made only when a copy carries such values.
void gatherIds(Content& content, UsedIds& used) {
  const Prefixes& ns = content.ns();
  const std::string drawId = Prefixes::qualified(ns.draw, "id");
  const std::string drawName = Prefixes::qualified(ns.draw, "name");
  forEachElement(content.doc().document_element(), [&](pugi::xml_node n) {
    for (pugi::xml_attribute a : n.attributes()) {
      const std::string_view name = a.name();
      if (name == "xml:id" || name == drawId) used.ids.insert(a.value());
      if (name == drawName) used.drawNames.insert(a.value());
    }
  });
  used.idsGathered = true;
}

}  // namespace

void gatherAllIds(Content& content, UsedIds& used) {
  if (!used.idsGathered) gatherIds(content, used);
}

namespace {

// The names of the workbook's validations, which are listed in one place.
void gatherValidations(Content& content, UsedIds& used) {
  const Prefixes& ns = content.ns();
  const std::string list = Prefixes::qualified(ns.table, "content-validations");
  const std::string name = Prefixes::qualified(ns.table, "name");
  for (pugi::xml_node v : content.spreadsheet().child(list.c_str()).children())
    if (pugi::xml_attribute a = v.attribute(name.c_str())) used.validations.insert(a.value());
  used.validationsGathered = true;
}

}  // namespace

TableCopy copyTable(Content& content, size_t sourceIndex, const std::string& copyName,
                    UsedIds& used,
                    const std::function<std::string(const std::string&)>& cloneObject) {
  const Prefixes& ns = content.ns();
  const std::string sourceName = content.tableName(sourceIndex);
  const std::string nameAttr = Prefixes::qualified(ns.table, "name");
  pugi::xml_node source = content.tables().at(sourceIndex);
  pugi::xml_node spreadsheet = content.spreadsheet();

  TableCopy result;
  pugi::xml_node copy = spreadsheet.insert_copy_after(source, content.tables().back());
  content.tables().push_back(copy);
  result.table = copy;
  copy.attribute(nameAttr.c_str()).set_value(copyName.c_str());
  retargetTree(ns, copy, sourceName, copyName, RetargetMode::Copy);

  const std::string drawId = Prefixes::qualified(ns.draw, "id");
  const std::string drawName = Prefixes::qualified(ns.draw, "name");
  const std::string href = Prefixes::qualified(ns.xlink, "href");
  const std::string validationName = Prefixes::qualified(ns.table, "content-validation-name");
  const std::string cell = Prefixes::qualified(ns.table, "table-cell");
  const std::string shapes = Prefixes::qualified(ns.table, "shapes");
  const std::string columnsRepeated = Prefixes::qualified(ns.table, "number-columns-repeated");
  const std::string rowsRepeated = Prefixes::qualified(ns.table, "number-rows-repeated");
  const std::string valueType = Prefixes::qualified(ns.office, "value-type");
  const std::string formula = Prefixes::qualified(ns.table, "formula");
  const std::string paragraph = Prefixes::qualified(ns.text, "p");
  const auto isEmptyCell = [&](pugi::xml_node c) {
    return !c.attribute(valueType.c_str()) && !c.attribute(formula.c_str()) &&
           !c.child(paragraph.c_str());
  };
  if (!used.idsGathered && source.find_node([&](pugi::xml_node n) {
        return n.attribute("xml:id") || n.attribute(drawId.c_str()) ||
               n.attribute(drawName.c_str());
      }))
    gatherIds(content, used);
  if (!used.validationsGathered) gatherValidations(content, used);

  std::map<std::string, std::string> newIds;
  std::set<std::string> validationsUsed;
  std::vector<pugi::xml_node> objects;
  forEachElement(copy, [&](pugi::xml_node n) {
    for (const char* idName : {drawId.c_str(), "xml:id"}) {
      pugi::xml_attribute a = n.attribute(idName);
      if (!a) continue;
      auto [it, added] = newIds.try_emplace(a.value());
      if (added) it->second = freshValue(used.ids, a.value(), "_");
      a.set_value(it->second.c_str());
    }
    if (pugi::xml_attribute a = n.attribute(drawName.c_str());
        a && !std::string_view(a.value()).empty()) {
      if (used.drawNames.count(a.value()))
        a.set_value(freshValue(used.drawNames, a.value(), " ").c_str());
    }
    if (pugi::xml_attribute a = n.attribute(validationName.c_str()))
      validationsUsed.insert(a.value());
    if (Prefixes::is(n, ns.draw, "object")) objects.push_back(n);
    if (n.name() == cell && !isEmptyCell(n)) {
      result.cells += repeatCount(n.attribute(columnsRepeated.c_str())) *
                      repeatCount(n.parent().attribute(rowsRepeated.c_str()));
    }
    const std::string_view parent = n.parent().name();
    if (std::string_view(n.name()).starts_with(ns.draw + ":") &&
        (parent == shapes || parent == cell))
      ++result.objects;
  });
  // Connectors name the shapes they join by id.
  for (const char* local : {"start-shape", "end-shape"}) {
    const std::string attr = Prefixes::qualified(ns.draw, local);
    forEachElement(copy, [&](pugi::xml_node n) {
      pugi::xml_attribute a = n.attribute(attr.c_str());
      if (!a) return;
      if (auto it = newIds.find(a.value()); it != newIds.end()) a.set_value(it->second.c_str());
    });
  }

  // Embedded objects (charts) get sub-documents of their own, and their pictures follow.
  for (pugi::xml_node object : objects) {
    pugi::xml_attribute link = object.attribute(href.c_str());
    const std::string folder = objectFolder(link.value());
    if (folder.empty()) continue;
    const std::string fresh = cloneObject(folder);
    std::string value = link.value();
    value.replace(value.find(folder), folder.size(), fresh);
    link.set_value(value.c_str());
    const std::string replacement = "ObjectReplacements/" + folder;
    for (pugi::xml_node sibling : object.parent().children()) {
      pugi::xml_attribute image = sibling.attribute(href.c_str());
      if (!Prefixes::is(sibling, ns.draw, "image") || !image) continue;
      std::string target = image.value();
      const size_t at = target.find(replacement);
      if (at == std::string::npos || at + replacement.size() != target.size()) continue;
      target.replace(at, replacement.size(), "ObjectReplacements/" + fresh);
      image.set_value(target.c_str());
    }
  }

  // Each validation the copy's cells use gets a clone that names the copy.
  if (!validationsUsed.empty()) {
    pugi::xml_node list =
        spreadsheet.child(Prefixes::qualified(ns.table, "content-validations").c_str());
    std::map<std::string, std::string> renamed;
    for (const std::string& name : validationsUsed) {
      pugi::xml_node original = list.find_child_by_attribute(nameAttr.c_str(), name.c_str());
      if (!original) continue;
      pugi::xml_node clone = list.insert_copy_after(original, list.last_child());
      std::string fresh;
      for (long n = 1;; ++n) {
        fresh = "val" + std::to_string(n);
        if (used.validations.insert(fresh).second) break;
      }
      clone.attribute(nameAttr.c_str()).set_value(fresh.c_str());
      retargetTree(ns, clone, sourceName, copyName, RetargetMode::Copy);
      renamed[name] = fresh;
      result.clones.push_back(clone);
    }
    forEachElement(copy, [&](pugi::xml_node n) {
      pugi::xml_attribute a = n.attribute(validationName.c_str());
      if (!a) return;
      if (auto it = renamed.find(a.value()); it != renamed.end()) a.set_value(it->second.c_str());
    });
  }

  // The sheet's autofilter is an anonymous database range named after the sheet's position.
  pugi::xml_node ranges =
      spreadsheet.child(Prefixes::qualified(ns.table, "database-ranges").c_str());
  const std::string anonymous = std::string(kAnonymousRange) + std::to_string(sourceIndex);
  const std::string target = Prefixes::qualified(ns.table, "target-range-address");
  if (pugi::xml_node range = ranges.find_child_by_attribute(nameAttr.c_str(), anonymous.c_str());
      range && addressesName(range.attribute(target.c_str()).value(), sourceName)) {
    pugi::xml_node clone = ranges.insert_copy_after(range, ranges.last_child());
    const std::string name =
        std::string(kAnonymousRange) + std::to_string(content.tables().size() - 1);
    clone.attribute(nameAttr.c_str()).set_value(name.c_str());
    retargetTree(ns, clone, sourceName, copyName, RetargetMode::Copy);
    result.clones.push_back(clone);
  }
  return result;
}

}  // namespace orv::ods
