#include "server/ods/content.h"

#include <map>
#include <random>
#include <stdexcept>

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

// Puts a table back where it was taken from, and the marks of the pack away, however the pack
// ends.
struct MarksUndone {
  pugi::xml_document& doc;
  pugi::xml_node holder;
  std::vector<std::pair<pugi::xml_node, pugi::xml_node>> marks;  // before and after each table
  std::vector<std::pair<pugi::xml_node, pugi::xml_node>> taken;  // table and the mark before it
  ~MarksUndone() {
    for (auto& [table, before] : taken) before.parent().insert_move_after(table, before);
    for (auto& [before, after] : marks) {
      before.parent().remove_child(before);
      after.parent().remove_child(after);
    }
    if (holder) doc.remove_child(holder);
  }
};

}  // namespace

PackedContent::Packing PackedContent::pack(Content& content) {
  pugi::xml_document& doc = content.doc();
  // Each table is marked before and after by an instruction no document holds; a table packed
  // before is moved aside meanwhile, so that only the rest is written out as text.
  static const std::string mark = [] {
    std::string m = "orvandel-piece-";
    for (int i = 0; i < 4; ++i) m += std::to_string(std::random_device()());
    return m;
  }();
  const std::string markText = "<?" + mark + "?>";
  const std::string nameAttr = Prefixes::qualified(content.ns().table, "name");
  MarksUndone undo{doc, pugi::xml_node(), {}, {}};
  std::vector<const Packed*> kept(content.tables().size(), nullptr);
  for (size_t i = 0; i < content.tables().size(); ++i) {
    pugi::xml_node table = content.tables()[i];
    pugi::xml_node parent = table.parent();
    pugi::xml_node before = parent.insert_child_before(pugi::node_pi, table);
    if (!before) throw std::bad_alloc();
    pugi::xml_node after = parent.insert_child_after(pugi::node_pi, table);
    if (!after) {
      parent.remove_child(before);
      throw std::bad_alloc();
    }
    undo.marks.emplace_back(before, after);
    if (!before.set_name(mark.c_str()) || !after.set_name(mark.c_str())) throw std::bad_alloc();
    auto it = tables_.find(table.internal_object());
    if (it == tables_.end() || it->second.name != table.attribute(nameAttr.c_str()).value())
      continue;
    if (!undo.holder) undo.holder = doc.append_child("orvandel-aside");
    if (!undo.holder.append_move(table)) throw std::bad_alloc();
    undo.taken.emplace_back(table, before);
    kept[i] = &it->second;
  }
  // What the document's save would write, without what was moved aside.
  StringWriter writer;
  bool declared = false;
  for (pugi::xml_node n = doc.first_child(); n && n.type() != pugi::node_element;
       n = n.next_sibling())
    declared = declared || n.type() == pugi::node_declaration;
  if (!declared) writer.out = "<?xml version=\"1.0\"?>";
  for (pugi::xml_node n : doc.children())
    if (n != undo.holder) n.print(writer, "", pugi::format_raw, pugi::encoding_utf8);

  // The text between marks: what lies around the tables, and the tables not packed before.
  zip::PieceDeflater deflater(1);
  // What lies around the tables; reserved whole, so that `order` can point into it.
  std::vector<zip::DeflatedPiece> fresh;
  fresh.reserve(content.tables().size() + 1);
  std::vector<const zip::DeflatedPiece*> order;
  packing_.clear();
  std::string_view text = writer.out;
  size_t at = 0;
  for (size_t piece = 0; piece <= 2 * content.tables().size(); ++piece) {
    const size_t end = piece == 2 * content.tables().size() ? text.size() : text.find(markText, at);
    if (end == std::string_view::npos) throw std::logic_error("a table's mark was not written");
    const std::string_view between = text.substr(at, end - at);
    at = end + markText.size();
    const bool isTable = piece % 2 == 1;
    const size_t table = piece / 2;
    if (isTable && kept[table]) {
      order.push_back(&kept[table]->piece);
      packing_.push_back(Step{kept[table]->serial, {}});
      continue;
    }
    if (between.empty() && !isTable) continue;
    zip::DeflatedPiece deflated = deflater.add(between);
    if (!isTable) {
      fresh.push_back(std::move(deflated));
      order.push_back(&fresh.back());
      packing_.push_back(Step{0, fresh.back().packed});
      continue;
    }
    pugi::xml_node node = content.tables()[table];
    Packed& packed = tables_[node.internal_object()];
    packed.name = node.attribute(nameAttr.c_str()).value();
    packed.piece = std::move(deflated);
    packed.serial = ++serials_;
    order.push_back(&packed.piece);
    packing_.push_back(Step{packed.serial, {}});
  }
  Packing result;
  result.whole = zip::joinPieces(order);
  if (savedAt_) {
    result.sameAt = *savedAt_;
    for (size_t i = 0; i < packing_.size() && i < saved_.size() && packing_[i] == saved_[i]; ++i)
      result.sameLength += order[i]->packed.size();
  }
  return result;
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
