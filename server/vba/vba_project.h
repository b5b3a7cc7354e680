#pragma once

#include <set>
#include <string>
#include <string_view>

#include "server/cfb/compound_file.h"
#include "server/vba/vba_error.h"

namespace orv::vba {

// Adds to the VBA project under `project` (the _VBA_PROJECT_CUR storage of an .xls, or the root
// of an .xlsm's vbaProject.bin) a document module `module` holding the code of the document
// module `source`, with its name changed, as a spreadsheet application does for a copied sheet.
// The compiled caches are dropped (Office compiles the project from its source) and signatures,
// which a change invalidates, are removed. Throws VbaError, with `project` unchanged, when the
// project cannot be read or changed faithfully.
// `source` names a module in UTF-8 and `module` in ASCII, which every code page writes alike.
void addDocumentModule(cfb::CompoundEntry& project, const std::string& source,
                       const std::string& module);

// Whether the project has a module named `name` (UTF-8, ignoring ASCII case). Throws VbaError
// when its module list cannot be read.
bool hasModule(const cfb::CompoundEntry& project, std::string_view name);

// The names a new module's name must differ from (case-insensitively, lower-case ASCII): the
// project's modules and references and the project's own name.
std::set<std::string> vbaTakenNames(const cfb::CompoundEntry& project);

}  // namespace orv::vba
