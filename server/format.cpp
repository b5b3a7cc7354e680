#include "server/format.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>

#include "server/durable_file.h"
#include "server/engine_registry.h"
#include "server/file_handle.h"
#include "server/server_error.h"
#include "server/utf8_path.h"

namespace orv {

namespace {

constexpr size_t kHeadSize = 8192;

// A missing file and one that cannot be read are told apart, with the system's reason for the
// latter. `error` stands for a failure seen without errno.
void refuseUnreadable(const std::string& path, int error = 0) {
  if (error == 0) {
    FileHandle file = FileHandle::openForReading(path);
    if (file.valid()) {
      if (file.isFolder())
        throw ServerError("Cannot open '" + displayName(path) +
                          "': it is a folder, not a workbook.");
      return;
    }
    error = file.error();
  }
  const std::string start = "Cannot open '" + displayName(path) + "': ";
  if (error == ENOENT) throw ServerError(start + "the file does not exist.");
  if (error == ENOTDIR)
    throw ServerError(start + "the file does not exist (a folder on its path is a file).");
  std::string reason = std::strerror(error);
  if (!reason.empty())
    reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
  throw ServerError(start + "the file cannot be read (" + reason + ").");
}

// The file's first bytes, for the probes.
std::string readHead(const std::string& path) {
  refuseUnreadable(path);
  std::ifstream in(pathFromUtf8(path), std::ios::binary);
  if (!in) refuseUnreadable(path, EIO);
  std::string head(kHeadSize, '\0');
  in.read(head.data(), static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<size_t>(in.gcount()));
  return head;
}

// The format of the file, and the row of the engine table whose probe recognised it.
struct Probed {
  FileFormat format = FileFormat::Unknown;
  const EngineRow* row = nullptr;
};

Probed probe(ProbeInput& input) {
  if (input.head().empty()) return {FileFormat::Empty, nullptr};
  for (const EngineRow& row : engineTable()) {
    if (std::optional<FileFormat> format = row.probe(input)) return {*format, &row};
  }
  return {};
}

// The workbook this process last opened or saved, as the file was then, and the engine that read
// it. Saving after every copy opens the file the last save wrote: unchanged since, it is what
// that engine wrote and needs no probe, whose reading of its directory and content types grows
// with the workbook.
struct Remembered {
  std::string path;
  FileIdentity identity;
  const EngineRow* row = nullptr;
};

std::mutex rememberedMutex;
std::optional<Remembered> remembered;

const EngineRow* rememberedRow(const std::string& path, const FileIdentity& identity) {
  std::lock_guard lock(rememberedMutex);
  if (remembered && remembered->path == path && remembered->identity == identity)
    return remembered->row;
  return nullptr;
}

void remember(const std::string& path, const FileIdentity& identity, const EngineRow* row) {
  std::lock_guard lock(rememberedMutex);
  remembered = Remembered{path, identity, row};
}

}  // namespace

FileFormat detectFormat(const std::string& path) {
  ProbeInput input(path, readHead(path));
  return probe(input).format;
}

std::string refusalReason(FileFormat format) {
  const std::string saveAs =
      " Open it in your spreadsheet application, save it as an Excel Workbook (.xlsx) and try "
      "again.";
  switch (format) {
    case FileFormat::Ooxml:
    case FileFormat::OoxmlStrict:
      return {};
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
    case FileFormat::FlatOds:
      return "it is a flat OpenDocument Spreadsheet (.fods, a single XML file), which is "
             "recognised but not supported. Open it in your spreadsheet application, save it as "
             "an OpenDocument Spreadsheet (.ods) and try again.";
    case FileFormat::OdsEncrypted:
      return "it is a password-protected OpenDocument Spreadsheet (.ods), which cannot be read. "
             "Remove the password in your spreadsheet application, save the workbook and try "
             "again.";
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
  std::optional<FileIdentity> before;
  try {
    before = fileIdentity(path, displayName(path));
  } catch (const ServerError&) {
    // Told in the user's words by the probe's read below.
  }
  if (before) {
    if (const EngineRow* row = rememberedRow(path, *before)) {
      ProbeInput input(path, std::string(), *before);
      return row->open(input);
    }
  }
  ProbeInput input(path, readHead(path));
  const Probed found = probe(input);
  if (!found.row || !found.row->open ||
      std::find(found.row->opens.begin(), found.row->opens.end(), found.format) ==
          found.row->opens.end())
    throw ServerError("Cannot open '" + displayName(path) + "': " + refusalReason(found.format));
  std::unique_ptr<Engine> engine = found.row->open(input);
  if (before) remember(path, *before, found.row);
  return engine;
}

void rememberSaved(const std::string& path, const FileIdentity& identity) {
  std::lock_guard lock(rememberedMutex);
  if (remembered && remembered->path == path) remembered->identity = identity;
}

}  // namespace orv
