#pragma once

#include <deque>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "server/engine.h"
#include "server/id_registry.h"
#include "server/ooxml/package.h"
#include "server/ooxml/sheet_copy.h"
#include "server/ooxml/slicers.h"
#include "server/ooxml/tables.h"
#include "server/ooxml/vba_part.h"

namespace orv::ooxml {

// The engine for Office Open XML workbooks (.xlsx .xlsm .xltx .xltm, transitional or Strict, each
// kept in its own namespaces). Opening reads
// the workbook part, its relationships and the content types; a sheet is read only when it is
// copied, and every part left alone is saved byte for byte.
class OoxmlEngine : public Engine {
 public:
  explicit OoxmlEngine(const std::string& path);
  OoxmlEngine(const std::string& path, OpenedArchive opened);
  ~OoxmlEngine() override;

  int sheetCount() const override;
  SheetId sheetAt(int position) const override;
  int positionOf(SheetId id) const override;
  std::string sheetName(SheetId id) const override;
  SheetKind sheetKind(SheetId id) const override;
  SheetVisibility sheetVisibility(SheetId id) const override;
  SheetId activeSheet() const override;
  std::optional<CopyBlocker> copyBlocker(SheetId source) override;
  SheetId copySheet(SheetId source, SheetId after) override;
  void renameSheet(SheetId id, const std::string& name) override;
  void save() override;
  std::optional<FileIdentity> identityOnDisk() const override { return pkg_.identity(); }
  std::vector<std::string> takeNotices() override;

  // The package underneath, for tests that compare its ways of saving.
  Package& package() { return pkg_; }

 private:
  // Reads the workbook part and its sheets from the package.
  void load();
  // The sheets' parts and kinds, for the <sheet> elements in order: worked out from the
  // workbook's relationships, or taken from what the instance that saved the file kept.
  void readSheets(pugi::xml_node sheets);
  bool readSheetsKept(const std::vector<pugi::xml_node>& nodes);
  struct SheetInfo {
    SheetId id = 0;
    // The sheet part, empty when its relationship is broken; the name lies in partNames_ or in
    // the record the sheets were read from.
    std::string_view part;
    SheetKind kind = SheetKind::Worksheet;
    // A sheet linked as a worksheet may still be a dialog or macro sheet; telling means reading
    // its part, which waits until someone asks, so that opening a workbook of a thousand sheets
    // to copy one of them does not read them all.
    bool kindKnown = true;
    pugi::xml_node node;  // its <sheet> element in the workbook part
    // For a sheet this instance made: the first of createdParts_ made with it. Only parts made
    // from then on can refer to it.
    std::optional<size_t> createdFrom;
    // For a copy whose part is not written yet: the name it will be written with.
    std::shared_ptr<std::string> pendingName;
  };

  const SheetInfo& info(SheetId id) const;
  SheetKind resolveKind(SheetInfo& sheet);
  SheetInfo& info(SheetId id);
  std::vector<std::string> namesExcept(SheetId id) const;
  // The rows of the id registry this format has: code names and VML shape-id blocks.
  void registerIds();
  TableRegistry& tables();
  // Slicer and timeline names and caches, gathered only when the source has a slicer.
  SlicerRegistry& slicers();
  void dropCalcChain();
  // The steps of a copy: the checks (returning the highest sheet number in use), the workbook's
  // relationship to the new part (returning its id), the workbook-wide updates around the new
  // <sheet> entry, and the engine's record of the copy.
  long long checkCopyAllowed(SheetId source);
  std::string linkSheetPart(const SheetInfo& source, const std::string& part);
  void updateWorkbookForCopy(int sourcePosition, int position, const std::string& sourceName,
                             const std::string& afterName, const std::string& copyName);
  SheetId recordCopy(const SheetInfo& source, const CopyResult& copy, pugi::xml_node node,
                     int position);
  void renameInParts(const std::vector<std::string>& parts, const std::string& from,
                     const std::string& to);
  std::vector<std::string> partsReferringTo(const SheetInfo& sheet);
  pugi::xml_document* appProperties();
  [[noreturn]] void fail(const std::string& what) const;

  Package pkg_;
  std::string workbookPart_;
  std::string workbookRels_;
  std::deque<SheetInfo> byId_;                       // sheet id n at n - 1
  std::vector<SheetInfo*> sheets_;                   // in tab order
  std::deque<std::string> partNames_;                // of sheets not read from a record
  std::shared_ptr<const std::string> sheetsRecord_;  // what the sheets were read from
  SheetId nextId_ = 1;
  std::vector<std::string> createdParts_;  // XML parts made by copies, oldest first
  size_t frozen_ = 0;                      // createdParts_ before this are kept as text
  IdRegistry ids_;
  std::optional<TableRegistry> tables_;
  std::optional<SlicerRegistry> slicers_;
  std::optional<VbaPart> vba_;  // made when the workbook part is known
  std::string appPart_;         // empty when the package has none
  bool calcChainDropped_ = false;
};

}  // namespace orv::ooxml
