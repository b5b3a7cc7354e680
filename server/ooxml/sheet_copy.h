#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <pugixml.hpp>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "server/blocking_feature.h"
#include "server/formula_refs.h"
#include "server/id_registry.h"
#include "server/ooxml/package.h"
#include "server/ooxml/slicers.h"
#include "server/ooxml/tables.h"

namespace orv::ooxml {

// Everything a copy needs to know about the workbook around the sheet.
struct CopyRequest {
  std::string sourcePart;  // the sheet part being copied
  std::string sourceName;  // its sheet name, as formulas name it
  std::string copyName;    // the name the copy starts with
  // The workbook's ids that must stay unique: code names and VML shape-id blocks, the copy's
  // are claimed there.
  IdRegistry* ids = nullptr;
  // Table ids and the names of tables and defined names in the workbook, gathered only when the
  // source has a table; the copy's are added.
  std::function<TableRegistry&()> tables;
  // The workbook part, whose relationships name the connections and the slicer caches.
  std::string workbookPart;
  // The sheet ids of the source and of the copy, as slicer caches name pivot tables by them.
  long sourceSheetId = 0;
  long copySheetId = 0;
  // The workbook's slicer and timeline names and caches, gathered only when the source has a
  // slicer or timeline; the copy's are added.
  std::function<SlicerRegistry&()> slicers;
  // The copy's code name when the caller chose it (a macro workbook's, whose VBA project gets a
  // module of that name); empty: one is chosen here when the source has one.
  std::string codeName;
};

struct CopyResult {
  std::string sheetPart;                // the new sheet part, written when needed (lazy)
  std::vector<std::string> addedParts;  // every part created, the sheet part first
  // The name the lazy sheet part is written with; while the part is lazy, renaming the copy
  // only changes this.
  std::shared_ptr<std::string> name;
  TableRenames tables;  // the source's table names -> the copy's
};

// What the sheet holds that a copy cannot carry faithfully yet, if anything. Changes nothing.
std::optional<CopyBlocker> copyBlocker(Package& pkg, const std::string& sheetPart);

// Duplicates the sheet part and its related parts as the relationship policy table says; parts
// shared by the copy are left alone. The workbook part is not touched. On failure every part
// added so far is removed again.
CopyResult copySheetParts(Package& pkg, const CopyRequest& request);

// Rewrites the references to sheet `from` in every formula site of an XML part: cell formulas,
// validation and formatting rules, sparklines, chart series and titles, form-control links.
// Returns true when anything changed.
bool retargetPart(pugi::xml_document& doc, std::string_view from, std::string_view to,
                  RetargetMode mode);

// The shape-id blocks that the legacy VML parts `vmlParts` use.
void collectVmlBlocks(Package& pkg, const std::vector<std::string>& vmlParts,
                      std::set<long>& blocks);

// A code name for a copy of the sheet whose code name is `source`, claimed in `ids`: the
// source's stem ("Sheet" for "Sheet1") and the smallest number that makes it unique. With
// `asciiOnly`, a stem that is not an ASCII identifier gives way to "Sheet".
std::string freshCodeName(IdRegistry& ids, std::string_view source, bool asciiOnly);

// A fresh GUID in the form "{8-4-4-4-12}", upper case.
std::string newGuid();

// Copies of a sheet are filled into a text worked out once per source where they can be; off,
// every copy is written from the tree (tests compare the two).
void setCopyTemplates(bool on);

}  // namespace orv::ooxml
