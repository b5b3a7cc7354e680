#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "server/blocking_feature.h"
#include "server/durable_file.h"

namespace orv {

enum class SheetKind { Worksheet, Chartsheet, Dialogsheet, Macrosheet };

// Whether a sheet's tab shows: a hidden sheet can be shown from the application's menu, a very
// hidden one only from code.
enum class SheetVisibility { Visible, Hidden, VeryHidden };

// A sheet's identity inside one open workbook. Stable while the workbook is
// open: inserting a copy moves positions, never ids.
using SheetId = std::uint32_t;

// One open workbook file, in one file format. The object model (application.h)
// is the only caller; it owns the engine for as long as the workbook is open.
// Every failure is thrown as ServerError.
class Engine {
 public:
  virtual ~Engine() = default;

  virtual int sheetCount() const = 0;               // all kinds
  virtual SheetId sheetAt(int position) const = 0;  // 0-based position in tab order
  virtual int positionOf(SheetId id) const = 0;     // 0-based
  virtual std::string sheetName(SheetId id) const = 0;
  virtual SheetKind sheetKind(SheetId id) const = 0;
  virtual SheetVisibility sheetVisibility(SheetId id) const = 0;
  // The sheet the workbook opens on (its active tab on disk).
  virtual SheetId activeSheet() const = 0;

  // What `source` holds that a copy cannot carry faithfully yet, if anything. copySheet refuses
  // such a sheet with copyRefusal's words, so that refusals read alike for every format.
  virtual std::optional<CopyBlocker> copyBlocker(SheetId source) = 0;
  // Copies `source` and places the copy right after `after`. The copy gets
  // the automatic name ("Data (2)"). Returns the copy's id.
  virtual SheetId copySheet(SheetId source, SheetId after) = 0;
  // Validates and applies a new name, updating every reference to the sheet.
  virtual void renameSheet(SheetId id, const std::string& name) = 0;
  // Writes the workbook back to its own file, durably.
  virtual void save() = 0;
  // The next save is the run's last: an engine that stores a part so that saves to come cost
  // little may store it for size instead.
  virtual void nextSaveIsLast() {}
  // The file as this engine last read or wrote it: what a later look at the file must find
  // for nobody else to have written it since. Nothing when the engine does not keep it.
  virtual std::optional<FileIdentity> identityOnDisk() const { return std::nullopt; }
  // What the operations so far did beyond what was asked that the user should hear of (one
  // sentence each: "The digital signature ... was removed"), each told once.
  virtual std::vector<std::string> takeNotices() { return {}; }
};

}  // namespace orv
