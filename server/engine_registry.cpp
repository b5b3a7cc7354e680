#include "server/engine_registry.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "server/biff/biff_engine.h"
#include "server/cfb/stream_names.h"
#include "server/ods/ods_engine.h"
#include "server/ooxml/ooxml_probe.h"

namespace orv {

namespace {

constexpr std::string_view kCompoundMagic = "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1";

bool containsIgnoreCase(std::string_view haystack, std::string_view needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end(),
                     [](char a, char b) {
                       return std::tolower(static_cast<unsigned char>(a)) ==
                              std::tolower(static_cast<unsigned char>(b));
                     }) != haystack.end();
}

// At most `limit` bytes of the entry `name`, or empty when it is missing.
std::string readEntry(zip_t* archive, const char* name, size_t limit) {
  zip_file_t* file = zip_fopen(archive, name, ZIP_FL_NOCASE);
  if (!file) return {};
  std::string data;
  char buffer[16384];
  while (data.size() < limit) {
    const zip_int64_t got = zip_fread(file, buffer, sizeof buffer);
    if (got <= 0) break;
    data.append(buffer, static_cast<size_t>(got));
  }
  zip_fclose(file);
  return data;
}

// OpenDocument: a ZIP archive whose `mimetype` entry names a spreadsheet.
std::optional<FileFormat> probeOds(ProbeInput& input) {
  if (!input.isZip() || !input.archive()) return std::nullopt;
  zip_t* archive = input.archive()->archive;
  const std::string mimetype = readEntry(archive, "mimetype", 256);
  if (!mimetype.starts_with("application/vnd.oasis.opendocument.spreadsheet")) return std::nullopt;
  const std::string manifest = readEntry(archive, "META-INF/manifest.xml", size_t{1} << 22);
  return manifest.find("encryption-data") != std::string::npos ? FileFormat::OdsEncrypted
                                                               : FileFormat::Ods;
}

// A ZIP archive no other probe claimed: damaged when its directory cannot be read.
std::optional<FileFormat> probeOtherZip(ProbeInput& input) {
  if (!input.isZip()) return std::nullopt;
  return input.archive() ? FileFormat::Unknown : FileFormat::DamagedZip;
}

// Compound files: an encrypted Open XML package, or a BIFF workbook stream.
std::optional<FileFormat> probeCompound(ProbeInput& input) {
  if (!input.isCompoundFile()) return std::nullopt;
  bool workbook = false, book = false, encrypted = false;
  for (const std::string& name : input.compoundStreams()) {
    if (name == "EncryptedPackage") encrypted = true;
    if (name == "Workbook") workbook = true;
    if (name == "Book") book = true;
  }
  if (encrypted) return FileFormat::OoxmlEncrypted;
  if (workbook) return FileFormat::Biff8;
  if (book) return FileFormat::BiffOld;
  return FileFormat::Unknown;
}

// BIFF2 to BIFF4 files are a bare record stream starting with a BOF record (0x0009, 0x0209,
// 0x0409 or 0x0809) of a few bytes.
std::optional<FileFormat> probeBareBiff(ProbeInput& input) {
  std::string_view head = input.head();
  const auto b = [&](size_t i) { return static_cast<unsigned char>(head[i]); };
  if (head.size() >= 4 && b(0) == 0x09 &&
      (b(1) == 0x00 || b(1) == 0x02 || b(1) == 0x04 || b(1) == 0x08) && b(2) >= 4 && b(2) <= 0x14 &&
      b(3) == 0)
    return FileFormat::BiffOld;
  return std::nullopt;
}

// Whatever is left: web pages, XML and plain text saved under a workbook name.
std::optional<FileFormat> probeText(ProbeInput& input) {
  std::string_view head = input.head();
  if (head.starts_with("\xEF\xBB\xBF")) head.remove_prefix(3);
  size_t start = head.find_first_not_of(" \t\r\n");
  if (start == std::string_view::npos) return FileFormat::Text;
  std::string_view body = head.substr(start);
  if (containsIgnoreCase(head, "<html") || containsIgnoreCase(head, "<!doctype html"))
    return FileFormat::Html;
  if (body.starts_with("<")) {
    // A flat OpenDocument spreadsheet: the whole document in one XML file.
    if (head.find("office:document") != std::string_view::npos &&
        head.find("application/vnd.oasis.opendocument.spreadsheet") != std::string_view::npos)
      return FileFormat::FlatOds;
    if (containsIgnoreCase(head, "<table") || containsIgnoreCase(head, "<body"))
      return FileFormat::Html;
    return FileFormat::Xml;
  }
  // Text without control bytes: a CSV or other plain text saved under a workbook name.
  for (unsigned char c : head) {
    if (c == 0 || (c < 0x20 && c != '\t' && c != '\r' && c != '\n' && c != '\f'))
      return FileFormat::Unknown;
  }
  return FileFormat::Text;
}

std::unique_ptr<Engine> openOds(ProbeInput& input) {
  if (input.known()) {
    // A file this process wrote or read, unchanged: the engine opens the archive only when the
    // last instance left no entries of it.
    zip::OpenedArchive unopened;
    unopened.identity = *input.known();
    return ods::openOds(input.path(), std::move(unopened));
  }
  return ods::openOds(input.path(), input.takeArchive());
}

std::unique_ptr<Engine> openBiff8(ProbeInput& input) {
  return std::make_unique<biff::BiffEngine>(input.path());
}

// Transitional and Strict Open XML are one engine: it reads either namespace and writes each
// file back in its own.
constexpr FileFormat kOpenXml[] = {FileFormat::Ooxml, FileFormat::OoxmlStrict};
constexpr FileFormat kBiff8[] = {FileFormat::Biff8};
constexpr FileFormat kOds[] = {FileFormat::Ods};

constexpr std::array kEngines{
    EngineRow{"OpenDocument", probeOds, kOds, openOds},
    EngineRow{"Open XML", ooxml::probeOoxml, kOpenXml, ooxml::openOoxml},
    EngineRow{"ZIP archive", probeOtherZip, {}, nullptr},
    EngineRow{"Compound file", probeCompound, kBiff8, openBiff8},
    EngineRow{"BIFF record stream", probeBareBiff, {}, nullptr},
    EngineRow{"Text", probeText, {}, nullptr},
};

}  // namespace

ProbeInput::ProbeInput(std::string path, std::string head)
    : path_(std::move(path)), head_(std::move(head)) {}

ProbeInput::ProbeInput(std::string path, std::string head, FileIdentity identity)
    : path_(std::move(path)), head_(std::move(head)), known_(identity) {}

bool ProbeInput::isZip() const {
  return startsWith("PK\x03\x04") || startsWith(std::string_view("PK\x05\x06", 4)) ||
         startsWith("PK\x07\x08");
}

bool ProbeInput::isCompoundFile() const { return startsWith(kCompoundMagic); }

zip::OpenedArchive* ProbeInput::archive() {
  if (!archiveTried_) {
    archiveTried_ = true;
    zip::OpenedArchive opened;
    // Taken before opening, so that a save notices a change made since.
    opened.identity = fileIdentity(path_, displayName(path_));
    int error = 0;
    opened.archive = zip_open(path_.c_str(), ZIP_RDONLY, &error);
    if (opened.archive) archive_ = std::move(opened);
  }
  return archive_ ? &*archive_ : nullptr;
}

zip::OpenedArchive ProbeInput::takeArchive() {
  archive();
  zip::OpenedArchive taken;
  if (archive_) taken = std::move(*archive_);
  archive_.reset();
  return taken;
}

const std::vector<std::string>& ProbeInput::compoundStreams() {
  if (!streams_) streams_ = cfb::streamNames(path_);
  return *streams_;
}

std::span<const EngineRow> engineTable() { return kEngines; }

}  // namespace orv
