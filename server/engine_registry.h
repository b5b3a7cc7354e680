#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "server/engine.h"
#include "server/format.h"
#include "server/zip/opened_archive.h"

namespace orv {

// What the probes have read of one file so far: its first bytes, and the container they opened
// (the ZIP archive, a compound file's stream names). Each is read once, on first use, and what
// was opened is handed to the engine that opens the file.
class ProbeInput {
 public:
  ProbeInput(std::string path, std::string head);
  // For a file this process opened or saved before and finds unchanged (`identity`): no probe
  // runs, and the engine may build on what it kept instead of opening the archive.
  ProbeInput(std::string path, std::string head, FileIdentity identity);

  const std::string& path() const { return path_; }
  std::string_view head() const { return head_; }
  bool startsWith(std::string_view magic) const { return head_.starts_with(magic); }
  bool isZip() const;
  bool isCompoundFile() const;

  // The ZIP archive, opened on first use with the file's identity taken just before; null when
  // its directory cannot be read.
  zip::OpenedArchive* archive();
  // Hands the opened archive over, for the engine; the probe input keeps none afterwards.
  zip::OpenedArchive takeArchive();
  // The file's identity when it is known unchanged since this process last read or wrote it.
  const std::optional<FileIdentity>& known() const { return known_; }
  // The names of a compound file's streams, read on first use.
  const std::vector<std::string>& compoundStreams();

 private:
  std::string path_;
  std::string head_;
  std::optional<FileIdentity> known_;
  bool archiveTried_ = false;
  std::optional<zip::OpenedArchive> archive_;
  std::optional<std::vector<std::string>> streams_;
};

// One row of the engine table: a probe that tells from the bytes whether the file belongs to
// this family (and which of its variants it is), and the open for the variant it handles.
struct EngineRow {
  std::string_view family;
  // The variant of this family the file is, or nothing when it is not of this family.
  std::optional<FileFormat> (*probe)(ProbeInput& input);
  // The formats `open` handles; the family's other variants are recognised and refused.
  std::span<const FileFormat> opens;
  std::unique_ptr<Engine> (*open)(ProbeInput& input);
};

// Every file family Orvandel recognises, in the order the probes run.
std::span<const EngineRow> engineTable();

}  // namespace orv
