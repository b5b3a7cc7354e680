// Arbitrary bytes as a ZIP archive through the raw reader: its layout, then every entry read
// straight from the layout's offsets, as an `.ods` instance reads the file the last one saved.
// Besides not crashing: an entry it reads, libzip reads the same.
#include <sys/mman.h>
#include <unistd.h>
#include <zip.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "server/zip/raw_copy.h"

namespace {

// What libzip reads of entry `i`, or nothing when it cannot.
std::optional<std::string> readByLibzip(zip_t* archive, size_t i) {
  zip_file_t* file = zip_fopen_index(archive, i, 0);
  if (!file) return std::nullopt;
  std::string data;
  char buffer[65536];
  zip_int64_t got = 0;
  while ((got = zip_fread(file, buffer, sizeof buffer)) > 0)
    data.append(buffer, static_cast<size_t>(got));
  zip_fclose(file);
  if (got < 0) return std::nullopt;
  return data;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int fd = memfd_create("orvandel-fuzz-zip", 0);
  if (fd < 0 || ftruncate(fd, 0) != 0 ||
      pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
    std::abort();
  const std::optional<orv::zip::Layout> layout = orv::zip::readLayout(fd, size);
  if (!layout) return 0;
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = zip_source_buffer_create(data, size, 0, &error);
  zip_t* archive = source ? zip_open_from_source(source, ZIP_RDONLY, &error) : nullptr;
  if (!archive && source) zip_source_free(source);
  zip_error_fini(&error);
  for (size_t i = 0; i < layout->entries.size(); ++i) {
    // The store refuses an entry larger than it may hold before reading it.
    if (orv::zip::factsOf(*layout, i).plainSize > (size_t{1} << 22)) continue;
    const std::optional<std::string> ours = orv::zip::readEntry(fd, *layout, i);
    if (!ours || !archive) continue;
    const std::optional<std::string> theirs = readByLibzip(archive, i);
    if (theirs && *theirs != *ours) __builtin_trap();
  }
  if (archive) zip_discard(archive);
  return 0;
}
