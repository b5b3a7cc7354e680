#pragma once

#include <pugixml.hpp>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace orv::ods {

// META-INF/manifest.xml: the package's list of entries and their media types.
class Manifest {
 public:
  // Throws ServerError naming `display` when it cannot be read.
  Manifest(std::string_view xml, const std::string& display);
  Manifest(const Manifest&) = delete;  // the index points into the tree
  Manifest& operator=(const Manifest&) = delete;
  // Whether any entry carries encryption data (a password-protected package).
  bool encrypted() const;
  // The media type the manifest gives `path`, or empty.
  std::string mediaType(std::string_view path) const;
  bool lists(std::string_view path) const;
  // Every path it lists.
  std::vector<std::string> paths() const;
  void add(const std::string& path, const std::string& mediaType);
  // Removes the entry; true when it was listed.
  bool remove(std::string_view path);
  std::string serialize() const;

 private:
  pugi::xml_node entry(std::string_view path) const;
  pugi::xml_document doc_;
  std::string prefix_;
  // The first entry of each path, gathered on first use: a workbook with a chart on each of a
  // thousand sheets lists thousands of entries, and each copy looks several up.
  mutable std::unordered_map<std::string, pugi::xml_node> byPath_;
  mutable bool indexed_ = false;
};

// settings.xml: the copy gets the source's view settings (cursor, split, zoom) under its own name.
// Returns whether anything changed.
bool cloneTableSettings(pugi::xml_document& settings, std::string_view source,
                        std::string_view copy);
bool renameTableSettings(pugi::xml_document& settings, std::string_view from, std::string_view to);

// meta.xml: the document statistics grow by what the copies added. Returns whether they changed.
bool addStatistics(pugi::xml_document& meta, long long tables, long long cells, long long objects);

// A document signature covers every entry but itself: an edited package breaks it. A signature
// of the macros only (macrosignatures.xml) covers Basic/, Dialogs/ and Scripts/, which copying
// a sheet never touches.
bool isDocumentSignature(std::string_view entry);

}  // namespace orv::ods
