#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "server/durable_file.h"
#include "server/engine.h"

namespace orv {

enum class FileFormat {
  Ooxml,           // .xlsx .xlsm .xltx .xltm (transitional)
  OoxmlStrict,     // Strict Open XML
  OoxmlEncrypted,  // compound file holding an EncryptedPackage
  Xlsb,            // binary workbook in a ZIP
  Biff8,           // .xls, Excel 97-2003
  BiffOld,         // .xls, Excel 5/95 and older
  Ods,             // OpenDocument spreadsheet
  OdsEncrypted,
  FlatOds,  // flat OpenDocument spreadsheet (.fods): one XML file
  Html,
  Xml,
  Text,  // CSV or other plain text
  Empty,
  DamagedZip,  // starts as a ZIP archive but its directory cannot be read
  Unknown,
};

// Decides the format from the file's bytes, never from its name, with the probes of the engine
// table (engine_registry.h). For ZIP and compound files the archive's directory is consulted.
// Throws ServerError only when the file cannot be read at all.
FileFormat detectFormat(const std::string& path);

// Why a file of `format` cannot be opened and what the user can do, as the end
// of the sentence "Cannot open 'Book.xlsx': ...". Empty for the formats an engine opens.
std::string refusalReason(FileFormat format);

// Opens the workbook at `path` with the engine whose probe recognises it, handing the engine what
// the probe opened, or throws ServerError naming the format and what the user can do.
// A file opened again unchanged since this process last opened or saved it goes straight to the
// engine that read it.
std::unique_ptr<Engine> openEngine(const std::string& path);

// After a save of the workbook at `path`: the file is now `identity`, written by the engine that
// opened it.
void rememberSaved(const std::string& path, const FileIdentity& identity);

}  // namespace orv
