#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <pugixml.hpp>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "server/blocking_feature.h"
#include "server/formula_refs.h"
#include "server/zip/raw_copy.h"

namespace orv::ods {

// The namespace prefixes one OpenDocument XML document uses, read from its root's declarations
// (where every writer puts them), so that elements are found whatever their prefixes.
struct Prefixes {
  explicit Prefixes(pugi::xml_node root);
  std::string office, table, draw, xlink, calcext, form, chart, config, meta, manifest, text, style;
  // True when `node` is the element `local` of the namespace whose prefix is `prefix`.
  static bool is(pugi::xml_node node, const std::string& prefix, std::string_view local);
  static std::string qualified(const std::string& prefix, std::string_view local);
};

// The parse options every OpenDocument part uses, and the way every part is written back: every
// namespace declaration, comment and processing instruction is kept.
constexpr unsigned kParseOptions = pugi::parse_full | pugi::parse_ws_pcdata;
// `expected`: about the size of the text, when known, so that a large part is written into one
// buffer instead of one that is moved again and again as it grows.
std::string serializeXml(const pugi::xml_document& doc, size_t expected = 0);

// The document content (content.xml) of a spreadsheet: its tables in tab order.
class Content {
 public:
  // Parses the text; throws ServerError naming `display` when it is not a spreadsheet's content.
  Content(std::string_view xml, const std::string& display);
  // Over a tree already parsed from a content.xml (or one that parsing its text would give).
  Content(std::unique_ptr<pugi::xml_document> doc, const std::string& display);
  // Hands the tree over; the content is of no further use.
  std::unique_ptr<pugi::xml_document> takeDoc() { return std::move(doc_); }

  pugi::xml_document& doc() { return *doc_; }
  pugi::xml_node spreadsheet() const { return spreadsheet_; }
  const Prefixes& ns() const { return *ns_; }
  std::vector<pugi::xml_node>& tables() { return tables_; }
  const std::vector<pugi::xml_node>& tables() const { return tables_; }
  std::string tableName(size_t index) const;
  bool structureProtected() const;
  std::string serialize(size_t expected = 0) const { return serializeXml(*doc_, expected); }
  // Copies the tree into a new document, which takes only the memory of what it holds: the tree
  // keeps the memory of what was removed from it as long as anything near it stays. Every node
  // held outside (tables() aside) is stale afterwards.
  void compact();

 private:
  // Finds the spreadsheet and its tables in doc_.
  void index(const std::string& display);

  std::unique_ptr<pugi::xml_document> doc_;
  std::unique_ptr<Prefixes> ns_;
  pugi::xml_node spreadsheet_;
  std::vector<pugi::xml_node> tables_;
};

// The content deflated table by table, for a content saved again and again: a table packed for
// an earlier save and not changed since is neither written out as text nor deflated again, so a
// save costs what changed rather than the whole of a large workbook.
class PackedContent {
 public:
  // `treeText`: the size of the content's text as it stands.
  explicit PackedContent(std::uint64_t treeText) : treeText_(treeText) {}
  struct Packing {
    // Where the file holds the start of the content's deflated bytes, as the last save wrote
    // them, and how many of them this packing repeats (0 when nothing is known of the file).
    std::uint64_t sameAt = 0;
    std::uint64_t sameLength = 0;
    // The CRC and plain size of the whole text; the bytes, those that follow the first
    // `sameLength` (they are not copied out of the pieces again: the file has them).
    zip::DeflatedPiece rest;
  };
  // The content's text deflated, as an archive entry stores it; the same bytes, once inflated, as
  // serialize() gives.
  Packing pack(Content& content);
  // The last packing was saved, its bytes at `at` in the file (nullopt: where is not known).
  void saved(std::optional<std::uint64_t> at);
  // Forgets what was packed of one table (it is about to change or is new) or of all. A retired
  // table must be restored first.
  void forget(pugi::xml_node table);
  void forgetAll();
  // What the packed tables hold in memory.
  size_t bytes() const;

  // A finished table held as its packed text alone: its elements leave the tree (the table
  // element stays, with its attributes) until `restore` parses them back. Packs it first when
  // it is not packed as it stands.
  void retire(Content& content, size_t index);
  bool retired(pugi::xml_node table) const { return retired_.count(table.internal_object()) > 0; }
  void restore(Content& content, size_t index);
  void restoreAll(Content& content);
  // Compacts the content's tree once the memory retired tables may keep exceeds what copying the
  // rest costs, keeping what was packed of each table; true when it did (nodes held outside are
  // stale then).
  bool compactIfWorthIt(Content& content);

 private:
  struct Packed {
    std::string name;  // the table's, when packed: a check that the node is the one packed
    zip::DeflatedPiece piece;
    std::uint64_t serial = 0;  // one per packing of a table, never reused
  };
  // One piece of a packing, as the next can tell it again: a table's by serial, any other by its
  // bytes (what lies between the tables is small, and deflated the same way each time).
  struct Step {
    std::uint64_t serial = 0;
    std::string packed;
    bool operator==(const Step&) const = default;
  };
  std::unordered_map<const void*, Packed> tables_;
  std::unordered_set<const void*> retired_;
  size_t retiredSinceCompaction_ = 0;
  // The content's text when packing began: about what a compaction copies, since the tables
  // retired are copies made later.
  std::uint64_t treeText_ = 0;
  std::uint64_t serials_ = 0;
  std::vector<Step> packing_;             // the last packing's pieces
  std::vector<Step> saved_;               // those of the packing the file holds
  std::optional<std::uint64_t> savedAt_;  // where the file holds them
};

// Calls `visit` for `root` and every element below it, depth first, without recursion (a deeply
// nested document cannot exhaust the stack).
template <typename Visit>
void forEachElement(pugi::xml_node root, Visit visit) {
  for (pugi::xml_node n = root; n;) {
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

// True when an attribute holds formula text, or a list of cell range addresses.
bool isFormulaAttribute(const Prefixes& ns, std::string_view name);
bool isAddressAttribute(const Prefixes& ns, std::string_view name);

// Rewrites every sheet reference to `from` in the formulas and addresses of `node` and its
// subtree. Returns whether anything changed.
bool retargetTree(const Prefixes& ns, pugi::xml_node node, std::string_view from,
                  std::string_view to, RetargetMode mode);

// True when the cell range address list names the sheet.
bool addressesName(std::string_view addresses, std::string_view sheet);

// What the table at `index` holds that a copy cannot carry faithfully; `isChart` tells whether an
// embedded object's sub-document (its folder, as the object names it) is a chart.
std::optional<CopyBlocker> tableBlocker(const Content& content, size_t index,
                                        const std::function<bool(const std::string&)>& isChart);

// The folder of the sub-document an object's xlink:href names ("./Object 1" and "Object 1/" give
// "Object 1"); empty for a link outside the package.
std::string objectFolder(std::string_view href);

}  // namespace orv::ods
