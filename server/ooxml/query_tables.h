#pragma once

#include <map>
#include <optional>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "server/ooxml/package.h"

namespace orv::ooxml {

// A query table (the part behind an external data range or a table filled by a query) refreshes
// through a connection of the workbook's connections part, named by its id. A spreadsheet
// application gives every query table a connection of its own, so a copy's query tables get
// duplicates of their connections: the same definition under a fresh id, a fresh name and a fresh
// uid. Refreshing the copy then leaves the source's data and settings alone, and the other way
// round.

class ConnectionCopies {
 public:
  // `workbookPart` is the workbook part, whose relationships name the connections part.
  ConnectionCopies(Package& pkg, const std::string& workbookPart);

  // The id of the copy's connection for the source's connection `id`, the same for every part
  // of one copy. Nullopt when the workbook has no such connection: the link is kept as it is.
  std::optional<long> copyOf(long id);

  // Adds the duplicates to the connections part; call once the copy's parts are all written.
  void commit();

 private:
  void load();
  std::string freshName(const std::string& source);

  Package& pkg_;
  std::string part_;  // empty when the workbook has no connections part
  bool loaded_ = false;
  long highestId_ = 0;
  std::map<long, pugi::xml_node> byId_;
  std::vector<std::string> names_;            // folded, every connection's
  std::map<long, long> copies_;               // the source's id -> the copy's
  std::vector<std::pair<long, long>> order_;  // in the order asked for
  std::map<long, std::string> freshNames_;    // the copy's id -> its name
};

// Points the copy of a query table part, or of a table filled by a query, at the copy's
// connection. Returns true when it changed.
bool relinkConnection(pugi::xml_node root, ConnectionCopies& connections);

}  // namespace orv::ooxml
