#include "server/ooxml/slicers.h"

#include <memory>

#include "server/ooxml/defined_names.h"
#include "server/ooxml/sheet_copy.h"
#include "server/server_error.h"

namespace orv::ooxml {

namespace {

constexpr std::string_view kSlicerType = "application/vnd.ms-excel.slicer+xml";
constexpr std::string_view kTimelineType = "application/vnd.ms-excel.timeline+xml";
constexpr std::string_view kSlicerCacheRel = "/relationships/slicerCache";
constexpr std::string_view kTimelineCacheRel = "/relationships/timelineCache";

bool isCacheRelationship(const Relationship& rel) {
  const std::string_view type = rel.type;
  return !rel.external && (type.ends_with(kSlicerCacheRel) || type.ends_with(kTimelineCacheRel));
}

// The slicer or timeline elements of a slicers or timelines part.
bool isSlicerElement(std::string_view local) { return local == "slicer" || local == "timeline"; }

bool isGuid(std::string_view s) { return s.size() == 38 && s.front() == '{' && s.back() == '}'; }

void renewUids(pugi::xml_node node) {
  for (pugi::xml_attribute a : node.attributes())
    if (std::string_view(a.name()).ends_with(":uid") && isGuid(a.value()))
      a.set_value(newGuid().c_str());
}

template <typename Visit>
void forEachDescendant(pugi::xml_node root, Visit visit) {
  pugi::xml_node n = root.first_child();
  while (n) {
    if (n.type() == pugi::node_element) visit(n);
    if (n.first_child()) {
      n = n.first_child();
      continue;
    }
    while (n && n != root && !n.next_sibling()) n = n.parent();
    if (!n || n == root) break;
    n = n.next_sibling();
  }
}

pugi::xml_node childNamed(pugi::xml_node node, std::string_view local) {
  for (pugi::xml_node child : node.children())
    if (localName(child.name()) == local) return child;
  return {};
}

// Reads a part for a moment: a part that was not parsed before is forgotten again afterwards.
template <typename Use>
void peek(Package& pkg, const std::string& part, Use use) {
  const bool wasParsed = pkg.isParsed(part);
  try {
    use(pkg.xml(part).document_element());
  } catch (const ServerError&) {
  }
  if (!wasParsed) pkg.release(part);
}

}  // namespace

void SlicerRegistry::collect(Package& pkg, const std::string& workbookPart) {
  for (const std::string& part : pkg.partNames()) {
    const std::string type = pkg.contentTypeOf(part);
    if (type != kSlicerType && type != kTimelineType) continue;
    peek(pkg, part, [this](pugi::xml_node root) {
      for (pugi::xml_node s : root.children())
        if (isSlicerElement(localName(s.name())))
          names_.insert(foldName(s.attribute("name").value()));
    });
  }
  for (const Relationship& rel : pkg.relationships(workbookPart)) {
    if (!isCacheRelationship(rel)) continue;
    const std::string part = pkg.entryName(resolveTarget(workbookPart, rel.target));
    if (part.empty()) continue;
    peek(pkg, part, [&](pugi::xml_node root) { addCache(root.attribute("name").value(), part); });
  }
}

std::string SlicerRegistry::freshName(std::string_view source) {
  // "Region 2" numbers on from "Region".
  std::string stem(source.empty() ? std::string_view("Slicer") : source);
  size_t digits = stem.size();
  while (digits > 0 && stem[digits - 1] >= '0' && stem[digits - 1] <= '9') --digits;
  if (digits > 0 && digits < stem.size() && stem[digits - 1] == ' ') stem.resize(digits - 1);
  long& next = tried_.try_emplace(foldName(stem), 1).first->second;
  for (;; ++next) {
    std::string candidate = stem + " " + std::to_string(next);
    if (!names_.insert(foldName(candidate)).second) continue;
    ++next;
    return candidate;
  }
}

const std::string* SlicerRegistry::cachePart(std::string_view name) const {
  auto it = caches_.find(foldName(name));
  return it == caches_.end() ? nullptr : &it->second;
}

void SlicerRegistry::addCache(std::string_view name, const std::string& part) {
  if (!name.empty()) caches_.try_emplace(foldName(name), part);
}

SlicerCopies::SlicerCopies(Package& pkg, SlicerContext context)
    : pkg_(pkg), context_(std::move(context)) {}

void SlicerCopies::renewPart(pugi::xml_document& doc) {
  for (pugi::xml_node slicer : doc.document_element().children()) {
    if (!isSlicerElement(localName(slicer.name()))) continue;
    if (pugi::xml_attribute name = slicer.attribute("name")) {
      const std::string fresh = context_.registry->freshName(name.value());
      shapeNames_[name.value()] = fresh;
      name.set_value(fresh.c_str());
    }
    if (pugi::xml_attribute cache = slicer.attribute("cache"))
      cache.set_value(cacheFor(cache.value()).c_str());
    renewUids(slicer);
  }
}

bool SlicerCopies::filtersSource(pugi::xml_node cache) const {
  bool found = false;
  forEachDescendant(cache, [&](pugi::xml_node n) {
    const std::string_view local = localName(n.name());
    if (local == "pivotTable") {
      found = found || n.attribute("tabId").as_llong(-1) == context_.sourceSheetId;
    } else if (local == "tableSlicerCache") {
      found =
          found || context_.tables->findId(static_cast<long>(n.attribute("tableId").as_llong(-1)))
                       .has_value();
    }
  });
  return found;
}

void SlicerCopies::retarget(pugi::xml_node cache) const {
  std::vector<pugi::xml_node> others;
  forEachDescendant(cache, [&](pugi::xml_node n) {
    const std::string_view local = localName(n.name());
    if (local == "pivotTable") {
      // The copy's cache filters the copy's pivot tables only: the source's other pivot tables
      // stay with the source's cache.
      pugi::xml_attribute tab = n.attribute("tabId");
      if (tab.as_llong(-1) == context_.sourceSheetId) {
        tab.set_value(context_.copySheetId);
      } else {
        others.push_back(n);
      }
    } else if (local == "tableSlicerCache") {
      pugi::xml_attribute table = n.attribute("tableId");
      if (auto id = context_.tables->findId(static_cast<long>(table.as_llong(-1))))
        table.set_value(*id);
    }
    renewUids(n);
  });
  renewUids(cache);
  for (pugi::xml_node n : others) n.parent().remove_child(n);
}

std::string SlicerCopies::cacheFor(const std::string& name) {
  const std::string folded = foldName(name);
  if (auto it = caches_.find(folded); it != caches_.end()) return it->second;
  std::string result = name;
  const std::string* found = context_.registry->cachePart(name);
  if (found && pkg_.has(*found)) {
    const std::string source = *found;
    const bool wasParsed = pkg_.isParsed(source);
    pugi::xml_document& sourceDoc = pkg_.xml(source);
    if (filtersSource(sourceDoc.document_element())) {
      auto doc = std::make_unique<pugi::xml_document>();
      doc->reset(sourceDoc);
      pugi::xml_node root = doc->document_element();
      result = context_.names->freshName(name);
      root.attribute("name").set_value(result.c_str());
      retarget(root);
      std::string stem = partBase(source);
      stem = stem.substr(0, stem.rfind('.'));
      while (!stem.empty() && stem.back() >= '0' && stem.back() <= '9') stem.pop_back();
      const std::string part = pkg_.freshPartName(partDir(source), stem, ".xml");
      const std::string gap = pkg_.prologGap(source);
      pkg_.addXml(part, std::move(doc), gap);
      context_.added->push_back(part);
      pkg_.coverPart(part, pkg_.contentTypeOf(source));
      context_.registry->addCache(result, part);
      newCaches_.push_back({source, part, name, result});
    }
    if (!wasParsed) pkg_.release(source);
  }
  caches_[folded] = result;
  return result;
}

bool SlicerCopies::renameShapes(pugi::xml_node root) const {
  if (shapeNames_.empty()) return false;
  bool changed = false;
  forEachDescendant(root, [&](pugi::xml_node n) {
    const std::string_view local = localName(n.name());
    if (local != "slicer" && local != "timeslicer") return;
    pugi::xml_attribute name = n.attribute("name");
    auto it = shapeNames_.find(name.value());
    if (!name || it == shapeNames_.end()) return;
    // The shape that holds the slicer carries its name too.
    pugi::xml_node frame = n;
    while (frame && localName(frame.name()) != "AlternateContent" &&
           localName(frame.name()) != "twoCellAnchor" &&
           localName(frame.name()) != "oneCellAnchor" &&
           localName(frame.name()) != "absoluteAnchor")
      frame = frame.parent();
    if (frame) {
      forEachDescendant(frame, [&](pugi::xml_node shape) {
        if (localName(shape.name()) != "cNvPr") return;
        pugi::xml_attribute shapeName = shape.attribute("name");
        if (shapeName && it->first == shapeName.value()) shapeName.set_value(it->second.c_str());
      });
    }
    name.set_value(it->second.c_str());
    changed = true;
  });
  return changed;
}

void SlicerCopies::commit() {
  if (newCaches_.empty()) return;
  const std::string relsPart = relsPartOf(context_.workbookPart);
  pugi::xml_node rels = pkg_.xml(relsPart).document_element();
  pugi::xml_node workbook = pkg_.xml(context_.workbookPart).document_element();
  pugi::xml_node extLst = childNamed(workbook, "extLst");
  pugi::xml_node names = definedNamesOf(workbook);
  for (const NewCache& cache : newCaches_) {
    // The source cache's relationship gives the type and the entries of the extension lists.
    const Relationships links(rels);
    const Relationship* sourceLink = nullptr;
    for (const Relationship& rel : links)
      if (isCacheRelationship(rel) &&
          lowerAscii(resolveTarget(context_.workbookPart, rel.target)) ==
              lowerAscii(cache.sourcePart))
        sourceLink = &rel;
    if (!sourceLink) continue;
    const std::string rid =
        addRelationship(rels, sourceLink->type, relativeTarget(context_.workbookPart, cache.part));
    std::vector<std::pair<pugi::xml_node, pugi::xml_attribute>> entries;
    forEachDescendant(extLst, [&](pugi::xml_node n) {
      for (pugi::xml_attribute a : n.attributes()) {
        const std::string_view qualified = a.name();
        if (localName(a.name()) == "id" && qualified != "id" && sourceLink->id == a.value())
          entries.emplace_back(n, a);
      }
    });
    // The copy's entry goes last, after the caches of earlier copies.
    for (auto& [entry, attribute] : entries) {
      pugi::xml_node copy = entry.parent().append_copy(entry);
      copy.attribute(attribute.name()).set_value(rid.c_str());
    }
    for (pugi::xml_node name : names.children()) {
      if (localName(name.name()) != "definedName" || name.attribute("localSheetId") ||
          foldName(name.attribute("name").value()) != foldName(cache.sourceName))
        continue;
      names.insert_copy_after(name, name).attribute("name").set_value(cache.name.c_str());
      break;
    }
  }
  pkg_.markDirty(relsPart);
  pkg_.markDirty(context_.workbookPart);
  newCaches_.clear();
}

}  // namespace orv::ooxml
