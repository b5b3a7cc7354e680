#pragma once

#include <map>
#include <optional>
#include <pugixml.hpp>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "server/ooxml/package.h"

namespace orv::ooxml {

// Tables (ListObjects) are named in formulas by their display name. A copy of a sheet gets its own
// table parts, with ids and names of their own, and the structured references of the copy follow
// its tables.

// A name as table and defined names compare: by Unicode simple case folding.
std::string foldName(std::string_view name);

// The table ids and the names (table names and defined names) in use in a workbook.
class TableRegistry {
 public:
  void addTable(long id, std::string_view name);
  void addName(std::string_view name);
  bool uses(std::string_view name) const;

  long freshId();
  // The source's name with the smallest number from 2 appended that gives a name no table or
  // defined name uses ("Sales" gives "Sales2"); a source that would then read as a cell address
  // ("AB" or "R") takes an underscore before the number. The name is taken.
  std::string freshName(std::string_view source);

 private:
  long highestId_ = 0;
  std::set<std::string> names_;        // folded
  std::map<std::string, long> tried_;  // folded source name -> the next number worth trying
};

// The ids and names of the tables in `tableParts` and the defined names of `workbook`. A table
// part that cannot be read holds no name a copy could collide with.
void collectTables(Package& pkg, const std::vector<std::string>& tableParts,
                   pugi::xml_node workbook, TableRegistry& registry);

// The source sheet's table names and the names of the copy's tables.
class TableRenames {
 public:
  void add(std::string_view from, std::string_view to);
  bool empty() const { return byFolded_.empty(); }
  const std::string* find(std::string_view name) const;
  void addId(long from, long to) { ids_[from] = to; }
  std::optional<long> findId(long id) const;

 private:
  std::map<std::string, std::string> byFolded_;
  std::map<long, long> ids_;
};

// `formula` with every structured reference to a renamed table ("Sales[Amount]",
// "Sales[[#This Row],[Qty]]", "Sales[#All]", "Sales[]" and the bare "Sales") naming the new table.
// References qualified by a sheet or another book, string literals and column names are left as
// they are.
std::string renameTableRefs(std::string_view formula, const TableRenames& renames);

// Gives the parsed copy of a table part a fresh id and a fresh name (name and displayName alike),
// and records the rename. Column names and formulas are left to the caller.
void renewTable(pugi::xml_document& table, TableRegistry& registry, TableRenames& renames);

// Structured references in the names scoped to the sheet at `position` name the copy's tables.
// Returns true when a name changed.
bool renameTablesInScopedNames(pugi::xml_node workbook, int position, const TableRenames& renames);

}  // namespace orv::ooxml
