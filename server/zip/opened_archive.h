#pragma once

#include <zip.h>

#include <string>
#include <utility>

#include "server/durable_file.h"

namespace orv::zip {

// An archive the format probe opened and what it read from it, handed to the engine that opens
// the file so that the directory is not read twice. Discards the archive unless taken.
struct OpenedArchive {
  OpenedArchive() = default;
  OpenedArchive(OpenedArchive&& other) noexcept
      : archive(std::exchange(other.archive, nullptr)),
        identity(other.identity),
        contentTypes(std::move(other.contentTypes)) {}
  OpenedArchive& operator=(OpenedArchive&& other) noexcept {
    std::swap(archive, other.archive);
    identity = other.identity;
    contentTypes = std::move(other.contentTypes);
    return *this;
  }
  OpenedArchive(const OpenedArchive&) = delete;
  OpenedArchive& operator=(const OpenedArchive&) = delete;
  ~OpenedArchive() {
    if (archive) zip_discard(archive);
  }
  zip_t* archive = nullptr;
  FileIdentity identity;  // of the file, taken before it was opened
  // The whole of [Content_Types].xml as the Open XML probe read it, or empty when it was not
  // read to its end.
  std::string contentTypes;
};

}  // namespace orv::zip
