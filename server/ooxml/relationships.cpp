#include "server/ooxml/relationships.h"

#include <algorithm>
#include <charconv>

#include "server/ooxml/package.h"

namespace orv::ooxml {

namespace {

bool isExternal(std::string_view mode) { return lowerAscii(mode) == "external"; }

Relationship relationshipOf(pugi::xml_node r) {
  return Relationship{r.attribute("Id").value(), r.attribute("Type").value(),
                      r.attribute("Target").value(), isExternal(r.attribute("TargetMode").value())};
}

bool isRelationship(pugi::xml_node node) {
  return node.type() == pugi::node_element && localName(node.name()) == "Relationship";
}

// The number of an id of the form "rId" and up to eight digits.
std::optional<long> idNumber(std::string_view id) {
  if (!id.starts_with("rId") || id.size() <= 3 || id.size() >= 12) return std::nullopt;
  long value = 0;
  const char* end = id.data() + id.size();
  auto [ptr, ec] = std::from_chars(id.data() + 3, end, value);
  if (ec != std::errc() || ptr != end || value < 0) return std::nullopt;
  return value;
}

}  // namespace

RelKind relKind(std::string_view type) {
  const size_t slash = type.rfind('/');
  const std::string_view last = slash == std::string_view::npos ? type : type.substr(slash + 1);
  if (last == "officeDocument") return RelKind::OfficeDocument;
  // Strict spells it in camel case.
  if (last == "extended-properties" || last == "extendedProperties")
    return RelKind::ExtendedProperties;
  if (last == "worksheet") return RelKind::Worksheet;
  if (last == "chartsheet") return RelKind::Chartsheet;
  if (last == "dialogsheet") return RelKind::Dialogsheet;
  if (last == "xlMacrosheet" || last == "xlIntlMacrosheet") return RelKind::Macrosheet;
  if (last == "calcChain") return RelKind::CalcChain;
  return RelKind::Other;
}

Relationships::Relationships(pugi::xml_node root) {
  auto data = std::make_shared<Data>();
  for (pugi::xml_node r : root.children()) {
    if (!isRelationship(r)) continue;
    data->list.push_back(relationshipOf(r));
    data->byId.emplace(data->list.back().id, data->list.size() - 1);
  }
  data_ = std::move(data);
}

Relationships Relationships::parse(std::string_view text) {
  pugi::xml_document doc;
  if (!doc.load_buffer(text.data(), text.size())) return {};
  return Relationships(doc.document_element());
}

void Relationships::append(pugi::xml_node r) {
  if (!isRelationship(r)) return;
  if (data_.use_count() > 1) data_ = std::make_shared<Data>(*data_);
  data_->list.push_back(relationshipOf(r));
  data_->byId.emplace(data_->list.back().id, data_->list.size() - 1);
}

const Relationship* Relationships::byId(std::string_view id) const {
  const auto found = data_->byId.find(id);
  return found == data_->byId.end() ? nullptr : &data_->list[found->second];
}

const Relationship* Relationships::firstOfKind(RelKind kind) const {
  for (const Relationship& r : data_->list)
    if (r.kind() == kind) return &r;
  return nullptr;
}

std::string freshRelationshipId(pugi::xml_node root) {
  long highest = 0;
  for (pugi::xml_node r : root.children())
    if (std::optional<long> number = idNumber(r.attribute("Id").value()))
      highest = std::max(highest, *number);
  // Only an id past the numbers counted can be taken already.
  const auto taken = [&](const std::string& id) {
    for (pugi::xml_node r : root.children())
      if (id == r.attribute("Id").value()) return true;
    return false;
  };
  std::string id = "rId" + std::to_string(highest + 1);
  while (taken(id)) id = "rId" + std::to_string(++highest + 1);
  return id;
}

std::string addRelationship(pugi::xml_node root, std::string_view type, std::string_view target) {
  const std::string id = freshRelationshipId(root);
  std::string qname = "Relationship";
  if (auto colon = std::string_view(root.name()).find(':'); colon != std::string_view::npos)
    qname = std::string(root.name()).substr(0, colon + 1) + qname;
  pugi::xml_node r = root.append_child(qname.c_str());
  r.append_attribute("Id").set_value(id.c_str());
  r.append_attribute("Type").set_value(std::string(type).c_str());
  r.append_attribute("Target").set_value(std::string(target).c_str());
  return id;
}

bool removeRelationships(pugi::xml_node root, RelKind kind,
                         const std::function<void(const Relationship&)>& removed) {
  bool any = false;
  for (pugi::xml_node r = root.first_child(); r;) {
    pugi::xml_node next = r.next_sibling();
    if (relKind(r.attribute("Type").value()) == kind) {
      removed(relationshipOf(r));
      root.remove_child(r);
      any = true;
    }
    r = next;
  }
  return any;
}

void forEachRelationship(pugi::xml_node root,
                         const std::function<void(const Relationship&, pugi::xml_node)>& each) {
  for (pugi::xml_node r : root.children()) {
    if (!isRelationship(r)) continue;
    Relationship rel = relationshipOf(r);
    if (!rel.external) each(rel, r);
  }
}

}  // namespace orv::ooxml
