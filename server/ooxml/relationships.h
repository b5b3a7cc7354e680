#pragma once

#include <functional>
#include <memory>
#include <pugixml.hpp>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace orv::ooxml {

// Relationship type namespaces: transitional and Strict.
namespace rel {
inline constexpr std::string_view kBase =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";
inline constexpr std::string_view kStrictBase =
    "http://purl.oclc.org/ooxml/officeDocument/relationships/";
}  // namespace rel
inline constexpr const char* kRelationshipsContentType =
    "application/vnd.openxmlformats-package.relationships+xml";

// The kinds of relationship the engine acts on, told by the last segment of the type, whichever
// namespace it is in. Every other kind is Other and is looked up by its full type.
enum class RelKind {
  OfficeDocument,
  ExtendedProperties,
  Worksheet,
  Chartsheet,
  Dialogsheet,
  Macrosheet,  // xlMacrosheet and xlIntlMacrosheet
  CalcChain,
  Other,
};

RelKind relKind(std::string_view type);

// One relationship of a .rels part, as written.
struct Relationship {
  std::string id;
  std::string type;
  std::string target;
  bool external = false;
  RelKind kind() const { return relKind(type); }
};

// The relationships of one .rels part, read once.
class Relationships {
 public:
  Relationships() = default;
  // Reads the <Relationship> children of a .rels part's root element.
  explicit Relationships(pugi::xml_node root);
  // A .rels part's text; no relationships when it is not well-formed.
  static Relationships parse(std::string_view text);

  const std::vector<Relationship>& all() const { return data_->list; }
  auto begin() const { return data_->list.begin(); }
  auto end() const { return data_->list.end(); }
  bool empty() const { return data_->list.empty(); }
  const Relationship* byId(std::string_view id) const;
  const Relationship* firstOfKind(RelKind kind) const;

  // Takes in the <Relationship> element `r`, just appended to the part these were read from.
  // Copies handed out before keep what they held.
  void append(pugi::xml_node r);

 private:
  struct IdHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept {
      return std::hash<std::string_view>{}(s);
    }
  };
  struct Data {
    std::vector<Relationship> list;
    // Positions in list by id, the first of each id: a workbook part can have thousands.
    std::unordered_map<std::string, size_t, IdHash, std::equal_to<>> byId;
  };
  // Shared between copies, which are cheap: the package hands out the ones it keeps.
  std::shared_ptr<Data> data_ = std::make_shared<Data>();
};

// Editing a parsed .rels part in place (its root element), keeping the prefix it is written
// with.

// An id not yet used in the part: "rId" and one above the largest such number in use.
std::string freshRelationshipId(pugi::xml_node root);
// Adds an internal relationship and returns its id.
std::string addRelationship(pugi::xml_node root, std::string_view type, std::string_view target);
// Removes every relationship of `kind`, calling `removed` with each first. True when any was.
bool removeRelationships(pugi::xml_node root, RelKind kind,
                         const std::function<void(const Relationship&)>& removed);
// Calls `each` with every internal relationship and its element, for rewriting targets.
void forEachRelationship(pugi::xml_node root,
                         const std::function<void(const Relationship&, pugi::xml_node)>& each);

}  // namespace orv::ooxml
