#pragma once

#include <string>
#include <string_view>

namespace orv {

// Something a sheet holds that keeps it from being copied faithfully yet. Every engine reports
// these in this one vocabulary, so a refusal reads alike whatever the file's format.
enum class BlockingFeature {
  Tables,
  PivotTables,
  QueryTables,
  Slicers,
  Timelines,
  ThreadedComments,
  ActiveXControls,
  OleObjects,
  NamedSheetViews,
  Scenarios,
  LinkedSheets,  // a sheet whose cells come from another file
  FormControls,
  UnknownPart,  // a related part of a kind the engine does not know; the detail names the kind
};

struct CopyBlocker {
  BlockingFeature feature;
  std::string detail;  // for UnknownPart: the kind, as the file names it
};

// The feature as the user knows it: "tables", "pivot tables".
std::string featureName(const CopyBlocker& blocker);

// The end of the sentence "Cannot copy the sheet 'X': ...".
std::string blockingReason(const CopyBlocker& blocker);

// The whole refusal: "Cannot copy the sheet 'Data': it holds tables, which Orvandel cannot copy
// yet. The workbook was not changed."
std::string copyRefusal(std::string_view sheetName, const CopyBlocker& blocker);

}  // namespace orv
