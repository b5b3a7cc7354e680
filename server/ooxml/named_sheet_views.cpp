#include "server/ooxml/named_sheet_views.h"

#include <string_view>

namespace orv::ooxml {

namespace {

bool isGuid(std::string_view s) { return s.size() == 38 && s.front() == '{' && s.back() == '}'; }

void renewAttributes(pugi::xml_node node, const RenewGuid& renew, const MapTableId& tableId) {
  for (pugi::xml_attribute a : node.attributes()) {
    std::string_view name = a.name();
    if ((name == "id" || name == "filterId") && isGuid(a.value())) {
      a.set_value(renew(a.value()).c_str());
    } else if (name == "tableId") {
      if (std::optional<long> id = tableId(static_cast<long>(a.as_llong()))) a.set_value(*id);
    }
  }
}

}  // namespace

void renewNamedSheetViews(pugi::xml_document& part, const RenewGuid& renew,
                          const MapTableId& tableId) {
  // Depth first without recursion: a damaged part may nest without end.
  const pugi::xml_node root = part.document_element();
  for (pugi::xml_node n = root; n;) {
    if (n.type() == pugi::node_element) renewAttributes(n, renew, tableId);
    if (n.first_child()) {
      n = n.first_child();
      continue;
    }
    while (n && n != root && !n.next_sibling()) n = n.parent();
    if (!n || n == root) break;
    n = n.next_sibling();
  }
}

}  // namespace orv::ooxml
