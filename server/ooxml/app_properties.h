#pragma once

#include <pugixml.hpp>
#include <string_view>

namespace orv::ooxml {

// docProps/app.xml lists the sheet names (TitlesOfParts) in groups whose sizes HeadingPairs
// gives; the two must agree or the properties are rejected.

// Lists `copyName` right after `afterName` in the group that holds `sourceName`. Returns false
// (and changes nothing) when the source is not listed.
bool addSheetTitle(pugi::xml_document& app, std::string_view sourceName, std::string_view afterName,
                   std::string_view copyName);

// Renames the sheet's title. Returns false when it is not listed.
bool renameSheetTitle(pugi::xml_document& app, std::string_view from, std::string_view to);

}  // namespace orv::ooxml
