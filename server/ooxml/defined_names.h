#pragma once

#include <pugixml.hpp>
#include <string_view>

namespace orv::ooxml {

// Defined names live in the workbook part; sheet-scoped ones name their sheet by its position
// (localSheetId), so every insertion of a sheet moves them.

// A sheet was inserted at `position` (0-based): scoped names, the active tab and the first
// visible tab that pointed at or after it move one along.
void shiftSheetPositions(pugi::xml_node workbook, int position);

// Gives the copy at `copyPosition` what a spreadsheet application gives it: a clone of every
// name scoped to the source, and a sheet-scoped clone of every workbook-scoped name that refers
// to the source (unless the source has a scoped name of that name), their references pointing at
// the copy. Call after shiftSheetPositions.
void cloneNamesForCopy(pugi::xml_node workbook, int sourcePosition, int copyPosition,
                       std::string_view sourceName, std::string_view copyName);

// Every reference to sheet `from` in every defined name now names `to`.
bool renameInNames(pugi::xml_node workbook, std::string_view from, std::string_view to);

// The <definedNames> element of the workbook, or a null node.
pugi::xml_node definedNamesOf(pugi::xml_node workbook);

}  // namespace orv::ooxml
