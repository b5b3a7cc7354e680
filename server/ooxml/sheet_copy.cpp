#include "server/ooxml/sheet_copy.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <memory>
#include <optional>
#include <random>

#include "server/blocking_feature.h"
#include "server/ooxml/a1_references.h"
#include "server/ooxml/named_sheet_views.h"
#include "server/ooxml/query_tables.h"
#include "server/ooxml/slicers.h"
#include "server/ooxml/tables.h"
#include "server/ooxml/threaded_comments.h"
#include "server/server_error.h"

namespace orv::ooxml {

namespace {

// What a copy does with a part related to the copied sheet, and how a duplicated part is fixed.
enum class Policy {
  Duplicate,  // the copy gets its own part
  Share,      // the copy points at the same part
  Refuse,     // not yet copied faithfully: the copy is refused, naming the feature
};

enum class Fixup {
  None,      // copied byte for byte
  Formulas,  // XML holding formula sites (the sheet, charts, form-control properties)
  Drawing,   // DrawingML: formula links and the VML shape ids of form controls
  Vml,       // legacy VML: a fresh o:idmap block and renumbered shape ids
  Table,     // a table: its own id and name, formulas as for Formulas
  Threads,   // threaded comments and the legacy notes that mirror them: fresh GUIDs
  Views,     // named sheet views: fresh GUIDs, filters of the copy's tables
  Pivot,     // a pivot table: fresh GUIDs, formulas as for Formulas; its cache is shared
  Query,     // a query table: the copy's own connection
  Slicers,   // slicers or timelines: fresh names, the caches of the copy's pivot tables and tables
};

struct PartPolicy {
  std::string_view type;  // relationship type, in full
  Policy policy;
  Fixup fixup;
  BlockingFeature feature;  // for Refuse
};

#define OOXML_REL "http://schemas.openxmlformats.org/officeDocument/2006/relationships/"
#define MS_REL "http://schemas.microsoft.com/office/"

// The one table of what a copy does with each related part, by relationship type.
constexpr std::array kPolicies{
    PartPolicy{OOXML_REL "printerSettings", Policy::Duplicate, Fixup::None, {}},
    PartPolicy{OOXML_REL "drawing", Policy::Duplicate, Fixup::Drawing, {}},
    PartPolicy{OOXML_REL "vmlDrawing", Policy::Duplicate, Fixup::Vml, {}},
    PartPolicy{OOXML_REL "comments", Policy::Duplicate, Fixup::Threads, {}},
    PartPolicy{OOXML_REL "ctrlProp", Policy::Duplicate, Fixup::Formulas, {}},
    PartPolicy{OOXML_REL "customProperty", Policy::Duplicate, Fixup::None, {}},
    PartPolicy{OOXML_REL "chart", Policy::Duplicate, Fixup::Formulas, {}},
    PartPolicy{MS_REL "2014/relationships/chartEx", Policy::Duplicate, Fixup::Formulas, {}},
    PartPolicy{MS_REL "2011/relationships/chartStyle", Policy::Duplicate, Fixup::None, {}},
    PartPolicy{MS_REL "2011/relationships/chartColorStyle", Policy::Duplicate, Fixup::None, {}},
    PartPolicy{OOXML_REL "chartUserShapes", Policy::Duplicate, Fixup::Drawing, {}},
    PartPolicy{OOXML_REL "themeOverride", Policy::Duplicate, Fixup::None, {}},
    PartPolicy{OOXML_REL "package", Policy::Duplicate, Fixup::None, {}},
    PartPolicy{OOXML_REL "diagramData", Policy::Duplicate, Fixup::None, {}},
    PartPolicy{OOXML_REL "diagramLayout", Policy::Duplicate, Fixup::None, {}},
    PartPolicy{OOXML_REL "diagramQuickStyle", Policy::Duplicate, Fixup::None, {}},
    PartPolicy{OOXML_REL "diagramColors", Policy::Duplicate, Fixup::None, {}},
    PartPolicy{MS_REL "2007/relationships/diagramDrawing", Policy::Duplicate, Fixup::None, {}},
    PartPolicy{OOXML_REL "image", Policy::Share, Fixup::None, {}},
    PartPolicy{MS_REL "2007/relationships/hdphoto", Policy::Share, Fixup::None, {}},
    PartPolicy{MS_REL "2007/relationships/media", Policy::Share, Fixup::None, {}},
    PartPolicy{OOXML_REL "video", Policy::Share, Fixup::None, {}},
    PartPolicy{OOXML_REL "audio", Policy::Share, Fixup::None, {}},
    PartPolicy{OOXML_REL "hyperlink", Policy::Share, Fixup::None, {}},
    PartPolicy{OOXML_REL "table", Policy::Duplicate, Fixup::Table, {}},
    PartPolicy{OOXML_REL "pivotTable", Policy::Duplicate, Fixup::Pivot, {}},
    PartPolicy{OOXML_REL "pivotCacheDefinition", Policy::Share, Fixup::None, {}},
    PartPolicy{OOXML_REL "queryTable", Policy::Duplicate, Fixup::Query, {}},
    PartPolicy{MS_REL "2007/relationships/slicer", Policy::Duplicate, Fixup::Slicers, {}},
    PartPolicy{MS_REL "2011/relationships/timeline", Policy::Duplicate, Fixup::Slicers, {}},
    PartPolicy{
        MS_REL "2017/10/relationships/threadedComment", Policy::Duplicate, Fixup::Threads, {}},
    // ActiveX controls and embedded objects: each copy owns its control and embedding, as the
    // sheet's <controls> and <oleObjects> name them by relationship and VML shape.
    PartPolicy{OOXML_REL "control", Policy::Duplicate, Fixup::None, {}},
    PartPolicy{
        MS_REL "2006/relationships/activeXControlBinary", Policy::Duplicate, Fixup::None, {}},
    PartPolicy{OOXML_REL "oleObject", Policy::Duplicate, Fixup::None, {}},
    PartPolicy{MS_REL "2019/04/relationships/namedSheetView", Policy::Duplicate, Fixup::Views, {}},
};

#undef OOXML_REL
#undef MS_REL

const PartPolicy* policyFor(std::string_view type) {
  // Strict names the same relationships in a namespace of its own.
  std::string transitional;
  if (type.starts_with(rel::kStrictBase)) {
    transitional = std::string(rel::kBase) + std::string(type.substr(rel::kStrictBase.size()));
    type = transitional;
  }
  for (const PartPolicy& p : kPolicies)
    if (p.type == type) return &p;
  return nullptr;
}

// The first thing in `part` or the parts it duplicates that a copy cannot carry yet.
std::optional<CopyBlocker> checkPart(Package& pkg, const std::string& part,
                                     std::set<std::string>& seen) {
  if (!seen.insert(lowerAscii(part)).second) return std::nullopt;
  for (const Relationship& rel : pkg.relationships(part)) {
    if (rel.external) continue;
    const PartPolicy* policy = policyFor(rel.type);
    if (!policy) {
      std::string_view type = rel.type;
      auto slash = type.rfind('/');
      return CopyBlocker{BlockingFeature::UnknownPart,
                         std::string(type.substr(slash == std::string_view::npos ? 0 : slash + 1))};
    }
    if (policy->policy == Policy::Refuse) return CopyBlocker{policy->feature, {}};
    std::string target = resolveTarget(part, rel.target);
    if (policy->policy == Policy::Duplicate) {
      if (!pkg.has(target)) continue;  // a dangling link is carried as it is
      if (auto blocker = checkPart(pkg, target, seen)) return blocker;
    }
  }
  return std::nullopt;
}

// Shape ids and their blocks of 1024: a shape id is kept below 2^31, as spreadsheet applications
// keep it.
constexpr long kMaxShapeId = 0x7FFFFFFF;
constexpr long kMaxShapeBlock = kMaxShapeId / 1024;

// The number written in `digits` when it lies in 0..max; nullopt otherwise (empty, not a number,
// or too large).
std::optional<long> parseNumber(std::string_view digits, long max) {
  long value = 0;
  const char* end = digits.data() + digits.size();
  auto [ptr, ec] = std::from_chars(digits.data(), end, value);
  if (ec != std::errc() || ptr != end || value < 0 || value > max) return std::nullopt;
  return value;
}

// Splits "xl/drawings/vmlDrawing12.vml" into folder, stem and extension, dropping the number.
void splitPartName(std::string_view part, std::string& dir, std::string& stem, std::string& ext) {
  dir = partDir(part);
  std::string base = partBase(part);
  auto dot = base.rfind('.');
  ext = dot == std::string::npos ? std::string() : base.substr(dot);
  stem = base.substr(0, dot == std::string::npos ? base.size() : dot);
  while (!stem.empty() && stem.back() >= '0' && stem.back() <= '9') stem.pop_back();
}

bool looksLikeGuid(std::string_view s) {
  return s.size() == 38 && s.front() == '{' && s.back() == '}';
}

const std::set<std::string_view> kFormulaAttributes = {
    "fmlaLink", "fmlaRange", "fmlaTxbx", "fmlaGroup", "textlink", "linkedCell", "listFillRange"};

bool isFormulaElement(std::string_view local) {
  return local == "f" || local == "formula" || local == "formula1" || local == "formula2" ||
         local == "calculatedColumnFormula" || local == "totalsRowFormula";
}

// Visits every element under `root` depth first, without recursion (extension lists nest
// deeply). `visit` returns false to skip the element's children.
template <typename Visit>
void forEachElement(pugi::xml_node root, Visit visit) {
  for (pugi::xml_node n = root; n;) {
    bool descend = n.type() == pugi::node_element && visit(n);
    if (descend && n.first_child()) {
      n = n.first_child();
      continue;
    }
    while (n && n != root && !n.next_sibling()) n = n.parent();
    if (!n || n == root) break;
    n = n.next_sibling();
  }
}

// The cell table holds most of a sheet but nothing but cells: walks that look for ids or links
// skip it.
bool isCellTable(std::string_view local) { return local == "sheetData"; }

// Edits made to a parsed part for the time it takes to write a copy of it, undone in reverse
// order when the log goes, so that one parsed source serves every copy.
class UndoLog {
 public:
  UndoLog() = default;
  UndoLog(const UndoLog&) = delete;
  UndoLog& operator=(const UndoLog&) = delete;
  ~UndoLog() {
    for (auto it = steps_.rbegin(); it != steps_.rend(); ++it) {
      Step& s = *it;
      if (s.text) {
        s.text.set_value(s.value.c_str());
      } else if (s.attribute) {
        s.attribute.set_value(s.value.c_str());
      } else {
        pugi::xml_attribute a = s.next ? s.owner.insert_attribute_before(s.name.c_str(), s.next)
                                       : s.owner.append_attribute(s.name.c_str());
        a.set_value(s.value.c_str());
      }
    }
  }

  void setText(pugi::xml_node text, const std::string& value) {
    steps_.push_back({text, {}, {}, {}, {}, text.value()});
    text.set_value(value.c_str());
  }
  void setAttribute(pugi::xml_attribute a, const std::string& value) {
    steps_.push_back({{}, a, {}, {}, {}, a.value()});
    a.set_value(value.c_str());
  }
  void removeAttribute(pugi::xml_node owner, pugi::xml_attribute a) {
    steps_.push_back({{}, {}, owner, a.next_attribute(), a.name(), a.value()});
    owner.remove_attribute(a);
  }

 private:
  struct Step {
    pugi::xml_node text;
    pugi::xml_attribute attribute;
    pugi::xml_node owner;  // for a removed attribute
    pugi::xml_attribute next;
    std::string name;
    std::string value;
  };
  std::vector<Step> steps_;
};

// Writes through the undo log when there is one, for good otherwise.
void setText(pugi::xml_node text, const std::string& value, UndoLog* undo) {
  if (undo) {
    undo->setText(text, value);
  } else {
    text.set_value(value.c_str());
  }
}

void setAttribute(pugi::xml_attribute a, const std::string& value, UndoLog* undo) {
  if (undo) {
    undo->setAttribute(a, value);
  } else {
    a.set_value(value.c_str());
  }
}

// Maps every GUID that must stay unique to a fresh one, the same old GUID to the same new one,
// so that the links between a conditional format and its extension stay intact.
class GuidRenewer {
 public:
  std::string renew(std::string_view old) {
    auto [it, inserted] = map_.try_emplace(std::string(old));
    if (inserted) it->second = newGuid();
    return it->second;
  }

  void walk(pugi::xml_node root, UndoLog* undo) {
    forEachElement(root, [this, undo](pugi::xml_node n) {
      std::string_view local = localName(n.name());
      if (isCellTable(local)) return false;
      for (pugi::xml_attribute a : n.attributes()) {
        std::string_view name = a.name();
        const bool uid = name.ends_with(":uid");
        const bool cfId = name == "id" && local == "cfRule";
        if ((uid || cfId) && looksLikeGuid(a.value())) setAttribute(a, renew(a.value()), undo);
      }
      if (local == "id" && std::string_view(n.name()) != "id" && looksLikeGuid(n.text().get()))
        setText(n.first_child(), renew(n.text().get()), undo);
      return true;
    });
  }

 private:
  std::map<std::string, std::string> map_;
};

// The sheet's <control shapeId> and the drawings' compatibility links name VML shapes by id.
void renumberShapeLinks(pugi::xml_node root, const std::map<long, long>& ids, UndoLog* undo) {
  if (ids.empty()) return;
  forEachElement(root, [&](pugi::xml_node n) {
    std::string_view local = localName(n.name());
    if (isCellTable(local)) return false;
    if (local == "control" || local == "oleObject") {
      if (pugi::xml_attribute a = n.attribute("shapeId")) {
        auto it = ids.find(static_cast<long>(a.as_llong()));
        if (it != ids.end()) setAttribute(a, std::to_string(it->second), undo);
      }
    } else if (local == "compatExt") {
      if (pugi::xml_attribute a = n.attribute("spid")) {
        std::string_view v = a.value();
        // An id that is no number in range names no renumbered shape.
        std::optional<long> id;
        if (v.starts_with("_x0000_s")) id = parseNumber(v.substr(8), kMaxShapeId);
        auto it = id ? ids.find(*id) : ids.end();
        if (it != ids.end()) setAttribute(a, "_x0000_s" + std::to_string(it->second), undo);
      }
    }
    return true;
  });
}

// `tables`, when given, renames structured references to the source's tables.
bool retargetElements(pugi::xml_node root, std::string_view from, std::string_view to,
                      RetargetMode mode, UndoLog* undo, const TableRenames* tables = nullptr) {
  bool changed = false;
  if (tables && tables->empty()) tables = nullptr;
  auto rewrite = [&](std::string_view formula) -> std::string {
    const bool sheets = formula.find('!') != std::string_view::npos;
    if (!sheets && !tables) return {};
    std::string out =
        sheets ? a1References().retarget(formula, from, to, mode) : std::string(formula);
    if (tables) out = renameTableRefs(out, *tables);
    if (out == formula) return {};
    changed = true;
    return out;
  };
  auto rewriteText = [&](pugi::xml_node element) {
    pugi::xml_node text = element.first_child();
    if (text && (text.type() == pugi::node_pcdata || text.type() == pugi::node_cdata) &&
        !text.next_sibling()) {
      std::string out = rewrite(text.value());
      if (!out.empty()) setText(text, out, undo);
    }
  };
  forEachElement(root, [&](pugi::xml_node n) {
    std::string_view local = localName(n.name());
    if (isCellTable(local)) {
      // Rows hold cells, cells hold at most one formula: a tight loop over the bulk of a sheet.
      for (pugi::xml_node row = n.first_child(); row; row = row.next_sibling())
        for (pugi::xml_node cell = row.first_child(); cell; cell = cell.next_sibling())
          for (pugi::xml_node f = cell.first_child(); f; f = f.next_sibling())
            if (f.type() == pugi::node_element && localName(f.name()) == "f") rewriteText(f);
      return false;
    }
    if (isFormulaElement(local)) rewriteText(n);
    for (pugi::xml_attribute a : n.attributes()) {
      if (!kFormulaAttributes.count(localName(a.name()))) continue;
      std::string out = rewrite(a.value());
      if (!out.empty()) setAttribute(a, out, undo);
    }
    return true;
  });
  return changed;
}

std::atomic<bool> copyTemplates{true};
bool templatesEnabled() { return copyTemplates.load(std::memory_order_relaxed); }

// How to write the copy of a sheet from its parsed source: the copy's part is made from this
// recipe whenever it is needed, so copying a large sheet many times never holds it many times,
// and renaming the copy before it is written only changes `to`.
struct SheetRecipe {
  Package* pkg = nullptr;
  std::string source;
  std::string from;
  std::shared_ptr<std::string> to;
  std::string codeName;  // empty when the source has none
  std::map<long, long> shapeIds;
  TableRenames tables;
  GuidRenewer guids;
  std::string gap;

  std::string produce() {
    if (std::optional<std::string> text = fromTemplate()) return std::move(*text);
    return produceFor(*to, guids);
  }

  // The copy under the name `name`.
  std::string produceFor(std::string_view name, GuidRenewer& renewer) {
    pugi::xml_document& doc = pkg->xml(source);
    pugi::xml_node root = doc.document_element();
    UndoLog undo;
    retargetElements(root, from, name, RetargetMode::Copy, &undo, &tables);
    renumberShapeLinks(root, shapeIds, &undo);
    for (pugi::xml_node child : root.children()) {
      std::string_view local = localName(child.name());
      if (local == "sheetViews") {
        // A copy is never selected, so the workbook never opens with grouped tabs.
        for (pugi::xml_node view : child.children())
          if (pugi::xml_attribute a = view.attribute("tabSelected")) undo.removeAttribute(view, a);
      } else if (local == "sheetPr" && !codeName.empty()) {
        if (pugi::xml_attribute code = child.attribute("codeName"))
          undo.setAttribute(code, codeName);
      }
    }
    renewer.walk(root, &undo);
    return Package::serialize(doc, gap);
  }

  // Copies of one source differ, when it has no code name, shape links, tables or ids to renew,
  // in nothing but the copy's name in the formulas that name the source. The copy is then the
  // source's text with every such place filled in, which costs a fraction of editing and writing
  // the tree: the text with a placeholder name is worked out once and kept with the source part.
  std::optional<std::string> fromTemplate() {
    if (!templatesEnabled() || !codeName.empty() || !shapeIds.empty() || !tables.empty())
      return std::nullopt;
    // A name the XML writer escapes is written by the tree.
    if (to->find_first_of("&<>\"\r\n\t") != std::string::npos) return std::nullopt;
    // Where the name goes, formulas quote it or not; placeholders are quoted alike.
    const bool quoted = formulaSheetName(*to) != *to;
    const std::string_view first = quoted ? "Qzv Placeholder Kx" : "QzvPlaceholderKx";
    const std::string_view second = quoted ? "Qzv Placeholder Jw" : "QzvPlaceholderJw";
    if ((formulaSheetName(first) != first) != quoted) return std::nullopt;
    const std::string key = std::string("copy template ") + (quoted ? "quoted " : "plain ") + from;
    std::shared_ptr<const std::string> kept = pkg->memo(source, key);
    if (!kept) {
      kept = std::make_shared<const std::string>(makeTemplate(first, second));
      pkg->setMemo(source, key, kept);
    }
    if (kept->empty()) return std::nullopt;  // this source has no template
    return fillTemplate(*kept, first, *to);
  }

  // The copy's text under the placeholder `first`, or empty when copies differ in more than the
  // name: made twice, under two placeholders, the texts must be alike but for them (an id renewed
  // at every copy, or a placeholder the source holds already, tells them apart).
  std::string makeTemplate(std::string_view first, std::string_view second) {
    GuidRenewer once;
    std::string made = produceFor(first, once);
    GuidRenewer again;
    const std::string check = produceFor(second, again);
    size_t a = 0, b = 0;
    for (;;) {
      const size_t nextA = made.find(first, a);
      const size_t nextB = check.find(second, b);
      if ((nextA == std::string::npos) != (nextB == std::string::npos)) return {};
      if (nextA == std::string::npos)
        return std::string_view(made).substr(a) == std::string_view(check).substr(b) ? made
                                                                                      : std::string();
      if (nextA - a != nextB - b || made.compare(a, nextA - a, check, b, nextB - b) != 0) return {};
      a = nextA + first.size();
      b = nextB + second.size();
    }
  }

  static std::string fillTemplate(const std::string& text, std::string_view placeholder,
                                  std::string_view name) {
    // The name as formulas write it, less the quotes around it: the placeholder stands inside.
    std::string body = formulaSheetName(name);
    if (body != name) body = body.substr(1, body.size() - 2);
    std::string out;
    out.reserve(text.size() + text.size() / 64);
    size_t at = 0;
    for (size_t next; (next = text.find(placeholder, at)) != std::string::npos;
         at = next + placeholder.size()) {
      out.append(text, at, next - at);
      out += body;
    }
    out.append(text, at, std::string::npos);
    return out;
  }
};

}  // namespace

namespace {

// Legacy VML is scanned as text, not parsed: it is often not well-formed XML. The scanner is a
// plain loop over the bytes, so no attribute or run of digits is too long for it.

bool isWordChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

size_t skipSpace(std::string_view text, size_t at) {
  while (at < text.size() && isSpace(text[at])) ++at;
  return at;
}

// A quoted attribute value: [begin, end) of the value, and `next` just past the closing quote.
struct ValueSpan {
  size_t begin = 0, end = 0, next = 0;
};

// Reads `= "value"` (either quote) starting at `at`, after an attribute name.
std::optional<ValueSpan> quotedValue(std::string_view text, size_t at) {
  at = skipSpace(text, at);
  if (at >= text.size() || text[at] != '=') return std::nullopt;
  at = skipSpace(text, at + 1);
  if (at >= text.size() || (text[at] != '"' && text[at] != '\'')) return std::nullopt;
  size_t close = text.find(text[at], at + 1);
  if (close == std::string_view::npos) return std::nullopt;
  return ValueSpan{at + 1, close, close + 1};
}

// The value of the `data` attribute of the <o:idmap> element whose attributes start at `at`, if
// it has one. `at` is left where the reading stopped, so that no byte is read twice.
std::optional<ValueSpan> idmapData(std::string_view text, size_t& at) {
  while (at < text.size()) {
    at = skipSpace(text, at);
    if (at >= text.size() || text[at] == '>' || text[at] == '/') return std::nullopt;
    size_t nameEnd = at;
    while (nameEnd < text.size() && !isSpace(text[nameEnd]) && text[nameEnd] != '=' &&
           text[nameEnd] != '>' && text[nameEnd] != '/')
      ++nameEnd;
    if (nameEnd == at) return std::nullopt;
    std::string_view name = text.substr(at, nameEnd - at);
    if (size_t colon = name.rfind(':'); colon != std::string_view::npos)
      name.remove_prefix(colon + 1);
    std::optional<ValueSpan> value = quotedValue(text, nameEnd);
    at = value ? value->next : text.size();
    if (value && name == "data") return value;
  }
  return std::nullopt;
}

// Every <o:idmap data="..."> value in `text`, in order.
std::vector<ValueSpan> idmapValues(std::string_view text) {
  static constexpr std::string_view kTag = "<o:idmap";
  std::vector<ValueSpan> found;
  for (size_t at = text.find(kTag); at != std::string_view::npos; at = text.find(kTag, at)) {
    at += kTag.size();
    if (at < text.size() && isWordChar(text[at])) continue;
    if (std::optional<ValueSpan> value = idmapData(text, at)) found.push_back(*value);
  }
  return found;
}

// The first spidmax="digits" attribute: the span of its digits, and `next` past the closing
// quote.
std::optional<ValueSpan> spidmaxValue(std::string_view text) {
  static constexpr std::string_view kMax = "spidmax";
  for (size_t at = text.find(kMax); at != std::string_view::npos; at = text.find(kMax, at)) {
    const bool word = at > 0 && isWordChar(text[at - 1]);
    at = skipSpace(text, at + kMax.size());
    if (word || at >= text.size() || text[at] != '=') continue;
    at = skipSpace(text, at + 1);
    if (at >= text.size() || (text[at] != '"' && text[at] != '\'')) continue;
    const char quote = text[at];
    size_t end = ++at;
    while (end < text.size() && isDigit(text[end])) ++end;
    if (end == at || end >= text.size() || text[end] != quote) continue;
    return ValueSpan{at, end, end + 1};
  }
  return std::nullopt;
}

// Calls `each` with every item of a comma-separated list.
template <typename Each>
void forEachListItem(std::string_view list, Each each) {
  for (size_t at = 0; at <= list.size();) {
    size_t end = list.find(',', at);
    if (end == std::string_view::npos) end = list.size();
    std::string_view item = list.substr(at, end - at);
    while (!item.empty() && isSpace(item.front())) item.remove_prefix(1);
    while (!item.empty() && isSpace(item.back())) item.remove_suffix(1);
    each(item);
    at = end + 1;
  }
}

bool allDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), isDigit);
}

}  // namespace

void collectVmlBlocks(Package& pkg, const std::vector<std::string>& vmlParts,
                      std::set<long>& blocks) {
  for (const std::string& part : vmlParts) {
    const std::string text = pkg.read(part);
    for (const ValueSpan& value : idmapValues(text)) {
      // Blocks of other sheets that cannot be read are no block a copy could collide with.
      forEachListItem(std::string_view(text).substr(value.begin, value.end - value.begin),
                      [&](std::string_view item) {
                        if (auto block = parseNumber(item, kMaxShapeBlock)) blocks.insert(*block);
                      });
    }
  }
}

namespace {

class Copier {
 public:
  Copier(Package& pkg, const CopyRequest& request)
      : pkg_(pkg), request_(request), name_(std::make_shared<std::string>(request.copyName)) {}

  CopyResult run() {
    CopyResult result;
    try {
      result.sheetPart = duplicate(request_.sourcePart, Fixup::Formulas, true);
      finish();
      // The workbook-level lists take the copy's connections and caches last, when nothing
      // can fail any more.
      if (connections_) connections_->commit();
      if (slicers_) slicers_->commit();
    } catch (...) {
      for (const std::string& part : added_) {
        pkg_.remove(part);
        pkg_.removeOverride(part);
      }
      throw;
    }
    result.addedParts = added_;
    result.name = name_;
    result.tables = tables_;
    return result;
  }

 private:
  struct Pending {
    std::string source;
    std::string target;
    Fixup fixup;
    bool isSheet;
  };

  std::string freshName(const std::string& source) {
    std::string dir, stem, ext;
    splitPartName(source, dir, stem, ext);
    return pkg_.freshPartName(dir, stem, ext);
  }

  std::string duplicate(const std::string& source, Fixup fixup, bool isSheet) {
    if (auto it = mapping_.find(lowerAscii(source)); it != mapping_.end()) return it->second;
    std::string target = freshName(source);
    mapping_[lowerAscii(source)] = target;
    // Reserve the name at once so that nested duplicates get names of their own.
    pkg_.addBytes(target, std::string());
    added_.push_back(target);
    pkg_.coverPart(target, pkg_.contentTypeOf(source));

    const std::string relsSource = relsPartOf(source);
    if (pkg_.has(relsSource)) {
      auto relsDoc = std::make_unique<pugi::xml_document>();
      relsDoc->reset(pkg_.xml(relsSource));
      forEachRelationship(
          relsDoc->document_element(), [&](const Relationship& rel, pugi::xml_node node) {
            const PartPolicy* policy = policyFor(rel.type);
            if (!policy || policy->policy != Policy::Duplicate) return;
            std::string related = resolveTarget(source, rel.target);
            if (!pkg_.has(related)) return;
            std::string copy = duplicate(pkg_.entryName(related), policy->fixup, false);
            node.attribute("Target").set_value(relativeTarget(target, copy).c_str());
          });
      std::string relsTarget = relsPartOf(target);
      pkg_.addXml(relsTarget, std::move(relsDoc), pkg_.prologGap(relsSource));
      added_.push_back(relsTarget);
      // Some writers declare every part, relationship parts included, by an Override.
      std::string relsType = pkg_.contentTypeOf(relsSource);
      pkg_.coverPart(relsTarget, relsType.empty() ? kRelationshipsContentType : relsType);
    }
    pending_.push_back({source, target, fixup, isSheet});
    return target;
  }

  void finish() {
    // VML parts first: the sheet's controls and the drawings' form-control shapes name VML shapes
    // by id, and those ids change. Tables next: the sheet, its charts and slicer caches name
    // them. Slicers next: the drawings name them.
    auto rank = [](Fixup f) {
      return f == Fixup::Vml ? 0 : f == Fixup::Table ? 1 : f == Fixup::Slicers ? 2 : 3;
    };
    std::stable_sort(pending_.begin(), pending_.end(), [&](const Pending& a, const Pending& b) {
      return rank(a.fixup) < rank(b.fixup);
    });
    const std::string legacy = legacyDrawingOf(request_.sourcePart);
    for (const Pending& p : pending_) {
      switch (p.fixup) {
        case Fixup::None:
          pkg_.addBytes(p.target, pkg_.read(p.source));
          break;
        case Fixup::Threads: {
          // Notes that mirror no thread are copied as they are.
          const std::string text = pkg_.read(p.source);
          if (text.find("tc={") == std::string::npos &&
              text.find("ThreadedComments") == std::string::npos) {
            pkg_.addBytes(p.target, text);
            break;
          }
          auto doc = std::make_unique<pugi::xml_document>();
          doc->reset(pkg_.xml(p.source));
          RenewGuid renew = [this](std::string_view old) { return threadIds_.renew(old); };
          if (localName(doc->document_element().name()) == "ThreadedComments") {
            renewThreadedComments(*doc, renew);
          } else {
            renewNotes(*doc, renew);
          }
          pkg_.addXml(p.target, std::move(doc), pkg_.prologGap(p.source));
          break;
        }
        case Fixup::Views: {
          auto doc = std::make_unique<pugi::xml_document>();
          doc->reset(pkg_.xml(p.source));
          GuidRenewer guids;
          renewNamedSheetViews(
              *doc, [&guids](std::string_view old) { return guids.renew(old); },
              [this](long id) { return tables_.findId(id); });
          pkg_.addXml(p.target, std::move(doc), pkg_.prologGap(p.source));
          break;
        }
        case Fixup::Query:
        case Fixup::Slicers: {
          auto doc = std::make_unique<pugi::xml_document>();
          doc->reset(pkg_.xml(p.source));
          if (p.fixup == Fixup::Query) {
            relinkConnection(doc->document_element(), connections());
          } else {
            slicers().renewPart(*doc);
          }
          pkg_.addXml(p.target, std::move(doc), pkg_.prologGap(p.source));
          break;
        }
        case Fixup::Vml:
          pkg_.addBytes(p.target, renumberVml(p.source, pkg_.read(p.source),
                                              shapeIdsOf_[lowerAscii(p.source)]));
          break;
        case Fixup::Formulas:
        case Fixup::Drawing:
        case Fixup::Table:
        case Fixup::Pivot: {
          if (shapeIds_.empty() && !legacy.empty()) shapeIds_ = shapeIdsOf_[legacy];
          if (p.isSheet) {
            addSheet(p);
            break;
          }
          auto doc = std::make_unique<pugi::xml_document>();
          doc->reset(pkg_.xml(p.source));
          if (p.fixup == Fixup::Table) {
            renewTable(*doc, request_.tables(), tables_);
            // A table filled by a query names the query's connection.
            if (doc->document_element().attribute("connectionId"))
              relinkConnection(doc->document_element(), connections());
          }
          if (p.fixup == Fixup::Drawing && slicers_)
            slicers_->renameShapes(doc->document_element());
          if (p.fixup == Fixup::Table || p.fixup == Fixup::Pivot)
            GuidRenewer().walk(doc->document_element(), nullptr);
          retargetElements(doc->document_element(), request_.sourceName, request_.copyName,
                           RetargetMode::Copy, nullptr, &tables_);
          renumberShapeLinks(doc->document_element(), shapeIds_, nullptr);
          pkg_.addXml(p.target, std::move(doc), pkg_.prologGap(p.source));
          break;
        }
      }
    }
  }

  ConnectionCopies& connections() {
    if (!connections_) connections_.emplace(pkg_, request_.workbookPart);
    return *connections_;
  }

  SlicerCopies& slicers() {
    if (!slicers_) {
      SlicerContext context;
      context.workbookPart = request_.workbookPart;
      context.sourceSheetId = request_.sourceSheetId;
      context.copySheetId = request_.copySheetId;
      context.registry = &request_.slicers();
      context.names = &request_.tables();
      context.tables = &tables_;
      context.added = &added_;
      slicers_.emplace(pkg_, std::move(context));
    }
    return *slicers_;
  }

  // The VML part that the sheet's <legacyDrawing> names (lower case), or empty.
  std::string legacyDrawingOf(const std::string& sheetPart) {
    pugi::xml_node root = pkg_.xml(sheetPart).document_element();
    for (pugi::xml_node child : root.children()) {
      if (localName(child.name()) != "legacyDrawing") continue;
      for (pugi::xml_attribute a : child.attributes()) {
        if (localName(a.name()) != "id" || std::string_view(a.name()) == "id") continue;
        const Relationships links = pkg_.relationships(sheetPart);
        if (const Relationship* rel = links.byId(a.value()); rel && !rel->external)
          return lowerAscii(resolveTarget(sheetPart, rel->target));
      }
    }
    return {};
  }

  void addSheet(const Pending& p) {
    auto recipe = std::make_shared<SheetRecipe>();
    recipe->pkg = &pkg_;
    recipe->source = p.source;
    recipe->from = request_.sourceName;
    recipe->to = name_;
    recipe->shapeIds = shapeIds_;
    recipe->tables = tables_;
    pugi::xml_node root = pkg_.xml(p.source).document_element();
    recipe->gap = pkg_.prologGap(p.source);  // known once the part is parsed
    for (pugi::xml_node child : root.children()) {
      if (localName(child.name()) != "sheetPr") continue;
      if (pugi::xml_attribute code = child.attribute("codeName"))
        recipe->codeName = request_.codeName.empty()
                               ? freshCodeName(*request_.ids, code.value(), false)
                               : request_.codeName;
    }
    pkg_.addLazy(p.target, [recipe] { return recipe->produce(); });
  }

  // A legacy drawing's copy: its shape-id blocks fresh, and every shape id in them moved along.
  // `part` names the VML part in messages; `shapeIds` receives old id -> new.
  std::string renumberVml(const std::string& part, const std::string& text,
                          std::map<long, long>& shapeIds) {
    VmlNumbers numbers{part, {}, shapeIds};
    std::string out = renumberShapes(numbers, renumberBlocks(numbers, text));
    return renumberSpidmax(numbers, std::move(out));
  }

  // What renumbering one VML part has learnt so far.
  struct VmlNumbers {
    const std::string& part;
    std::map<long, long> blocks;  // the source's block -> the copy's
    std::map<long, long>& shapeIds;
  };

  long numberIn(const VmlNumbers& vml, std::string_view digits, long max, const char* what) {
    std::optional<long> value = parseNumber(digits, max);
    if (!value)
      pkg_.damaged(vml.part, std::string("the legacy drawing has ") + what + " out of range");
    return *value;
  }

  // The shape id in the copy's blocks; recorded when it moves.
  static long mapShapeId(VmlNumbers& vml, long id) {
    auto it = vml.blocks.find(id / 1024);
    if (it == vml.blocks.end()) return id;
    long fresh = it->second * 1024 + id % 1024;
    vml.shapeIds[id] = fresh;
    return fresh;
  }

  // The first o:idmap's blocks, in order, each replaced by a fresh block of the workbook.
  std::string renumberBlocks(VmlNumbers& vml, const std::string& text) {
    std::vector<ValueSpan> idmaps = idmapValues(text);
    if (idmaps.empty()) return text;
    const ValueSpan& value = idmaps.front();
    std::string fresh;
    forEachListItem(
        std::string_view(text).substr(value.begin, value.end - value.begin),
        [&](std::string_view item) {
          // An item that is no number gets a fresh block all the same.
          long old = allDigits(item) ? numberIn(vml, item, kMaxShapeBlock, "a shape block") : -1;
          std::optional<long> next =
              request_.ids->claimNextNumber(IdKind::VmlShapeBlock, 1, kMaxShapeBlock);
          if (!next) pkg_.damaged(vml.part, "the legacy drawing has a shape block out of range");
          if (old >= 0) vml.blocks[old] = *next;
          if (!fresh.empty()) fresh += ',';
          fresh += std::to_string(*next);
        });
    return text.substr(0, value.begin) + fresh + text.substr(value.end);
  }

  // Shape ids: "_x0000_s" and digits, wherever they stand.
  std::string renumberShapes(VmlNumbers& vml, const std::string& text) {
    static constexpr std::string_view kShape = "_x0000_s";
    std::string out;
    out.reserve(text.size());
    size_t copied = 0;
    for (size_t at = text.find(kShape); at != std::string::npos; at = text.find(kShape, at)) {
      size_t digits = at + kShape.size(), end = digits;
      while (end < text.size() && isDigit(text[end])) ++end;
      if (end == digits) {
        at = digits;
        continue;
      }
      out.append(text, copied, digits - copied);
      const long id = numberIn(vml, std::string_view(text).substr(digits, end - digits),
                               kMaxShapeId, "a shape id");
      out += std::to_string(mapShapeId(vml, id));
      copied = at = end;
    }
    out.append(text, copied);
    return out;
  }

  // The first spidmax="digits" attribute, written back with double quotes.
  std::string renumberSpidmax(VmlNumbers& vml, std::string text) {
    std::optional<ValueSpan> value = spidmaxValue(text);
    if (!value) return text;
    const size_t name = text.rfind("spidmax", value->begin);
    const long id =
        numberIn(vml, std::string_view(text).substr(value->begin, value->end - value->begin),
                 kMaxShapeId, "a shape id");
    return text.substr(0, name) + "spidmax=\"" + std::to_string(mapShapeId(vml, id)) + "\"" +
           text.substr(value->next);
  }

  Package& pkg_;
  const CopyRequest& request_;
  std::map<std::string, std::string> mapping_;  // lower-case source part -> new part
  std::vector<Pending> pending_;
  std::vector<std::string> added_;
  // Old shape id -> new, for each VML part (lower-case source name). Header and footer pictures
  // have a VML part of their own whose ids may repeat those of the notes and controls.
  std::map<std::string, std::map<long, long>> shapeIdsOf_;
  // The shape ids that the sheet's controls and its drawings refer to: those of the sheet's
  // legacy drawing.
  std::map<long, long> shapeIds_;
  TableRenames tables_;                          // the source's tables -> the copy's
  std::optional<ConnectionCopies> connections_;  // made when the copy has a query table
  std::optional<SlicerCopies> slicers_;          // made when the copy has a slicer or timeline
  GuidRenewer threadIds_;              // comment threads: shared by the threaded and legacy parts
  std::shared_ptr<std::string> name_;  // the copy's name, as its sheet part is written
};

}  // namespace

std::string freshCodeName(IdRegistry& ids, std::string_view source, bool asciiOnly) {
  std::string stem(source);
  while (!stem.empty() && stem.back() >= '0' && stem.back() <= '9') stem.pop_back();
  const bool identifier =
      !stem.empty() && std::isalpha(static_cast<unsigned char>(stem[0])) &&
      std::all_of(stem.begin(), stem.end(), [](char c) {
        return c == '_' || (static_cast<unsigned char>(c) < 0x80 && std::isalnum(c));
      });
  if (stem.empty() || (asciiOnly && !identifier)) stem = "Sheet";
  for (long n = 1;; ++n) {
    std::string candidate = stem + std::to_string(n);
    if (candidate.size() > 31)
      candidate = stem.substr(0, 31 - std::to_string(n).size()) + std::to_string(n);
    if (ids.claimName(IdKind::CodeName, candidate)) return candidate;
  }
}

std::string newGuid() {
  static std::mt19937_64 random{std::random_device{}()};
  std::uint64_t hi = random(), lo = random();
  hi = (hi & 0xFFFFFFFFFFFF0FFFULL) | 0x0000000000004000ULL;  // version 4
  lo = (lo & 0x3FFFFFFFFFFFFFFFULL) | 0x8000000000000000ULL;  // variant 1
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "{%08X-%04X-%04X-%04X-%012llX}",
                static_cast<unsigned>(hi >> 32), static_cast<unsigned>((hi >> 16) & 0xFFFF),
                static_cast<unsigned>(hi & 0xFFFF), static_cast<unsigned>(lo >> 48),
                static_cast<unsigned long long>(lo & 0xFFFFFFFFFFFFULL));
  return buffer;
}

bool retargetPart(pugi::xml_document& doc, std::string_view from, std::string_view to,
                  RetargetMode mode) {
  return retargetElements(doc.document_element(), from, to, mode, nullptr);
}

std::optional<CopyBlocker> copyBlocker(Package& pkg, const std::string& sheetPart) {
  std::set<std::string> seen;
  if (auto blocker = checkPart(pkg, sheetPart, seen)) return blocker;
  // A sheet that cannot be read fails here, before anything is changed; the copy reads it anyway.
  pkg.xml(sheetPart);
  return std::nullopt;
}

CopyResult copySheetParts(Package& pkg, const CopyRequest& request) {
  Copier copier(pkg, request);
  return copier.run();
}

void setCopyTemplates(bool on) { copyTemplates.store(on, std::memory_order_relaxed); }

}  // namespace orv::ooxml
