#include "server/ooxml/ooxml_probe.h"

#include <pugixml.hpp>

#include "server/ooxml/ooxml_engine.h"
#include "server/ooxml/package.h"
#include "server/ooxml/relationships.h"

namespace orv::ooxml {

namespace {

// `whole`, when given, tells whether the entry was read to its end without error.
std::string readEntry(zip_t* archive, const char* name, size_t limit, bool* whole = nullptr) {
  if (whole) *whole = false;
  zip_file_t* file = zip_fopen(archive, name, ZIP_FL_NOCASE);
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

// The workbook part the package relationships name, and whether they name it as Strict does.
struct MainPart {
  std::string part;
  bool strict = false;
};

MainPart mainPartOf(zip_t* archive) {
  MainPart main;
  std::string rels = readEntry(archive, "_rels/.rels", size_t{1} << 20);
  if (rels.empty()) return main;
  Relationships list = Relationships::parse(rels);
  if (const Relationship* office = list.firstOfKind(RelKind::OfficeDocument)) {
    main.strict = office->type.starts_with(rel::kStrictBase);
    main.part = resolveTarget("", office->target);
  }
  return main;
}

// The content type the content types give the workbook part by an Override, or empty.
std::string overrideTypeOf(const std::string& types, const std::string& part) {
  pugi::xml_document doc;
  std::string type;
  if (!doc.load_buffer(types.data(), types.size())) return type;
  for (pugi::xml_node o : doc.document_element().children()) {
    if (localName(o.name()) != "Override") continue;
    if (lowerAscii(o.attribute("PartName").value()) == "/" + lowerAscii(part))
      type = o.attribute("ContentType").value();
  }
  return type;
}

bool isWorkbookType(const std::string& contentType, const std::string& mainPart) {
  return contentType.find("spreadsheetml.sheet.main") != std::string::npos ||
         contentType.find("spreadsheetml.template.main") != std::string::npos ||
         contentType.find("ms-excel.sheet.macroEnabled.main") != std::string::npos ||
         contentType.find("ms-excel.template.macroEnabled.main") != std::string::npos ||
         contentType.find("ms-excel.addin.macroEnabled.main") != std::string::npos ||
         (contentType.empty() && partBase(mainPart) == "workbook.xml");
}

}  // namespace

std::optional<FileFormat> probeOoxml(ProbeInput& input) {
  if (!input.isZip()) return std::nullopt;
  zip::OpenedArchive* opened = input.archive();
  if (!opened) return std::nullopt;
  zip_t* archive = opened->archive;

  MainPart main = mainPartOf(archive);
  if (main.part.empty()) {
    if (zip_name_locate(archive, "xl/workbook.bin", ZIP_FL_NOCASE) >= 0) return FileFormat::Xlsb;
    if (zip_name_locate(archive, "xl/workbook.xml", ZIP_FL_NOCASE) < 0) return std::nullopt;
    main.part = "xl/workbook.xml";
  }
  bool typesWhole = false;
  std::string types = readEntry(archive, "[Content_Types].xml", size_t{1} << 24, &typesWhole);
  if (types.empty()) return std::nullopt;
  if (lowerAscii(main.part).ends_with(".bin")) return FileFormat::Xlsb;
  // The workbook part's own content type tells a workbook from other Office documents.
  const std::string contentType = overrideTypeOf(types, main.part);
  if (contentType.find("sheet.binary") != std::string::npos) return FileFormat::Xlsb;
  if (!isWorkbookType(contentType, main.part)) return std::nullopt;
  std::string head = readEntry(archive, main.part.c_str(), 4096);
  if (main.strict ||
      head.find("http://purl.oclc.org/ooxml/spreadsheetml/main") != std::string::npos)
    return FileFormat::OoxmlStrict;
  if (typesWhole) opened->contentTypes = std::move(types);
  return FileFormat::Ooxml;
}

std::unique_ptr<Engine> openOoxml(ProbeInput& input) {
  if (input.known()) {
    // A file this process wrote or read, unchanged: the package indexes it from what it kept
    // and opens the archive only when a part must be read from it.
    zip::OpenedArchive unopened;
    unopened.identity = *input.known();
    return std::make_unique<OoxmlEngine>(input.path(), std::move(unopened));
  }
  return std::make_unique<OoxmlEngine>(input.path(), input.takeArchive());
}

}  // namespace orv::ooxml
