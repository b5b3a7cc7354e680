#include "server/ooxml/app_properties.h"

#include <algorithm>
#include <string>
#include <vector>

#include "server/ooxml/package.h"

namespace orv::ooxml {

namespace {

pugi::xml_node childNamed(pugi::xml_node node, std::string_view local) {
  for (pugi::xml_node child : node.children())
    if (localName(child.name()) == local) return child;
  return {};
}

struct Titles {
  pugi::xml_node vector;              // TitlesOfParts/vt:vector
  std::vector<pugi::xml_node> items;  // its vt:lpstr children
  pugi::xml_node pairsVector;         // HeadingPairs/vt:vector
  // For each group: the vt:i4 (or vt:i2) node holding its size.
  std::vector<pugi::xml_node> counts;
};

bool readTitles(pugi::xml_document& app, Titles& t) {
  pugi::xml_node props = app.document_element();
  t.vector = childNamed(childNamed(props, "TitlesOfParts"), "vector");
  t.pairsVector = childNamed(childNamed(props, "HeadingPairs"), "vector");
  if (!t.vector || !t.pairsVector) return false;
  for (pugi::xml_node item : t.vector.children())
    if (item.type() == pugi::node_element) t.items.push_back(item);
  // HeadingPairs alternates a variant holding the group's title and one holding its size.
  bool countNext = false;
  for (pugi::xml_node variant : t.pairsVector.children()) {
    if (variant.type() != pugi::node_element) continue;
    if (countNext) {
      pugi::xml_node number = variant.first_child();
      while (number && number.type() != pugi::node_element) number = number.next_sibling();
      if (!number) return false;
      t.counts.push_back(number);
    }
    countNext = !countNext;
  }
  return true;
}

}  // namespace

bool addSheetTitle(pugi::xml_document& app, std::string_view sourceName, std::string_view afterName,
                   std::string_view copyName) {
  Titles t;
  if (!readTitles(app, t)) return false;
  size_t start = 0;
  for (pugi::xml_node count : t.counts) {
    const size_t size = static_cast<size_t>(std::max(0, count.text().as_int()));
    const size_t end = std::min(t.items.size(), start + size);
    size_t source = end, after = end;
    for (size_t i = start; i < end; ++i) {
      std::string_view text = t.items[i].text().get();
      if (text == sourceName && source == end) source = i;
      if (text == afterName) after = i;
    }
    if (source != end) {
      pugi::xml_node anchor = t.items[after != end ? after : end - 1];
      pugi::xml_node item = t.vector.insert_child_after(t.items[source].name(), anchor);
      item.text().set(std::string(copyName).c_str());
      count.text().set(static_cast<int>(size + 1));
      pugi::xml_attribute total = t.vector.attribute("size");
      if (total) total.set_value(static_cast<int>(t.items.size() + 1));
      return true;
    }
    start = end;
  }
  return false;
}

bool renameSheetTitle(pugi::xml_document& app, std::string_view from, std::string_view to) {
  Titles t;
  if (!readTitles(app, t)) return false;
  // Sheet groups come before the named-range group, whose titles may repeat a sheet's name by
  // chance: the first match is the sheet.
  size_t start = 0;
  for (size_t g = 0; g < t.counts.size(); ++g) {
    const size_t size = static_cast<size_t>(std::max(0, t.counts[g].text().as_int()));
    const size_t groupEnd = std::min(t.items.size(), start + size);
    for (size_t i = start; i < groupEnd; ++i) {
      if (std::string_view(t.items[i].text().get()) == from) {
        t.items[i].text().set(std::string(to).c_str());
        return true;
      }
    }
    start = groupEnd;
  }
  return false;
}

}  // namespace orv::ooxml
