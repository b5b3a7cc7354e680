#include "server/ooxml/ooxml_engine.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <optional>
#include <span>

#include "server/ooxml/app_properties.h"
#include "server/ooxml/defined_names.h"
#include "server/ooxml/sheet_copy.h"
#include "server/server_error.h"
#include "server/sheet_names.h"

namespace orv::ooxml {

namespace {

// The namespaces of the main elements and of r:id attributes: transitional, then Strict. A
// Strict workbook is read in its own namespaces and every part keeps them.
constexpr std::string_view kRelationshipsNs[] = {
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships",
    "http://purl.oclc.org/ooxml/officeDocument/relationships"};
constexpr std::string_view kMainNs[] = {"http://schemas.openxmlformats.org/spreadsheetml/2006/main",
                                        "http://purl.oclc.org/ooxml/spreadsheetml/main"};

bool isOneOf(std::string_view value, std::span<const std::string_view> choices) {
  return std::find(choices.begin(), choices.end(), value) != choices.end();
}
constexpr const char* kTableContentType =
    "application/vnd.openxmlformats-officedocument.spreadsheetml.table+xml";
// A spreadsheet application numbers sheets up to this.
constexpr long long kMaxSheetId = 65534;

// Parts whose XML can hold a reference to a sheet by name.
const std::set<std::string_view> kReferringContentTypes = {
    "application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml",
    "application/vnd.openxmlformats-officedocument.spreadsheetml.dialogsheet+xml",
    "application/vnd.ms-excel.macrosheet+xml",
    "application/vnd.ms-excel.intlmacrosheet+xml",
    "application/vnd.openxmlformats-officedocument.drawingml.chart+xml",
    "application/vnd.ms-office.chartex+xml",
    "application/vnd.openxmlformats-officedocument.drawing+xml",
    "application/vnd.openxmlformats-officedocument.drawingml.chartshapes+xml",
    "application/vnd.ms-excel.controlproperties+xml",
    "application/vnd.openxmlformats-officedocument.spreadsheetml.pivotCacheDefinition+xml",
    kTableContentType,
};

pugi::xml_node childNamed(pugi::xml_node node, std::string_view local) {
  for (pugi::xml_node child : node.children())
    if (localName(child.name()) == local) return child;
  return {};
}

// The r:id attribute of an element, whatever prefix the relationships namespace has.
pugi::xml_attribute relIdAttribute(pugi::xml_node node) {
  for (pugi::xml_attribute a : node.attributes()) {
    if (localName(a.name()) != "id" || std::string_view(a.name()) == "id") continue;
    if (isOneOf(namespaceOf(node, a.name(), true), kRelationshipsNs)) return a;
  }
  return {};
}

bool sameName(std::string_view a, std::string_view b) { return sameSheetName(a, b); }

SheetKind kindOfRoot(std::string_view head) {
  for (size_t at = head.find('<'); at != std::string_view::npos; at = head.find('<', at + 1)) {
    if (at + 1 < head.size() && (head[at + 1] == '?' || head[at + 1] == '!')) continue;
    size_t end = head.find_first_of(" \t\r\n/>", at + 1);
    std::string_view name = head.substr(at + 1, end == std::string_view::npos ? end : end - at - 1);
    if (auto colon = name.find(':'); colon != std::string_view::npos) name.remove_prefix(colon + 1);
    if (name == "dialogsheet") return SheetKind::Dialogsheet;
    if (name == "macrosheet") return SheetKind::Macrosheet;
    if (name == "chartsheet") return SheetKind::Chartsheet;
    return SheetKind::Worksheet;
  }
  return SheetKind::Worksheet;
}

// The value of the first codeName="..." attribute in the start of a sheet part.
std::optional<std::string> codeNameIn(std::string_view head) {
  static constexpr std::string_view kName = "codeName";
  auto word = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
  auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  for (size_t at = head.find(kName); at != std::string_view::npos; at = head.find(kName, at + 1)) {
    if (at > 0 && word(head[at - 1])) continue;
    size_t p = at + kName.size();
    while (p < head.size() && space(head[p])) ++p;
    if (p >= head.size() || head[p] != '=') continue;
    ++p;
    while (p < head.size() && space(head[p])) ++p;
    if (p >= head.size() || head[p] != '"') continue;
    size_t close = head.find('"', p + 1);
    if (close == std::string_view::npos) return std::nullopt;
    return std::string(head.substr(p + 1, close - p - 1));
  }
  return std::nullopt;
}

}  // namespace

OoxmlEngine::OoxmlEngine(const std::string& path) : pkg_(path) { load(); }

OoxmlEngine::OoxmlEngine(const std::string& path, OpenedArchive opened)
    : pkg_(path, std::move(opened)) {
  load();
}

void OoxmlEngine::load() {
  for (const Relationship& rel : pkg_.relationships("")) {
    if (rel.external) continue;
    if (rel.kind() == RelKind::OfficeDocument && workbookPart_.empty())
      workbookPart_ = pkg_.entryName(resolveTarget("", rel.target));
    if (rel.kind() == RelKind::ExtendedProperties)
      appPart_ = pkg_.entryName(resolveTarget("", rel.target));
  }
  if (workbookPart_.empty()) fail("the file is damaged (it has no workbook part).");
  workbookRels_ = relsPartOf(workbookPart_);
  vba_.emplace(pkg_, workbookPart_);

  pugi::xml_node workbook = pkg_.xml(workbookPart_).document_element();
  if (localName(workbook.name()) != "workbook" ||
      !isOneOf(namespaceOf(workbook, workbook.name(), false), kMainNs))
    fail("the file is damaged (its workbook part is not a workbook).");

  readSheets(childNamed(workbook, "sheets"));
  if (sheets_.empty()) fail("the file is damaged (its workbook lists no sheets).");
  registerIds();
}

void OoxmlEngine::readSheets(pugi::xml_node sheets) {
  std::vector<pugi::xml_node> nodes;
  for (pugi::xml_node sheet : sheets.children())
    if (localName(sheet.name()) == "sheet") nodes.push_back(sheet);
  if (readSheetsKept(nodes)) return;
  const Relationships rels = pkg_.relationships(workbookPart_);
  for (pugi::xml_node sheet : nodes) {
    SheetInfo s;
    s.id = nextId_++;
    s.node = sheet;
    pugi::xml_attribute rid = relIdAttribute(sheet);
    const Relationship* link = rid ? rels.byId(rid.value()) : nullptr;
    if (link && !link->external) {
      s.part = partNames_.emplace_back(pkg_.entryName(resolveTarget(workbookPart_, link->target)));
      const RelKind kind = link->kind();
      if (kind == RelKind::Chartsheet) {
        s.kind = SheetKind::Chartsheet;
      } else if (kind == RelKind::Dialogsheet) {
        s.kind = SheetKind::Dialogsheet;
      } else if (kind == RelKind::Macrosheet) {
        s.kind = SheetKind::Macrosheet;
      } else if (!s.part.empty()) {  // the name of a part present
        s.kindKnown = false;
      }
    }
    sheets_.push_back(&byId_.emplace_back(s));
  }
}

// A save leaves the sheets it knew with the workbook part it wrote, one record a sheet: its
// kind, whether the kind is known, and its part, ended by a NUL. Records that do not match the
// <sheet> elements one for one (a part name holding a NUL makes them too many) are not taken.
// Finding each sheet's relationship and part again cost a fresh instance, one for every copy when
// saving after each, more than the copy did in a workbook of a thousand sheets.
constexpr std::string_view kSheetsKept = "sheets";

bool OoxmlEngine::readSheetsKept(const std::vector<pugi::xml_node>& nodes) {
  std::shared_ptr<const std::string> kept = pkg_.memo(workbookPart_, std::string(kSheetsKept));
  if (!kept) return false;
  std::string_view rest = *kept;
  for (pugi::xml_node sheet : nodes) {
    const size_t end = rest.find('\0');
    if (end == std::string_view::npos || end < 2 || rest[0] < '0' || rest[0] > '3') break;
    SheetInfo& s = byId_.emplace_back();
    s.id = nextId_++;
    s.node = sheet;
    s.kind = static_cast<SheetKind>(rest[0] - '0');
    s.kindKnown = rest[1] == '1';
    s.part = rest.substr(2, end - 2);
    rest.remove_prefix(end + 1);
  }
  if (byId_.size() != nodes.size() || !rest.empty()) {
    byId_.clear();
    nextId_ = 1;
    return false;
  }
  for (SheetInfo& s : byId_) sheets_.push_back(&s);
  sheetsRecord_ = std::move(kept);
  return true;
}

OoxmlEngine::~OoxmlEngine() = default;

void OoxmlEngine::fail(const std::string& what) const {
  throw ServerError("Cannot open '" + pkg_.displayName() + "': " + what);
}

const OoxmlEngine::SheetInfo& OoxmlEngine::info(SheetId id) const {
  if (id < 1 || id > byId_.size())
    throw ServerError("The sheet is no longer part of the workbook.");
  return byId_[id - 1];
}

OoxmlEngine::SheetInfo& OoxmlEngine::info(SheetId id) {
  return const_cast<SheetInfo&>(static_cast<const OoxmlEngine*>(this)->info(id));
}

int OoxmlEngine::sheetCount() const { return static_cast<int>(sheets_.size()); }

SheetId OoxmlEngine::sheetAt(int position) const {
  if (position < 0 || position >= sheetCount())
    throw ServerError("There is no sheet number " + std::to_string(position + 1) + " in '" +
                      pkg_.displayName() + "'.");
  return sheets_[static_cast<size_t>(position)]->id;
}

int OoxmlEngine::positionOf(SheetId id) const {
  for (size_t i = 0; i < sheets_.size(); ++i)
    if (sheets_[i]->id == id) return static_cast<int>(i);
  throw ServerError("The sheet is no longer part of the workbook.");
}

std::string OoxmlEngine::sheetName(SheetId id) const {
  return info(id).node.attribute("name").value();
}

SheetKind OoxmlEngine::sheetKind(SheetId id) const {
  // Telling the kind reads the package, which caches what it reads; the engine's state that
  // callers see does not change.
  return const_cast<OoxmlEngine*>(this)->resolveKind(const_cast<SheetInfo&>(info(id)));
}

// The workbook part's state attribute; an unknown value shows the sheet, as applications do.
SheetVisibility OoxmlEngine::sheetVisibility(SheetId id) const {
  const std::string_view state = info(id).node.attribute("state").value();
  if (state == "hidden") return SheetVisibility::Hidden;
  if (state == "veryHidden") return SheetVisibility::VeryHidden;
  return SheetVisibility::Visible;
}

SheetKind OoxmlEngine::resolveKind(SheetInfo& s) {
  if (s.kindKnown) return s.kind;
  // Dialog and macro sheets are sometimes linked, or even typed, as worksheets; the content
  // type or else the root element of the part, in its first bytes, tells.
  std::string contentType = pkg_.contentTypeOf(s.part);
  if (contentType.find("dialogsheet") != std::string::npos) {
    s.kind = SheetKind::Dialogsheet;
  } else if (contentType.find("macrosheet") != std::string::npos) {
    s.kind = SheetKind::Macrosheet;
  } else if (const pugi::xml_document* doc = pkg_.parsedIfAtHand(s.part)) {
    s.kind = kindOfRoot("<" + std::string(doc->document_element().name()) + ">");
  } else {
    s.kind = kindOfRoot(pkg_.readPrefix(s.part, 1024));
  }
  s.kindKnown = true;
  return s.kind;
}

SheetId OoxmlEngine::activeSheet() const {
  pugi::xml_node workbook = sheets_.front()->node.parent().parent();
  pugi::xml_node view = childNamed(childNamed(workbook, "bookViews"), "workbookView");
  int tab = view.attribute("activeTab").as_int(0);
  if (tab < 0 || tab >= sheetCount()) tab = 0;
  return sheets_[static_cast<size_t>(tab)]->id;
}

std::vector<std::string> OoxmlEngine::namesExcept(SheetId id) const {
  std::vector<std::string> names;
  for (const SheetInfo* s : sheets_)
    if (s->id != id) names.push_back(s->node.attribute("name").value());
  return names;
}

void OoxmlEngine::registerIds() {
  ids_.addNames(IdKind::CodeName, [this](std::set<std::string>& used) {
    // The code name sits in sheetPr at the very start of a sheet; the rest is not read.
    for (const SheetInfo* s : sheets_) {
      if (s->part.empty() || !pkg_.has(s->part)) continue;
      if (auto name = codeNameIn(pkg_.readPrefix(s->part, 4096))) used.insert(*name);
    }
    pugi::xml_node workbook = pkg_.xml(workbookPart_).document_element();
    if (pugi::xml_attribute a = childNamed(workbook, "workbookPr").attribute("codeName"))
      used.insert(a.value());
    // A code name names a module of the VBA project: it must differ from the project's names.
    used.merge(vba_->takenNames());
  });
  ids_.addNumbers(IdKind::VmlShapeBlock, [this](std::set<long>& used) {
    std::vector<std::string> vml;
    for (const std::string& part : pkg_.partNames()) {
      if (lowerAscii(part).ends_with(".vml") ||
          pkg_.contentTypeOf(part) == "application/vnd.openxmlformats-officedocument.vmlDrawing")
        vml.push_back(part);
    }
    collectVmlBlocks(pkg_, vml, used);
  });
}

TableRegistry& OoxmlEngine::tables() {
  if (!tables_) {
    tables_.emplace();
    std::vector<std::string> parts;
    for (const std::string& part : pkg_.partNames())
      if (pkg_.contentTypeOf(part) == kTableContentType) parts.push_back(part);
    collectTables(pkg_, parts, pkg_.xml(workbookPart_).document_element(), *tables_);
  }
  return *tables_;
}

SlicerRegistry& OoxmlEngine::slicers() {
  if (!slicers_) {
    slicers_.emplace();
    slicers_->collect(pkg_, workbookPart_);
  }
  return *slicers_;
}

pugi::xml_document* OoxmlEngine::appProperties() {
  if (appPart_.empty() || !pkg_.has(appPart_)) return nullptr;
  try {
    return &pkg_.xml(appPart_);
  } catch (const ServerError&) {
    // Damaged document properties are left as they are: the sheets do not depend on them.
    appPart_.clear();
    return nullptr;
  }
}

void OoxmlEngine::dropCalcChain() {
  if (calcChainDropped_) return;
  calcChainDropped_ = true;
  if (!pkg_.has(workbookRels_)) return;
  // Asking for the tree would let go of the relationships read.
  if (!pkg_.relationships(workbookPart_).firstOfKind(RelKind::CalcChain)) return;
  // The calculation chain lists formula cells; a spreadsheet application rebuilds it when it is
  // absent, which is simpler and safer than extending it for every copy.
  pugi::xml_node rels = pkg_.xml(workbookRels_).document_element();
  if (removeRelationships(rels, RelKind::CalcChain, [this](const Relationship& chain) {
        std::string part = resolveTarget(workbookPart_, chain.target);
        pkg_.remove(part);
        pkg_.removeOverride(part);
      }))
    pkg_.markDirty(workbookRels_);
}

std::optional<CopyBlocker> OoxmlEngine::copyBlocker(SheetId source) {
  const SheetInfo& sheet = info(source);
  if (sheet.part.empty() || !pkg_.has(sheet.part)) return std::nullopt;
  return ooxml::copyBlocker(pkg_, std::string(sheet.part));
}

long long OoxmlEngine::checkCopyAllowed(SheetId sourceId) {
  const SheetInfo& source = info(sourceId);
  const std::string sourceName = source.node.attribute("name").value();
  const std::string display = pkg_.displayName();
  if (source.part.empty() || !pkg_.has(source.part))
    throw ServerError("Cannot copy the sheet '" + sourceName + "': its part is missing from '" +
                      display + "'.");
  long long highestId = 0;
  for (const SheetInfo* s : sheets_)
    highestId = std::max(highestId, s->node.attribute("sheetId").as_llong());
  if (highestId >= kMaxSheetId)
    throw ServerError("Cannot copy the sheet '" + sourceName + "': the workbook '" + display +
                      "' has used up its sheet numbers (" + std::to_string(kMaxSheetId) +
                      "). Copy the sheet into a new workbook instead.");
  if (std::optional<CopyBlocker> blocker = copyBlocker(sourceId))
    throw ServerError(copyRefusal(sourceName, *blocker));
  return highestId;
}

std::string OoxmlEngine::linkSheetPart(const SheetInfo& source, const std::string& part) {
  std::string type;
  {
    // Let go before adding, or the package would have to copy what it keeps.
    const Relationships links = pkg_.relationships(workbookPart_);
    if (const Relationship* sourceLink = links.byId(relIdAttribute(source.node).value()))
      type = sourceLink->type;
  }
  return pkg_.addRelationship(workbookRels_, type, relativeTarget(workbookPart_, part));
}

void OoxmlEngine::updateWorkbookForCopy(int sourcePosition, int position,
                                        const std::string& sourceName, const std::string& afterName,
                                        const std::string& copyName) {
  pugi::xml_node workbook = pkg_.xml(workbookPart_).document_element();
  shiftSheetPositions(workbook, position);
  cloneNamesForCopy(workbook, sourcePosition >= position ? sourcePosition + 1 : sourcePosition,
                    position, sourceName, copyName);
  pkg_.markDirty(workbookPart_);
  if (pugi::xml_document* app = appProperties()) {
    if (addSheetTitle(*app, sourceName, afterName, copyName)) pkg_.markDirty(appPart_);
  }
  dropCalcChain();
}

SheetId OoxmlEngine::recordCopy(const SheetInfo& source, const CopyResult& copy,
                                pugi::xml_node node, int position) {
  SheetInfo s;
  s.id = nextId_++;
  s.part = partNames_.emplace_back(copy.sheetPart);
  s.kind = source.kind;
  s.node = node;
  s.createdFrom = createdParts_.size();
  s.pendingName = copy.name;
  for (const std::string& part : copy.addedParts) {
    std::string lower = lowerAscii(part);
    if (lower.ends_with(".xml") || lower.ends_with(".rels")) createdParts_.push_back(part);
  }
  sheets_.insert(sheets_.begin() + position, &byId_.emplace_back(s));
  return s.id;
}

SheetId OoxmlEngine::copySheet(SheetId sourceId, SheetId afterId) {
  resolveKind(info(sourceId));
  const long long highestId = checkCopyAllowed(sourceId);
  const SheetInfo source = info(sourceId);
  const SheetInfo after = info(afterId);
  const std::string sourceName = source.node.attribute("name").value();
  std::vector<std::string> existing;
  for (const SheetInfo* s : sheets_) existing.push_back(s->node.attribute("name").value());
  const std::string copyName = automaticCopyName(sourceName, existing);

  // The parts of earlier copies are done with; keep them as text to save memory.
  for (; frozen_ < createdParts_.size(); ++frozen_) pkg_.freeze(createdParts_[frozen_]);
  CopyRequest request;
  request.sourcePart = std::string(source.part);
  request.sourceName = sourceName;
  request.copyName = copyName;
  request.ids = &ids_;
  request.tables = [this]() -> TableRegistry& { return tables(); };
  request.workbookPart = workbookPart_;
  request.sourceSheetId = static_cast<long>(source.node.attribute("sheetId").as_llong());
  request.copySheetId = static_cast<long>(highestId + 1);
  request.slicers = [this]() -> SlicerRegistry& { return slicers(); };
  // In a macro workbook the copy's code name comes with a module holding the source's code,
  // made before anything changes, so that a project that cannot take it refuses the copy.
  std::optional<cfb::CompoundEntry> project;
  if (vba_->present()) {
    std::optional<std::string> code = codeNameIn(pkg_.readPrefix(source.part, 4096));
    if (code && !code->empty()) {
      request.codeName = freshCodeName(ids_, *code, true);
      project = vba_->withModule(sourceName, *code, request.codeName);
    }
  }
  const CopyResult copy = copySheetParts(pkg_, request);
  if (project) vba_->commit(std::move(*project));
  const std::string rid = linkSheetPart(source, copy.sheetPart);

  // Its <sheet> entry, right after `after`.
  const int position = positionOf(afterId) + 1;
  pugi::xml_node sheetNode = after.node.parent().insert_copy_after(source.node, after.node);
  sheetNode.attribute("name").set_value(copyName.c_str());
  sheetNode.attribute("sheetId").set_value(highestId + 1);
  relIdAttribute(sheetNode).set_value(rid.c_str());

  updateWorkbookForCopy(positionOf(sourceId), position, sourceName,
                        after.node.attribute("name").value(), copyName);
  // The names just cloned for the copy name its tables.
  renameTablesInScopedNames(pkg_.xml(workbookPart_).document_element(), position, copy.tables);
  return recordCopy(source, copy, sheetNode, position);
}

std::vector<std::string> OoxmlEngine::partsReferringTo(const SheetInfo& sheet) {
  std::vector<std::string> parts;
  if (sheet.createdFrom) {
    // Parts that existed before this sheet cannot name it.
    for (size_t i = *sheet.createdFrom; i < createdParts_.size(); ++i)
      if (!lowerAscii(createdParts_[i]).ends_with(".rels")) parts.push_back(createdParts_[i]);
    return parts;
  }
  for (const std::string& part : pkg_.partNames()) {
    if (kReferringContentTypes.count(pkg_.contentTypeOf(part))) parts.push_back(part);
  }
  return parts;
}

void OoxmlEngine::renameInParts(const std::vector<std::string>& parts, const std::string& from,
                                const std::string& to) {
  for (const std::string& part : parts) {
    if (!pkg_.has(part)) continue;
    const bool wasParsed = pkg_.isParsed(part);
    pugi::xml_document& doc = pkg_.xml(part);
    bool changed = retargetPart(doc, from, to, RetargetMode::Rename);
    // Pivot caches name their source sheet in an attribute of its own.
    if (pugi::xml_node source = doc.document_element().find_node(
            [](pugi::xml_node n) { return localName(n.name()) == "worksheetSource"; })) {
      pugi::xml_attribute sheet = source.attribute("sheet");
      if (sheet && sameName(sheet.value(), from)) {
        sheet.set_value(to.c_str());
        changed = true;
      }
    }
    if (changed) {
      pkg_.markDirty(part);
    } else if (!wasParsed) {
      pkg_.release(part);
    }
  }
}

void OoxmlEngine::renameSheet(SheetId id, const std::string& name) {
  SheetInfo& sheet = info(id);
  const std::string old = sheet.node.attribute("name").value();
  if (old == name) return;
  validateSheetName(name, namesExcept(id));

  // Parts written later from a parsed source must be written now, before sources change; a copy
  // not written yet only needs its new name.
  const bool pending = sheet.pendingName && pkg_.isLazy(sheet.part);
  pkg_.materializeLazy(pending ? sheet.part : std::string_view());
  std::vector<std::string> parts = partsReferringTo(sheet);
  if (pending) {
    *sheet.pendingName = name;
    std::erase_if(parts,
                  [&](const std::string& p) { return lowerAscii(p) == lowerAscii(sheet.part); });
  }
  renameInParts(parts, old, name);
  pugi::xml_node workbook = pkg_.xml(workbookPart_).document_element();
  renameInNames(workbook, old, name);
  sheet.node.attribute("name").set_value(name.c_str());
  pkg_.markDirty(workbookPart_);
  if (pugi::xml_document* app = appProperties()) {
    if (renameSheetTitle(*app, old, name)) pkg_.markDirty(appPart_);
  }
}

std::vector<std::string> OoxmlEngine::takeNotices() {
  std::vector<std::string> notices;
  if (vba_ && vba_->takeSignatureRemoved())
    notices.push_back("The digital signature of the macros in '" + pkg_.displayName() +
                      "' was removed: it does not hold for the changed macro project. Sign the "
                      "project again in your spreadsheet application if you need it.");
  return notices;
}

void OoxmlEngine::save() {
  pkg_.save();
  // For the next instance that opens the file just written (readSheetsKept).
  std::string kept;
  for (const SheetInfo* s : sheets_) {
    kept += static_cast<char>('0' + static_cast<int>(s->kind));
    kept += s->kindKnown ? '1' : '0';
    kept += s->part;
    kept += '\0';
  }
  pkg_.setMemo(workbookPart_, std::string(kSheetsKept),
               std::make_shared<const std::string>(std::move(kept)));
  // Saved copies are read back from the file if they are needed again.
  // Saving costs time in proportion to the file anyway; this pass is small beside it.
  for (const std::string& part : createdParts_) pkg_.release(part);
}

}  // namespace orv::ooxml
