#include "server/ooxml/defined_names.h"

#include <limits>
#include <set>
#include <string>
#include <vector>

#include "server/ooxml/a1_references.h"
#include "server/ooxml/package.h"
#include "server/sheet_names.h"

namespace orv::ooxml {

namespace {

void shiftAttribute(pugi::xml_node node, const char* name, int position) {
  pugi::xml_attribute a = node.attribute(name);
  // Read wide, so that a number at the end of int's range moves without overflowing; one too
  // large even for that (read as the largest) names no sheet and is left as it is.
  if (!a) return;
  const long long value = a.as_llong();
  if (value >= position && value < std::numeric_limits<long long>::max()) a.set_value(value + 1);
}

std::string lowerName(std::string_view name) { return lowerAscii(name); }

}  // namespace

pugi::xml_node definedNamesOf(pugi::xml_node workbook) {
  for (pugi::xml_node child : workbook.children())
    if (localName(child.name()) == "definedNames") return child;
  return {};
}

void shiftSheetPositions(pugi::xml_node workbook, int position) {
  for (pugi::xml_node child : workbook.children()) {
    std::string_view local = localName(child.name());
    if (local == "bookViews") {
      for (pugi::xml_node view : child.children()) {
        shiftAttribute(view, "activeTab", position);
        shiftAttribute(view, "firstSheet", position);
      }
    } else if (local == "definedNames") {
      for (pugi::xml_node name : child.children()) shiftAttribute(name, "localSheetId", position);
    }
  }
}

void cloneNamesForCopy(pugi::xml_node workbook, int sourcePosition, int copyPosition,
                       std::string_view sourceName, std::string_view copyName) {
  pugi::xml_node names = definedNamesOf(workbook);
  if (!names) return;
  std::vector<pugi::xml_node> scoped, global;
  std::set<std::string> scopedNames;
  for (pugi::xml_node name : names.children()) {
    if (localName(name.name()) != "definedName") continue;
    pugi::xml_attribute local = name.attribute("localSheetId");
    if (local) {
      if (local.as_int() == sourcePosition) {
        scoped.push_back(name);
        scopedNames.insert(lowerName(name.attribute("name").value()));
      }
    } else if (refersToSheet(name.text().get(), sourceName)) {
      global.push_back(name);
    }
  }
  auto clone = [&](pugi::xml_node original) {
    pugi::xml_node copy = names.insert_copy_after(original, original);
    pugi::xml_attribute local = copy.attribute("localSheetId");
    if (!local) {
      // Scoped names come after the name attribute, as a spreadsheet application writes them.
      local = copy.insert_attribute_after("localSheetId", copy.attribute("name"));
      if (!local) local = copy.append_attribute("localSheetId");
    }
    local.set_value(copyPosition);
    std::string formula =
        a1References().retarget(copy.text().get(), sourceName, copyName, RetargetMode::Copy);
    copy.text().set(formula.c_str());
  };
  for (pugi::xml_node name : scoped) clone(name);
  for (pugi::xml_node name : global) {
    if (!scopedNames.count(lowerName(name.attribute("name").value()))) clone(name);
  }
}

bool renameInNames(pugi::xml_node workbook, std::string_view from, std::string_view to) {
  pugi::xml_node names = definedNamesOf(workbook);
  bool changed = false;
  for (pugi::xml_node name : names.children()) {
    if (localName(name.name()) != "definedName") continue;
    std::string_view text = name.text().get();
    if (text.find('!') == std::string_view::npos) continue;
    std::string formula = a1References().retarget(text, from, to, RetargetMode::Rename);
    if (formula != text) {
      name.text().set(formula.c_str());
      changed = true;
    }
  }
  return changed;
}

}  // namespace orv::ooxml
