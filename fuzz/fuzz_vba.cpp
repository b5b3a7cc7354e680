// Arbitrary bytes through the VBA project's readers: as a project (vbaProject.bin), whose
// module list and modules are read and a document module added; and, after a leading 'C', as a
// compressed stream. Besides not crashing: what the codec reads must come back from its own
// compression, and a module that was added must be found in the project afterwards.
#include <cstddef>
#include <cstdint>
#include <string>

#include "server/cfb/compound_file.h"
#include "server/server_error.h"
#include "server/vba/compression.h"
#include "server/vba/vba_project.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orv;
  const std::string input(reinterpret_cast<const char*>(data), size);
  if (!input.empty() && input[0] == 'C') {
    std::string plain;
    try {
      plain = vba::decompressVba(std::string_view(input).substr(1));
    } catch (const vba::VbaError&) {
      return 0;
    }
    if (vba::decompressVba(vba::compressVba(plain)) != plain) __builtin_trap();
    return 0;
  }
  cfb::CompoundEntry project;
  try {
    project = cfb::readCompoundFile(input, "vbaProject.bin");
  } catch (const ServerError&) {
    return 0;
  }
  vba::vbaTakenNames(project);
  try {
    vba::addDocumentModule(project, "Sheet1", "Sheet9");
  } catch (const vba::VbaError&) {
    return 0;
  }
  if (!vba::hasModule(project, "Sheet9")) __builtin_trap();
  return 0;
}
