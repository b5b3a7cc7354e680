#pragma once

#include <optional>
#include <set>
#include <string>

#include "server/cfb/compound_file.h"
#include "server/ooxml/package.h"

namespace orv::ooxml {

// The workbook's VBA project (xl/vbaProject.bin of an .xlsm or .xltm), read when a copy of a
// sheet with a code name first needs it. A copy adds a document module to it; the project is
// written back when the package is saved, and every signature of it, which the change
// invalidates, leaves the package.
class VbaPart {
 public:
  VbaPart(Package& pkg, std::string workbookPart);

  // Whether the workbook has a project.
  bool present();
  // The project's names a new module's name must differ from (lower case). Empty when there is
  // no project or it cannot be read.
  std::set<std::string> takenNames();
  // The project with a module `module` added for the sheet `sheetName`, whose code name
  // `source` names its module, or nothing when the project has no module for it. Changes
  // nothing; throws ServerError, in the user's words, when the project cannot be read or
  // changed faithfully.
  std::optional<cfb::CompoundEntry> withModule(const std::string& sheetName,
                                               const std::string& source,
                                               const std::string& module);
  // Makes `project` the workbook's project, and removes every signature of it.
  void commit(cfb::CompoundEntry project);
  // True once a signature was removed; cleared by asking.
  bool takeSignatureRemoved() { return std::exchange(signatureRemoved_, false); }

 private:
  const cfb::CompoundEntry* project();
  bool removeSignatureParts();

  Package& pkg_;
  std::string workbookPart_;
  std::optional<std::string> part_;  // looked up once; empty when there is none
  std::optional<cfb::CompoundEntry> project_;
  std::string readError_;  // why the project cannot be read, once tried
  bool signatureRemoved_ = false;
};

}  // namespace orv::ooxml
