#pragma once

#include <set>
#include <string>
#include <string_view>

#include "server/biff/compound_file.h"

namespace orv::biff {

// A fault in a VBA project, in the user's words ("its macro project cannot be read").
struct VbaError {
  std::string what;
};

// The compression of VBA project streams: a container byte 1, then chunks of up to 4096 bytes.
std::string decompressVba(std::string_view compressed);  // throws VbaError
std::string compressVba(std::string_view data);

// Adds to the VBA project under `project` (the _VBA_PROJECT_CUR storage of an .xls, or the root
// of an .xlsm's vbaProject.bin) a document module `module` holding the code of the document
// module `source`, with its name changed, as a spreadsheet application does for a copied sheet.
// The compiled caches are dropped (Office compiles the project from its source) and signatures,
// which a change invalidates, are removed. Throws VbaError, with `project` unchanged, when the
// project cannot be read or changed faithfully.
void addDocumentModule(CompoundEntry& project, const std::string& source,
                       const std::string& module);

// The names a new module's name must differ from (case-insensitively, lower-case ASCII): the
// project's modules and references and the project's own name.
std::set<std::string> vbaTakenNames(const CompoundEntry& project);

}  // namespace orv::biff
