#pragma once

#include <functional>
#include <optional>
#include <pugixml.hpp>

#include "server/ooxml/threaded_comments.h"

namespace orv::ooxml {

// Named sheet views (a user's own filter and sort of a sheet) are named by GUIDs, as are their
// filters, and a filter of a table names the table by its id. A copy's views get fresh GUIDs and
// filter the copy's tables.

// The id of the copy's table for the source's table id, when the source's sheet holds it.
using MapTableId = std::function<std::optional<long>(long)>;

void renewNamedSheetViews(pugi::xml_document& part, const RenewGuid& renew,
                          const MapTableId& tableId);

}  // namespace orv::ooxml
