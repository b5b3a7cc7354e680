#include "server/blocking_feature.h"

namespace orv {

std::string featureName(const CopyBlocker& blocker) {
  switch (blocker.feature) {
    case BlockingFeature::Tables:
      return "tables";
    case BlockingFeature::PivotTables:
      return "pivot tables";
    case BlockingFeature::QueryTables:
      return "query tables";
    case BlockingFeature::Slicers:
      return "slicers";
    case BlockingFeature::Timelines:
      return "timelines";
    case BlockingFeature::ThreadedComments:
      return "threaded comments";
    case BlockingFeature::ActiveXControls:
      return "ActiveX controls";
    case BlockingFeature::OleObjects:
      return "embedded OLE objects";
    case BlockingFeature::NamedSheetViews:
      return "named sheet views";
    case BlockingFeature::Scenarios:
      return "scenarios";
    case BlockingFeature::LinkedSheets:
      return "a link to another file's sheet (a linked sheet)";
    case BlockingFeature::FormControls:
      return "form controls";
    case BlockingFeature::UnknownPart:
      break;
  }
  return "a related part of a kind it does not know (" + blocker.detail + ")";
}

std::string blockingReason(const CopyBlocker& blocker) {
  return "it holds " + featureName(blocker) + ", which Orvandel cannot copy yet.";
}

std::string copyRefusal(std::string_view sheetName, const CopyBlocker& blocker) {
  return "Cannot copy the sheet '" + std::string(sheetName) + "': " + blockingReason(blocker) +
         " The workbook was not changed.";
}

}  // namespace orv
