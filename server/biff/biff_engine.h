#pragma once

#include <optional>
#include <string>
#include <vector>

#include "server/biff/workbook_stream.h"
#include "server/cfb/compound_file.h"
#include "server/engine.h"

namespace orv::biff {

// The engine for Excel 97-2003 workbooks (.xls, BIFF8 in a compound file). Opening reads the
// whole file; the Workbook stream is held as records and every other stream and storage is
// written back byte for byte.
class BiffEngine : public Engine {
 public:
  // Takes what the previous instance of this process left of the same file, unchanged since it
  // saved it, instead of reading the file again.
  explicit BiffEngine(const std::string& path);
  // Leaves the workbook for the next instance when this one saved it and changed nothing since.
  ~BiffEngine() override;

  int sheetCount() const override;
  SheetId sheetAt(int position) const override;
  int positionOf(SheetId id) const override;
  std::string sheetName(SheetId id) const override;
  SheetKind sheetKind(SheetId id) const override;
  SheetVisibility sheetVisibility(SheetId id) const override;
  SheetId activeSheet() const override;
  // What keeps a sheet from being copied is found while its substream is walked for the copy,
  // which refuses in the same words as the other engines; nothing is known before.
  std::optional<CopyBlocker> copyBlocker(SheetId) override { return std::nullopt; }
  SheetId copySheet(SheetId source, SheetId after) override;
  void renameSheet(SheetId id, const std::string& name) override;
  void save() override;
  std::optional<FileIdentity> identityOnDisk() const override { return identity_; }

  // The Workbook stream as it would be saved now, for tests.
  std::string workbookStream();

 private:
  size_t indexOf(SheetId id) const;  // position; ids are positions + 1, as sheets only append
  std::vector<std::string> namesExcept(size_t position) const;
  cfb::CompoundEntry* workbookEntry();  // the Workbook stream's entry in root_

  std::string path_;
  std::string display_;
  FileIdentity identity_;
  cfb::CompoundEntry root_;
  WorkbookStream book_;
  bool modified_ = false;
  bool asOnDisk_ = true;  // the workbook held here is the file's: as read, or as a save wrote it
};

// Off, no instance leaves its workbook for the next (tests compare the two).
void keepSavedWorkbooks(bool on);

// Opens the BIFF8 workbook held in `bytes` (a whole .xls file) without a file: what the engine
// does on opening, for fuzzing and tests. Throws ServerError naming `display`.
WorkbookStream openWorkbookBytes(const std::string& bytes, const std::string& display,
                                 cfb::CompoundEntry* root = nullptr);

}  // namespace orv::biff
