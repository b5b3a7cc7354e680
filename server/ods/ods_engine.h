#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "server/engine.h"
#include "server/ods/content.h"
#include "server/ods/package_parts.h"
#include "server/ods/sheet_copy.h"
#include "server/zip/entry_store.h"

namespace orv::ods {

// What an instance leaves for the next instance of the process that opens the file it saved.
struct KeptState;

// The names of the embedded objects' folders in use ("Object 12"), and the lowest number not
// yet tried for a fresh one.
struct ObjectFolders {
  std::set<std::string, std::less<>> taken;
  long from = 1;
};

// The engine for OpenDocument spreadsheets (.ods). Opening reads the manifest and the document
// content; the settings and statistics are read when a copy needs them, and every other entry
// (styles, pictures, macros, thumbnails) is saved byte for byte. An instance that saved leaves its
// content to the next instance of the process that opens the file unchanged.
class OdsEngine : public Engine {
 public:
  // `kept` is what the last instance left of the file at `opened.identity`; with its entry
  // store in it, `opened` need hold no archive.
  OdsEngine(const std::string& path, zip::OpenedArchive opened,
            std::unique_ptr<KeptState> kept = nullptr);
  ~OdsEngine() override;

  int sheetCount() const override;
  SheetId sheetAt(int position) const override;
  int positionOf(SheetId id) const override;
  std::string sheetName(SheetId id) const override;
  SheetKind sheetKind(SheetId) const override { return SheetKind::Worksheet; }
  SheetVisibility sheetVisibility(SheetId id) const override;
  SheetId activeSheet() const override { return active_; }
  std::optional<CopyBlocker> copyBlocker(SheetId source) override;
  SheetId copySheet(SheetId source, SheetId after) override;
  void renameSheet(SheetId id, const std::string& name) override;
  void save() override;
  void nextSaveIsLast() override { lastSave_ = true; }
  std::optional<FileIdentity> identityOnDisk() const override { return store_->identity(); }
  std::vector<std::string> takeNotices() override;

 private:
  // What this instance made for a copy: a rename of the copy looks only there.
  struct Made {
    std::vector<pugi::xml_node> nodes;        // its table and the clones made for it
    std::vector<std::string> objectContents;  // its sub-documents' content entries
  };
  size_t indexOf(SheetId id) const;
  std::vector<std::string> namesExcept(size_t position) const;
  bool isChart(const std::string& folder);
  // The entries of each sub-document the table embeds, read before anything is changed.
  std::map<std::string, std::string> readObjects(size_t index);
  std::string cloneObject(const std::string& folder, const std::map<std::string, std::string>& read,
                          const std::string& from, const std::string& to, Made& made);
  std::string freshObjectFolder();
  // settings.xml or meta.xml, read on first use; null when absent or unreadable.
  pugi::xml_document* side(const char* entry, std::unique_ptr<pugi::xml_document>& doc, bool& read);
  void retargetObject(const std::string& entry, const std::string& from, const std::string& to,
                      RetargetMode mode);
  void findActiveSheet();
  // The copies this instance made leave the tree as packed text; a table needed again comes
  // back (`restore`).
  void retireCopies();
  void restore(size_t index);
  // The entries of document signatures, which cover every entry.
  std::vector<std::string> documentSignatures() const;
  [[noreturn]] void refuseCopy(const std::string& sheet, const std::string& why) const;

  std::unique_ptr<zip::EntryStore> store_;
  std::unique_ptr<Content> content_;
  std::unique_ptr<Manifest> manifest_;
  // How the manifest was last deflated: it grows at its end, by an entry or more for each copy.
  std::unique_ptr<zip::DeflateTrail> manifestTrail_;
  std::unique_ptr<pugi::xml_document> settings_, meta_;
  bool settingsRead_ = false, metaRead_ = false;
  bool contentDirty_ = false, manifestDirty_ = false, settingsDirty_ = false, metaDirty_ = false;
  UsedIds used_;
  std::map<SheetId, Made> made_;
  // The object folders in use, gathered on first use: a workbook with a chart on each of a
  // thousand sheets has thousands of entries, and each name tried would otherwise look at all.
  std::optional<ObjectFolders> folders_;
  std::vector<std::string> notices_;
  bool signatureNoticed_ = false;
  SheetId active_ = 1;
  bool lastSave_ = false;
  bool asOnDisk_ = true;  // the content held here is the file's: as read, or as a save wrote it
  std::uint64_t savedContentSize_ = 0;  // the content's text, as last read or written
  // Set from the first save (or the first retired copy) on: the content is deflated table by
  // table, so that the next save deflates only the tables that changed.
  std::unique_ptr<PackedContent> packed_;
};

// Off, no instance leaves its content for the next (tests compare the two).
void keepSavedContent(bool on);
// Off, finished copies stay in the tree (tests compare the two).
void retireCopiedTables(bool on);

// Opens the workbook the probe recognised as an OpenDocument spreadsheet.
std::unique_ptr<Engine> openOds(const std::string& path, zip::OpenedArchive opened);

}  // namespace orv::ods
