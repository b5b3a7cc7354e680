#include "server/format.h"

#include <zip.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <pugixml.hpp>
#include <set>
#include <vector>

#include "server/durable_file.h"
#include "server/file_handle.h"
#include "server/utf8_path.h"
#include "server/ooxml/ooxml_engine.h"
#include "server/ooxml/package.h"
#include "server/server_error.h"

namespace orv {

namespace {

constexpr size_t kHeadSize = 8192;

bool startsWith(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

bool containsIgnoreCase(std::string_view haystack, std::string_view needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end(),
                     [](char a, char b) {
                       return std::tolower(static_cast<unsigned char>(a)) ==
                              std::tolower(static_cast<unsigned char>(b));
                     }) != haystack.end();
}

// `whole`, when given, tells whether the entry was read to its end without error.
std::string readEntry(zip_t* zip, const char* name, size_t limit, bool* whole = nullptr) {
  if (whole) *whole = false;
  zip_file_t* file = zip_fopen(zip, name, ZIP_FL_NOCASE);
  if (!file) return {};
  std::string data;
  char buffer[16384];
  zip_int64_t got = 0;
  while (data.size() < limit) {
    got = zip_fread(file, buffer, sizeof buffer);
    if (got <= 0) break;
    data.append(buffer, static_cast<size_t>(got));
  }
  zip_fclose(file);
  if (whole) *whole = got == 0;
  return data;
}

// `keep`, when given, receives the archive (and the content types read) for a workbook the engine
// can open.
FileFormat sniffZip(const std::string& path, ooxml::OpenedArchive* keep) {
  ooxml::OpenedArchive opened;
  // Taken before opening, so that a save notices a change made since.
  if (keep) opened.identity = fileIdentity(path, displayName(path));
  int error = 0;
  opened.zip = zip_open(path.c_str(), ZIP_RDONLY, &error);
  zip_t* zip = opened.zip;
  if (!zip) return FileFormat::DamagedZip;

  std::string mimetype = readEntry(zip, "mimetype", 256);
  if (startsWith(mimetype, "application/vnd.oasis.opendocument.spreadsheet")) {
    std::string manifest = readEntry(zip, "META-INF/manifest.xml", size_t{1} << 22);
    return manifest.find("encryption-data") != std::string::npos ? FileFormat::OdsEncrypted
                                                                 : FileFormat::Ods;
  }

  std::string rels = readEntry(zip, "_rels/.rels", size_t{1} << 20);
  std::string mainPart;
  bool strict = false;
  pugi::xml_document doc;
  if (!rels.empty() && doc.load_buffer(rels.data(), rels.size())) {
    for (pugi::xml_node r : doc.document_element().children()) {
      std::string_view type = r.attribute("Type").value();
      if (type.size() < 15 || type.substr(type.size() - 15) != "/officeDocument") continue;
      strict = startsWith(type, ooxml::rel::kStrictBase);
      mainPart = ooxml::resolveTarget("", r.attribute("Target").value());
      break;
    }
  }
  if (mainPart.empty()) {
    if (zip_name_locate(zip, "xl/workbook.bin", ZIP_FL_NOCASE) >= 0) return FileFormat::Xlsb;
    if (zip_name_locate(zip, "xl/workbook.xml", ZIP_FL_NOCASE) < 0) return FileFormat::Unknown;
    mainPart = "xl/workbook.xml";
  }
  bool typesWhole = false;
  std::string types = readEntry(zip, "[Content_Types].xml", size_t{1} << 24, &typesWhole);
  if (types.empty()) return FileFormat::Unknown;
  if (ooxml::lowerAscii(mainPart).ends_with(".bin")) return FileFormat::Xlsb;
  // The workbook part's own content type tells a workbook from other Office documents.
  pugi::xml_document typesDoc;
  std::string contentType;
  if (typesDoc.load_buffer(types.data(), types.size())) {
    for (pugi::xml_node o : typesDoc.document_element().children()) {
      if (ooxml::localName(o.name()) != "Override") continue;
      if (ooxml::lowerAscii(o.attribute("PartName").value()) == "/" + ooxml::lowerAscii(mainPart))
        contentType = o.attribute("ContentType").value();
    }
  }
  if (contentType.find("sheet.binary") != std::string::npos) return FileFormat::Xlsb;
  const bool isWorkbook =
      contentType.find("spreadsheetml.sheet.main") != std::string::npos ||
      contentType.find("spreadsheetml.template.main") != std::string::npos ||
      contentType.find("ms-excel.sheet.macroEnabled.main") != std::string::npos ||
      contentType.find("ms-excel.template.macroEnabled.main") != std::string::npos ||
      contentType.find("ms-excel.addin.macroEnabled.main") != std::string::npos ||
      (contentType.empty() && ooxml::partBase(mainPart) == "workbook.xml");
  if (!isWorkbook) return FileFormat::Unknown;
  std::string head = readEntry(zip, mainPart.c_str(), 4096);
  if (strict || head.find("http://purl.oclc.org/ooxml/spreadsheetml/main") != std::string::npos)
    return FileFormat::OoxmlStrict;
  if (keep) {
    if (typesWhole) opened.contentTypes = std::move(types);
    *keep = std::move(opened);
  }
  return FileFormat::Ooxml;
}

// A compound file is read in place, a few sectors at a time: its header, the allocation-table
// sectors that chain the directory together, and the directory sectors, whose 128-byte entries
// name the streams that tell the formats apart. Nothing else is read, however large the file.
class CompoundReader {
 public:
  explicit CompoundReader(const std::string& path) : in_(pathFromUtf8(path), std::ios::binary) {}

  // The names of the directory's stream entries.
  std::vector<std::string> streamNames() {
    std::vector<std::string> names = chainedNames();
    return names.empty() ? scannedNames() : names;
  }

 private:
  static constexpr std::uint32_t kMaxRegularSector = 0xFFFFFFFA;
  static constexpr size_t kMaxDirectorySectors = 4096;
  static constexpr size_t kScanSize = size_t{1} << 20;

  // Where the header or the chain is damaged, entries are looked for at every 128-byte boundary
  // of the file's first megabyte, where writers put the directory of a small file.
  std::vector<std::string> scannedNames() {
    std::string data = readAt(0, kScanSize);
    std::vector<std::string> names;
    for (size_t at = 512; at + 128 <= data.size(); at += 128) {
      if (data[at + 66] != 2) continue;
      std::string name = nameAt(data, at);
      if (!name.empty()) names.push_back(name);
    }
    return names;
  }

  // The stream names of the directory, following its chain of sectors.
  std::vector<std::string> chainedNames() {
    std::string header = readAt(0, 512);
    if (header.size() < 512) return {};
    const unsigned shift = u16(header, 30);
    if (shift != 9 && shift != 12) return {};
    sectorSize_ = size_t{1} << shift;
    for (size_t i = 0; i < 109; ++i) fatSectors_.push_back(u32(header, 76 + 4 * i));
    // Further allocation-table sectors are listed in a chain of their own, read only if needed.
    difatNext_ = u32(header, 68);
    std::vector<std::string> names;
    std::set<std::uint32_t> seen;
    for (std::uint32_t sector = u32(header, 48); sector < kMaxRegularSector;
         sector = nextSector(sector)) {
      if (!seen.insert(sector).second || seen.size() > kMaxDirectorySectors) break;
      std::string entries = readAt(sectorOffset(sector), sectorSize_);
      if (entries.size() < sectorSize_) break;
      for (size_t at = 0; at + 128 <= entries.size(); at += 128) {
        if (entries[at + 66] != 2) continue;  // streams only
        std::string name = nameAt(entries, at);
        if (!name.empty()) names.push_back(name);
      }
    }
    return names;
  }

  static unsigned u16(const std::string& d, size_t at) {
    return static_cast<unsigned char>(d[at]) | (static_cast<unsigned char>(d[at + 1]) << 8);
  }
  static std::uint32_t u32(const std::string& d, size_t at) {
    return static_cast<std::uint32_t>(u16(d, at)) |
           (static_cast<std::uint32_t>(u16(d, at + 2)) << 16);
  }

  static std::string nameAt(const std::string& data, size_t at) {
    std::string name;
    const unsigned length = u16(data, at + 64);
    if (length < 2 || length > 64 || length % 2) return name;
    for (size_t i = 0; i + 2 < length; i += 2) {
      if (data[at + i + 1] != 0) return std::string();
      name.push_back(data[at + i]);
    }
    return name;
  }

  std::uint64_t sectorOffset(std::uint32_t sector) const {
    return (std::uint64_t{sector} + 1) * sectorSize_;
  }

  std::string readAt(std::uint64_t offset, size_t size) {
    std::string data(size, '\0');
    in_.clear();
    in_.seekg(static_cast<std::streamoff>(offset));
    if (!in_) return {};
    in_.read(data.data(), static_cast<std::streamsize>(size));
    data.resize(static_cast<size_t>(in_.gcount()));
    return data;
  }

  // The sector after `sector` in its chain, from the allocation table.
  std::uint32_t nextSector(std::uint32_t sector) {
    const size_t perSector = sectorSize_ / 4;
    const size_t index = sector / perSector;
    // Allocation-table sectors past the header's 109 come from the DIFAT chain, a sector at a
    // time, each listing perSector - 1 of them and the next DIFAT sector last.
    while (index >= fatSectors_.size() && difatNext_ < kMaxRegularSector &&
           fatSectors_.size() < 109 + kMaxDirectorySectors * perSector) {
      std::string difat = readAt(sectorOffset(difatNext_), sectorSize_);
      if (difat.size() < sectorSize_) break;
      for (size_t i = 0; i + 1 < perSector; ++i) fatSectors_.push_back(u32(difat, 4 * i));
      difatNext_ = u32(difat, sectorSize_ - 4);
    }
    if (index >= fatSectors_.size() || fatSectors_[index] >= kMaxRegularSector)
      return kMaxRegularSector;
    std::string entry = readAt(sectorOffset(fatSectors_[index]) + 4 * (sector % perSector), 4);
    return entry.size() == 4 ? u32(entry, 0) : kMaxRegularSector;
  }

  std::ifstream in_;
  size_t sectorSize_ = 512;
  std::vector<std::uint32_t> fatSectors_;
  std::uint32_t difatNext_ = kMaxRegularSector;
};

FileFormat sniffCompound(const std::string& path) {
  bool workbook = false, book = false, encrypted = false;
  for (const std::string& name : CompoundReader(path).streamNames()) {
    if (name == "EncryptedPackage") encrypted = true;
    if (name == "Workbook") workbook = true;
    if (name == "Book") book = true;
  }
  if (encrypted) return FileFormat::OoxmlEncrypted;
  if (workbook) return FileFormat::Biff8;
  if (book) return FileFormat::BiffOld;
  return FileFormat::Unknown;
}

FileFormat sniffText(std::string_view head) {
  if (startsWith(head, "\xEF\xBB\xBF")) head.remove_prefix(3);
  size_t start = head.find_first_not_of(" \t\r\n");
  if (start == std::string_view::npos) return FileFormat::Text;
  std::string_view body = head.substr(start);
  if (containsIgnoreCase(head, "<html") || containsIgnoreCase(head, "<!doctype html"))
    return FileFormat::Html;
  if (startsWith(body, "<")) {
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

// A missing file and one that cannot be read are told apart, with the system's reason for the
// latter. `error` stands for a failure seen without errno.
void refuseUnreadable(const std::string& path, int error = 0) {
  if (error == 0) {
    FileHandle file = FileHandle::openForReading(path);
    if (file.valid()) {
      if (file.isFolder())
        throw ServerError("Cannot open '" + displayName(path) + "': it is a folder, not a workbook.");
      return;
    }
    error = file.error();
  }
  const std::string start = "Cannot open '" + displayName(path) + "': ";
  if (error == ENOENT) throw ServerError(start + "the file does not exist.");
  if (error == ENOTDIR) throw ServerError(start + "the file does not exist (a folder on its path is a file).");
  std::string reason = std::strerror(error);
  if (!reason.empty()) reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
  throw ServerError(start + "the file cannot be read (" + reason + ").");
}

FileFormat detect(const std::string& path, ooxml::OpenedArchive* keep) {
  refuseUnreadable(path);
  std::ifstream in(pathFromUtf8(path), std::ios::binary);
  if (!in) refuseUnreadable(path, EIO);
  std::string head(kHeadSize, '\0');
  in.read(head.data(), static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<size_t>(in.gcount()));
  in.close();
  if (head.empty()) return FileFormat::Empty;
  if (startsWith(head, "PK\x03\x04") || startsWith(head, std::string_view("PK\x05\x06", 4)) ||
      startsWith(head, "PK\x07\x08"))
    return sniffZip(path, keep);
  if (startsWith(head, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1")) return sniffCompound(path);
  // BIFF2 to BIFF4 files are a bare record stream starting with a BOF record (0x0009, 0x0209,
  // 0x0409 or 0x0809) of a few bytes.
  const auto b = [&](size_t i) { return static_cast<unsigned char>(head[i]); };
  if (head.size() >= 4 && b(0) == 0x09 &&
      (b(1) == 0x00 || b(1) == 0x02 || b(1) == 0x04 || b(1) == 0x08) && b(2) >= 4 && b(2) <= 0x14 &&
      b(3) == 0)
    return FileFormat::BiffOld;
  return sniffText(head);
}

}  // namespace

FileFormat detectFormat(const std::string& path) { return detect(path, nullptr); }

std::string refusalReason(FileFormat format) {
  const std::string saveAs =
      " Open it in your spreadsheet application, save it as an Excel Workbook (.xlsx) and try "
      "again.";
  switch (format) {
    case FileFormat::Ooxml:
      return {};
    case FileFormat::OoxmlStrict:
      return "it is saved as a Strict Open XML Spreadsheet, which is recognised but not yet "
             "supported." +
             saveAs;
    case FileFormat::OoxmlEncrypted:
      return "it is protected with a password (encrypted), so its sheets cannot be read. Remove "
             "the password in your spreadsheet application, save the workbook and try again.";
    case FileFormat::Xlsb:
      return "it is an Excel Binary Workbook (.xlsb), which is recognised but not yet supported." +
             saveAs;
    case FileFormat::Biff8:
      return "it is an Excel 97-2003 Workbook (.xls), which is recognised but not yet supported." +
             saveAs;
    case FileFormat::BiffOld:
      return "it is an Excel 5.0/95 or older workbook (.xls), which is recognised but not yet "
             "supported." +
             saveAs;
    case FileFormat::Ods:
      return "it is an OpenDocument Spreadsheet (.ods), which is recognised but not yet "
             "supported." +
             saveAs;
    case FileFormat::OdsEncrypted:
      return "it is a password-protected OpenDocument Spreadsheet (.ods), which cannot be read. "
             "Remove the password, save it as an Excel Workbook (.xlsx) and try again.";
    case FileFormat::Html:
      return "it is a web page (HTML) saved under a workbook name, not a workbook." + saveAs;
    case FileFormat::Xml:
      return "it is an XML file (such as an XML Spreadsheet 2003) saved under a workbook name, "
             "not a workbook." +
             saveAs;
    case FileFormat::Text:
      return "it is a text file (such as CSV) saved under a workbook name, not a workbook." +
             saveAs;
    case FileFormat::Empty:
      return "the file is empty.";
    case FileFormat::DamagedZip:
      return "the file is damaged (its ZIP structure cannot be read). If you have a backup, use "
             "it; "
             "otherwise try your spreadsheet application's Open and Repair.";
    case FileFormat::Unknown:
      break;
  }
  return "it is not a workbook that Orvandel can read. Choose an Excel workbook (.xlsx or .xlsm).";
}

std::unique_ptr<Engine> openEngine(const std::string& path) {
  ooxml::OpenedArchive opened;
  FileFormat format = detect(path, &opened);
  if (format != FileFormat::Ooxml)
    throw ServerError("Cannot open '" + displayName(path) + "': " + refusalReason(format));
  return std::make_unique<ooxml::OoxmlEngine>(path, std::move(opened));
}

}  // namespace orv
