#pragma once

#include <map>
#include <pugixml.hpp>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "server/ooxml/package.h"
#include "server/ooxml/tables.h"

namespace orv::ooxml {

// Slicers and timelines sit on a sheet (a slicers or timelines part, and a shape of the sheet's
// drawing that names the slicer) and filter through a cache, a workbook-level part listed in the
// workbook's extension list and named by a defined name ("Slicer_Region", "NativeTimeline_Date").
// The cache names the pivot tables it filters by sheet id and name, or the table by its id.
//
// A copy's slicers and timelines are its own: fresh names, and a cache of their own wherever the
// cache filters a pivot table or table of the copied sheet, connected to the copy's. A cache that
// filters only objects of other sheets is shared, as a pasted slicer shares its cache.

// The slicer and timeline names and the caches of a workbook.
class SlicerRegistry {
 public:
  // Reads the names of every slicers and timelines part and the caches the workbook lists. A
  // part that cannot be read holds no name a copy could collide with.
  void collect(Package& pkg, const std::string& workbookPart);

  // The source's name with the smallest number from 1 after a space that no slicer or timeline
  // uses ("Region" gives "Region 1"). The name is taken.
  std::string freshName(std::string_view source);
  // The part of the cache named `name`, or null.
  const std::string* cachePart(std::string_view name) const;
  void addCache(std::string_view name, const std::string& part);

 private:
  std::set<std::string> names_;                // folded
  std::map<std::string, std::string> caches_;  // folded cache name -> part
  std::map<std::string, long> tried_;          // folded stem -> the next number worth trying
};

// What a copy's slicers need to know about the copy.
struct SlicerContext {
  std::string workbookPart;
  long sourceSheetId = 0;  // the sheet ids that caches name pivot tables by
  long copySheetId = 0;
  SlicerRegistry* registry = nullptr;
  TableRegistry* names = nullptr;             // defined names and tables, for the caches' names
  const TableRenames* tables = nullptr;       // the source's tables -> the copy's
  std::vector<std::string>* added = nullptr;  // receives every part created
};

// The slicers and timelines of one copy.
class SlicerCopies {
 public:
  SlicerCopies(Package& pkg, SlicerContext context);

  // Fresh names and fresh uids for the copy of a slicers or timelines part, each pointing at the
  // cache the copy needs; new caches are written as new parts.
  void renewPart(pugi::xml_document& doc);
  // The copy of a drawing names the copy's slicers and timelines. True when it changed.
  bool renameShapes(pugi::xml_node root) const;
  // Lists the new caches in the workbook: relationships, extension lists and defined names.
  // Call once the copy's parts are all written.
  void commit();

 private:
  struct NewCache {
    std::string sourcePart, part;
    std::string sourceName, name;
  };
  // The name of the cache the copy's slicer uses for the source's cache `name`.
  std::string cacheFor(const std::string& name);
  // Whether a cache filters a pivot table or table of the copied sheet.
  bool filtersSource(pugi::xml_node cache) const;
  void retarget(pugi::xml_node cache) const;

  Package& pkg_;
  SlicerContext context_;
  std::map<std::string, std::string> shapeNames_;  // the source's slicer name -> the copy's
  std::map<std::string, std::string> caches_;      // folded source cache name -> the copy's
  std::vector<NewCache> newCaches_;
};

}  // namespace orv::ooxml
