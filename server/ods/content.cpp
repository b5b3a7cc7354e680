#include "server/ods/content.h"

#include <algorithm>
#include <map>
#include <random>
#include <stdexcept>
#include <unordered_set>

#include "server/ods/open_formula.h"
#include "server/server_error.h"
#include "server/sheet_names.h"

namespace orv::ods {

namespace {

constexpr std::string_view kOfficeNs = "urn:oasis:names:tc:opendocument:xmlns:office:1.0";

struct StringWriter : pugi::xml_writer {
  std::string out;
  void write(const void* data, size_t size) override {
    out.append(static_cast<const char*>(data), size);
  }
};

std::string_view localPart(std::string_view name) {
  const size_t colon = name.find(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

std::string_view prefixPart(std::string_view name) {
  const size_t colon = name.find(':');
  return colon == std::string_view::npos ? std::string_view() : name.substr(0, colon);
}

// A name that no sheet can have (sheet names hold no control characters), for asking whether a
// rewrite would change anything.
constexpr std::string_view kProbeName = "\x01";

}  // namespace

Prefixes::Prefixes(pugi::xml_node root) {
  const std::map<std::string_view, std::string*> wanted = {
      {"urn:oasis:names:tc:opendocument:xmlns:office:1.0", &office},
      {"urn:oasis:names:tc:opendocument:xmlns:table:1.0", &table},
      {"urn:oasis:names:tc:opendocument:xmlns:drawing:1.0", &draw},
      {"http://www.w3.org/1999/xlink", &xlink},
      {"urn:org:documentfoundation:names:experimental:calc:xmlns:calcext:1.0", &calcext},
      {"urn:oasis:names:tc:opendocument:xmlns:form:1.0", &form},
      {"urn:oasis:names:tc:opendocument:xmlns:chart:1.0", &chart},
      {"urn:oasis:names:tc:opendocument:xmlns:config:1.0", &config},
      {"urn:oasis:names:tc:opendocument:xmlns:meta:1.0", &meta},
      {"urn:oasis:names:tc:opendocument:xmlns:manifest:1.0", &manifest},
      {"urn:oasis:names:tc:opendocument:xmlns:text:1.0", &text},
      {"urn:oasis:names:tc:opendocument:xmlns:style:1.0", &style},
  };
  // The usual prefixes stand until a declaration says otherwise.
  office = "office", table = "table", draw = "draw", xlink = "xlink", calcext = "calcext";
  form = "form", chart = "chart", config = "config", meta = "meta", manifest = "manifest";
  text = "text", style = "style";
  for (pugi::xml_attribute a : root.attributes()) {
    std::string_view name = a.name();
    if (!name.starts_with("xmlns:")) continue;
    auto it = wanted.find(a.value());
    if (it != wanted.end()) *it->second = std::string(name.substr(6));
  }
}

bool Prefixes::is(pugi::xml_node node, const std::string& prefix, std::string_view local) {
  std::string_view name = node.name();
  return name.size() == prefix.size() + 1 + local.size() && name.starts_with(prefix) &&
         name[prefix.size()] == ':' && name.substr(prefix.size() + 1) == local;
}

std::string Prefixes::qualified(const std::string& prefix, std::string_view local) {
  return prefix + ":" + std::string(local);
}

std::string serializeXml(const pugi::xml_document& doc, size_t expected) {
  StringWriter writer;
  writer.out.reserve(expected);
  doc.save(writer, "", pugi::format_raw, pugi::encoding_utf8);
  return std::move(writer.out);
}

namespace {

// Puts the spreadsheet's children back where the mark stands, and takes the mark and the holder
// away.
struct ChildrenAside {
  pugi::xml_document& doc;
  pugi::xml_node spreadsheet;
  pugi::xml_node holder;
  pugi::xml_node mark;
  ~ChildrenAside() {
    if (mark) {
      while (pugi::xml_node child = holder.first_child()) spreadsheet.insert_move_before(child, mark);
      spreadsheet.remove_child(mark);
    }
    if (holder) doc.remove_child(holder);
  }
};

}  // namespace

PackedContent::Packing PackedContent::pack(Content& content) {
  pugi::xml_document& doc = content.doc();
  // The spreadsheet's children are moved aside and an instruction no document holds marks their
  // place; the document is written around it, and each child on its own. Nothing is added to
  // the tree for each table, so that saving again and again does not grow it.
  static const std::string mark = [] {
    std::string m = "orvandel-piece-";
    for (int i = 0; i < 4; ++i) m += std::to_string(std::random_device()());
    return m;
  }();
  const std::string markText = "<?" + mark + "?>";
  const std::string nameAttr = Prefixes::qualified(content.ns().table, "name");
  pugi::xml_node spreadsheet = content.spreadsheet();
  ChildrenAside aside{doc, spreadsheet, doc.append_child("orvandel-aside"), {}};
  if (!aside.holder) throw std::bad_alloc();
  aside.mark = spreadsheet.append_child(pugi::node_pi);
  if (!aside.mark || !aside.mark.set_name(mark.c_str())) throw std::bad_alloc();
  while (spreadsheet.first_child() != aside.mark)
    if (!aside.holder.append_move(spreadsheet.first_child())) throw std::bad_alloc();

  StringWriter writer;
  bool declared = false;
  for (pugi::xml_node n = doc.first_child(); n && n.type() != pugi::node_element;
       n = n.next_sibling())
    declared = declared || n.type() == pugi::node_declaration;
  if (!declared) writer.out = "<?xml version=\"1.0\"?>";
  for (pugi::xml_node n : doc.children())
    if (n != aside.holder) n.print(writer, "", pugi::format_raw, pugi::encoding_utf8);
  const size_t markAt = writer.out.find(markText);
  if (markAt == std::string::npos) throw std::logic_error("the tables' mark was not written");

  std::unordered_set<const void*> isTable;
  for (pugi::xml_node table : content.tables()) isTable.insert(table.internal_object());
  zip::PieceDeflater deflater(1);
  // What lies around the tables; reserved whole, so that `order` can point into it.
  std::vector<zip::DeflatedPiece> fresh;
  fresh.reserve(content.tables().size() + 1);
  std::vector<const zip::DeflatedPiece*> order;
  packing_.clear();
  std::string between = writer.out.substr(0, markAt);
  auto endBetween = [&] {
    if (between.empty()) return;
    fresh.push_back(deflater.add(between));
    order.push_back(&fresh.back());
    packing_.push_back(Step{0, fresh.back().packed});
    between.clear();
  };
  for (pugi::xml_node child : aside.holder.children()) {
    StringWriter text;
    if (!isTable.count(child.internal_object())) {
      child.print(text, "", pugi::format_raw, pugi::encoding_utf8);
      between += text.out;
      continue;
    }
    endBetween();
    auto it = tables_.find(child.internal_object());
    if (it != tables_.end() && it->second.name == child.attribute(nameAttr.c_str()).value()) {
      order.push_back(&it->second.piece);
      packing_.push_back(Step{it->second.serial, {}});
      continue;
    }
    if (retired(child)) throw std::logic_error("a retired table has no packed text");
    child.print(text, "", pugi::format_raw, pugi::encoding_utf8);
    Packed& packed = tables_[child.internal_object()];
    packed.name = child.attribute(nameAttr.c_str()).value();
    packed.piece = deflater.add(text.out);
    packed.serial = ++serials_;
    order.push_back(&packed.piece);
    packing_.push_back(Step{packed.serial, {}});
  }
  between += std::string_view(writer.out).substr(markAt + markText.size());
  endBetween();
  Packing result;
  size_t same = 0;
  if (savedAt_) {
    result.sameAt = *savedAt_;
    for (; same < packing_.size() && same < saved_.size() && packing_[same] == saved_[same]; ++same)
      result.sameLength += order[same]->packed.size();
  }
  result.rest = zip::joinPieces(order, same);
  return result;
}

void PackedContent::forget(pugi::xml_node table) {
  // A retired table's packed text is all there is of it.
  if (retired(table)) throw std::logic_error("a retired table was about to be forgotten");
  tables_.erase(table.internal_object());
}

void PackedContent::forgetAll() {
  if (!retired_.empty()) throw std::logic_error("retired tables were about to be forgotten");
  tables_.clear();
}

void PackedContent::retire(Content& content, size_t index) {
  pugi::xml_node table = content.tables().at(index);
  if (retired(table)) return;
  const std::string nameAttr = Prefixes::qualified(content.ns().table, "name");
  const char* name = table.attribute(nameAttr.c_str()).value();
  auto it = tables_.find(table.internal_object());
  if (it == tables_.end() || it->second.name != name) {
    // The table's text as the whole document's writing gives it between its neighbours.
    StringWriter writer;
    table.print(writer, "", pugi::format_raw, pugi::encoding_utf8);
    zip::PieceDeflater deflater(1);
    Packed packed{name, deflater.add(writer.out), ++serials_};
    it = tables_.insert_or_assign(table.internal_object(), std::move(packed)).first;
  }
  retired_.insert(table.internal_object());
  table.remove_children();
  ++retiredSinceCompaction_;
}

bool PackedContent::compactIfWorthIt(Content& content) {
  // Each retired table may keep two of the tree's 32 KB pages (its first and its last, where
  // other nodes lie too). The copy holds the rest of the tree twice for a moment, which takes
  // about three times its text.
  constexpr std::uint64_t kKeptByRetired = 64 * 1024;
  if (retiredSinceCompaction_ < 32 ||
      retiredSinceCompaction_ * kKeptByRetired < std::max<std::uint64_t>(2 << 20, 3 * treeText_))
    return false;
  std::vector<std::optional<Packed>> packed(content.tables().size());
  std::vector<bool> wasRetired(content.tables().size(), false);
  for (size_t i = 0; i < content.tables().size(); ++i) {
    const void* key = content.tables()[i].internal_object();
    if (auto it = tables_.find(key); it != tables_.end()) packed[i] = std::move(it->second);
    wasRetired[i] = retired_.count(key) > 0;
  }
  content.compact();
  tables_.clear();
  retired_.clear();
  for (size_t i = 0; i < content.tables().size(); ++i) {
    const void* key = content.tables()[i].internal_object();
    if (packed[i]) tables_.emplace(key, std::move(*packed[i]));
    if (wasRetired[i]) retired_.insert(key);
  }
  retiredSinceCompaction_ = 0;
  return true;
}

void PackedContent::restore(Content& content, size_t index) {
  pugi::xml_node table = content.tables().at(index);
  if (!retired(table)) return;
  const Packed& packed = tables_.at(table.internal_object());
  // The piece joined alone is a whole stream.
  const zip::DeflatedPiece stream = zip::joinPieces({&packed.piece});
  std::optional<std::string> text = zip::inflateRaw(stream.packed, packed.piece.plainSize);
  if (!text) throw std::logic_error("a retired table's packed text does not inflate");
  const pugi::xml_parse_result parsed =
      table.append_buffer(text->data(), text->size(), kParseOptions);
  pugi::xml_node whole = table.first_child();
  if (!parsed || !whole || whole.next_sibling())
    throw std::logic_error("a retired table's packed text does not parse");
  while (pugi::xml_node child = whole.first_child()) table.append_move(child);
  table.remove_child(whole);
  retired_.erase(table.internal_object());
}

void PackedContent::restoreAll(Content& content) {
  for (size_t i = 0; i < content.tables().size() && !retired_.empty(); ++i) restore(content, i);
}

void PackedContent::saved(std::optional<std::uint64_t> at) {
  saved_ = std::move(packing_);
  packing_.clear();
  savedAt_ = at;
}

size_t PackedContent::bytes() const {
  size_t total = 0;
  for (const auto& [node, packed] : tables_) total += packed.piece.packed.size() + packed.name.size();
  return total;
}

namespace {

[[noreturn]] void damagedContent(const std::string& display, const std::string& why) {
  throw ServerError("Cannot open '" + display + "': the file is damaged (content.xml: " + why +
                    ").");
}

}  // namespace

Content::Content(std::string_view xml, const std::string& display)
    : doc_(std::make_unique<pugi::xml_document>()) {
  const pugi::xml_parse_result parsed = doc_->load_buffer(xml.data(), xml.size(), kParseOptions);
  if (!parsed)
    damagedContent(display,
                   std::string(parsed.description()) + " at byte " + std::to_string(parsed.offset));
  index(display);
}

Content::Content(std::unique_ptr<pugi::xml_document> doc, const std::string& display)
    : doc_(std::move(doc)) {
  index(display);
}

void Content::compact() {
  auto fresh = std::make_unique<pugi::xml_document>();
  fresh->reset(*doc_);
  const size_t count = tables_.size();
  doc_ = std::move(fresh);
  index("content.xml");
  if (tables_.size() != count) throw std::logic_error("the compacted content lost a table");
}

void Content::index(const std::string& display) {
  pugi::xml_node root = doc_->document_element();
  ns_ = std::make_unique<Prefixes>(root);
  if (!Prefixes::is(root, ns_->office, "document-content") ||
      std::string_view(root.attribute(("xmlns:" + ns_->office).c_str()).value()) != kOfficeNs)
    damagedContent(display, "it is not the content of an OpenDocument file");
  pugi::xml_node body = root.child(Prefixes::qualified(ns_->office, "body").c_str());
  spreadsheet_ = body.child(Prefixes::qualified(ns_->office, "spreadsheet").c_str());
  if (!spreadsheet_) damagedContent(display, "it holds no spreadsheet");
  const std::string table = Prefixes::qualified(ns_->table, "table");
  tables_.clear();
  for (pugi::xml_node t : spreadsheet_.children(table.c_str())) tables_.push_back(t);
  if (tables_.empty()) damagedContent(display, "the spreadsheet has no sheets");
}

std::string Content::tableName(size_t index) const {
  return tables_.at(index).attribute(Prefixes::qualified(ns_->table, "name").c_str()).value();
}

bool Content::structureProtected() const {
  const std::string_view value =
      spreadsheet_.attribute(Prefixes::qualified(ns_->table, "structure-protected").c_str())
          .value();
  return value == "true";
}

bool isFormulaAttribute(const Prefixes& ns, std::string_view name) {
  const std::string_view prefix = prefixPart(name), local = localPart(name);
  if (prefix == ns.table)
    return local == "formula" || local == "expression" || local == "condition";
  if (prefix == ns.calcext) return local == "value" || local == "formula";
  if (prefix == ns.style) return local == "condition";
  return false;
}

bool isAddressAttribute(const Prefixes& ns, std::string_view name) {
  const std::string_view prefix = prefixPart(name), local = localPart(name);
  // Conditional cell styles (style:map) name the cell their conditions are relative to.
  if (prefix == ns.style) return local == "base-cell-address";
  if (prefix != ns.table && prefix != ns.calcext && prefix != ns.chart && prefix != ns.draw &&
      prefix != ns.form)
    return false;
  return local.ends_with("-address") || local.ends_with("-addresses") || local == "print-ranges" ||
         local == "notify-on-update-of-ranges" || local == "linked-cell" ||
         local == "source-cell-range" || local == "cell-range";
}

bool retargetTree(const Prefixes& ns, pugi::xml_node node, std::string_view from,
                  std::string_view to, RetargetMode mode) {
  bool changed = false;
  const auto visit = [&](pugi::xml_node n) {
    for (pugi::xml_attribute a : n.attributes()) {
      const std::string_view name = a.name(), value = a.value();
      std::string rewritten;
      if (isFormulaAttribute(ns, name)) {
        rewritten = retargetFormula(value, from, to, mode);
      } else if (isAddressAttribute(ns, name)) {
        rewritten = retargetAddresses(value, from, to, mode);
      } else {
        continue;
      }
      if (rewritten != value) {
        a.set_value(rewritten.c_str());
        changed = true;
      }
    }
  };
  forEachElement(node, visit);
  return changed;
}

bool addressesName(std::string_view addresses, std::string_view sheet) {
  return retargetAddresses(addresses, sheet, kProbeName, RetargetMode::Rename) != addresses;
}

std::string objectFolder(std::string_view href) {
  if (href.starts_with("./")) href.remove_prefix(2);
  while (href.ends_with("/")) href.remove_suffix(1);
  if (href.empty() || href.find(':') != std::string_view::npos || href.starts_with("/") ||
      href.starts_with("../"))
    return {};
  return std::string(href);
}

std::optional<CopyBlocker> tableBlocker(const Content& content, size_t index,
                                        const std::function<bool(const std::string&)>& isChart) {
  const Prefixes& ns = content.ns();
  const pugi::xml_node table = content.tables().at(index);
  const std::string name = content.tableName(index);
  // Data pilot (pivot) output placed on the sheet; a sheet that is only a pivot's source copies.
  const std::string pilots = Prefixes::qualified(ns.table, "data-pilot-tables");
  const std::string target = Prefixes::qualified(ns.table, "target-range-address");
  for (pugi::xml_node pilot : content.spreadsheet().child(pilots.c_str()).children())
    if (addressesName(pilot.attribute(target.c_str()).value(), name))
      return CopyBlocker{BlockingFeature::PivotTables, {}};
  if (table.child(Prefixes::qualified(ns.table, "table-source").c_str()))
    return CopyBlocker{BlockingFeature::LinkedSheets, {}};
  if (table.child(Prefixes::qualified(ns.table, "scenario").c_str()))
    return CopyBlocker{BlockingFeature::Scenarios, {}};
  // An empty forms element (which the office suite writes for every sheet) holds no control.
  for (pugi::xml_node form :
       table.child(Prefixes::qualified(ns.office, "forms").c_str()).children())
    if (form.type() == pugi::node_element) return CopyBlocker{BlockingFeature::FormControls, {}};
  std::optional<CopyBlocker> found;
  const std::string href = Prefixes::qualified(ns.xlink, "href");
  table.find_node([&](pugi::xml_node n) {
    if (Prefixes::is(n, ns.draw, "control")) {
      found = CopyBlocker{BlockingFeature::FormControls, {}};
    } else if (Prefixes::is(n, ns.draw, "object-ole") || Prefixes::is(n, ns.draw, "applet") ||
               Prefixes::is(n, ns.draw, "plugin")) {
      found = CopyBlocker{BlockingFeature::OleObjects, {}};
    } else if (Prefixes::is(n, ns.draw, "object")) {
      const std::string folder = objectFolder(n.attribute(href.c_str()).value());
      if (folder.empty() || !isChart(folder)) found = CopyBlocker{BlockingFeature::OleObjects, {}};
    }
    return found.has_value();
  });
  return found;
}

}  // namespace orv::ods
