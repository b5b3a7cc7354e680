#pragma once

#include <functional>
#include <pugixml.hpp>
#include <set>
#include <string>
#include <vector>

#include "server/ods/content.h"

namespace orv::ods {

// What a copy of a table made outside the table itself, and what it counted.
struct TableCopy {
  pugi::xml_node table;
  // Clones made for the copy outside its table (validations, the autofilter's database range):
  // a rename of the copy renames in these too.
  std::vector<pugi::xml_node> clones;
  long long cells = 0;    // non-empty cells, repeats counted
  long long objects = 0;  // drawing objects
};

// Ids a copy must not repeat, gathered from the document when a copy first needs them and kept up
// to date.
struct UsedIds {
  bool idsGathered = false;
  bool validationsGathered = false;
  std::set<std::string> ids;        // xml:id and draw:id values
  std::set<std::string> drawNames;  // draw:name values
  std::set<std::string> validations;
};

// Gathers the ids of the whole document now, if a copy has not done so yet: before any table
// leaves the tree.
void gatherAllIds(Content& content, UsedIds& used);

// Copies the table at `sourceIndex` to the end of the spreadsheet under `copyName`: references to
// the source inside the copy name the copy, ids are made unique, the validations its cells use
// and its autofilter's database range are cloned for it. `cloneObject` is given each embedded
// object's sub-document folder and returns the folder of the copy's own.
TableCopy copyTable(Content& content, size_t sourceIndex, const std::string& copyName,
                    UsedIds& used,
                    const std::function<std::string(const std::string&)>& cloneObject);

}  // namespace orv::ods
