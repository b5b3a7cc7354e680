#include "fixtures.h"

#include <xlsxwriter.h>
#include <zip.h>

#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <pugixml.hpp>
#include <random>
#include <sstream>
#include <stdexcept>

#include "server/cfb/compound_file.h"
#include "server/vba/compression.h"

namespace orv::test {

namespace fs = std::filesystem;

namespace {

// A 1x1 PNG.
constexpr unsigned char kPng[] = {
    0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x48,
    0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00,
    0x00, 0x1F, 0x15, 0xC4, 0x89, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x44, 0x41, 0x54, 0x78,
    0x9C, 0x63, 0x00, 0x01, 0x00, 0x00, 0x05, 0x00, 0x01, 0x0D, 0x0A, 0x2D, 0xB4, 0x00,
    0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};

void check(lxw_error error, const char* what) {
  if (error != LXW_NO_ERROR)
    throw std::runtime_error(std::string("libxlsxwriter: ") + what + ": " + lxw_strerror(error));
}

void close(lxw_workbook* book) { check(workbook_close(book), "close"); }

}  // namespace

TempDir::TempDir() {
  std::random_device random;
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    const fs::path candidate = fs::temp_directory_path() / ("orv-test-" + std::to_string(random()));
    if (fs::create_directory(candidate)) path_ = candidate.string();
  }
  if (path_.empty()) throw std::runtime_error("cannot make a temporary folder");
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

std::vector<std::string> TempDir::list() const {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(path_)) names.push_back(e.path().filename().string());
  return names;
}

void writeRichWorkbook(const std::string& path) {
  lxw_workbook* book = workbook_new(path.c_str());
  lxw_worksheet* data = workbook_add_worksheet(book, "Data");
  lxw_worksheet* other = workbook_add_worksheet(book, "Other");
  lxw_format* bold = workbook_add_format(book);
  format_set_bold(bold);
  format_set_num_format(bold, "0.00");

  worksheet_write_string(data, 0, 0, "Name", bold);
  worksheet_write_string(data, 0, 1, "Amount", bold);
  const char* names[] = {"north", "south", "east", "west"};
  for (int i = 0; i < 4; ++i) {
    worksheet_write_string(data, static_cast<lxw_row_t>(i + 1), 0, names[i], nullptr);
    worksheet_write_number(data, static_cast<lxw_row_t>(i + 1), 1, 10.0 * (i + 1), bold);
  }
  worksheet_write_formula(data, 0, 2, "=Data!B2*2", nullptr);
  worksheet_write_formula(data, 1, 2, "='Data'!B3+Other!A1", nullptr);
  worksheet_write_formula(data, 2, 2, "=CONCATENATE(\"Data!B2\",Data!B4)", nullptr);
  worksheet_write_formula(data, 3, 2, "=SUM(Total)", nullptr);
  worksheet_write_array_formula(data, 5, 2, 6, 2, "{=Data!B2:B3*2}", nullptr);
  worksheet_merge_range(data, 9, 0, 9, 2, "merged", bold);
  worksheet_set_column(data, 0, 0, 20, nullptr);
  worksheet_set_row(data, 9, 30, nullptr);
  worksheet_print_area(data, 0, 0, 19, 3);
  worksheet_repeat_rows(data, 0, 0);
  worksheet_autofilter(data, 0, 0, 4, 1);
  check(worksheet_insert_image_buffer(data, 1, 5, kPng, sizeof kPng), "image");
  worksheet_write_comment(data, 0, 0, "a note on the name");
  worksheet_write_comment(data, 1, 1, "a note on the amount");

  lxw_chart* chart = workbook_add_chart(book, LXW_CHART_COLUMN);
  lxw_chart_series* series = chart_add_series(chart, "=Data!$A$2:$A$5", "=Data!$B$2:$B$5");
  chart_series_set_name(series, "=Data!$B$1");
  worksheet_insert_chart(data, 10, 5, chart);

  lxw_data_validation dv{};
  dv.validate = LXW_VALIDATION_TYPE_LIST_FORMULA;
  dv.value_formula = const_cast<char*>("=Other!$A$1:$A$3");
  worksheet_data_validation_cell(data, 0, 4, &dv);
  lxw_data_validation own{};
  own.validate = LXW_VALIDATION_TYPE_LIST_FORMULA;
  own.value_formula = const_cast<char*>("=Data!$A$2:$A$5");
  worksheet_data_validation_cell(data, 1, 4, &own);

  lxw_conditional_format cell{};
  cell.type = LXW_CONDITIONAL_TYPE_CELL;
  cell.criteria = LXW_CONDITIONAL_CRITERIA_GREATER_THAN;
  cell.value = 15;
  cell.format = bold;
  worksheet_conditional_format_range(data, 1, 1, 4, 1, &cell);
  lxw_conditional_format formula{};
  formula.type = LXW_CONDITIONAL_TYPE_FORMULA;
  formula.value_string = const_cast<char*>("=Data!$B2>Other!$A$1");
  formula.format = bold;
  worksheet_conditional_format_range(data, 1, 0, 4, 0, &formula);
  lxw_conditional_format bar{};
  bar.type = LXW_CONDITIONAL_DATA_BAR;
  bar.data_bar_2010 = LXW_TRUE;
  worksheet_conditional_format_range(data, 1, 1, 4, 1, &bar);

  // A picture in the header (its own VML part) and a button (a VML shape beside the notes).
  const std::string logo = path + ".logo.png";
  writeFile(logo, std::string(reinterpret_cast<const char*>(kPng), sizeof kPng));
  lxw_header_footer_options header{};
  header.image_left = const_cast<char*>(logo.c_str());
  check(worksheet_set_header_opt(data, "&L&G", &header), "header picture");
  lxw_button_options button{};
  button.caption = const_cast<char*>("Press");
  check(worksheet_insert_button(data, 22, 0, &button), "button");

  worksheet_write_url(data, 19, 0, "https://example.org/report", nullptr);
  worksheet_write_url(data, 20, 0, "internal:Other!A1", nullptr);
  worksheet_activate(data);

  worksheet_write_number(other, 0, 0, 5, nullptr);
  worksheet_write_number(other, 1, 0, 6, nullptr);
  worksheet_write_number(other, 2, 0, 7, nullptr);
  worksheet_write_formula(other, 0, 1, "=Data!B2+1", nullptr);

  lxw_chartsheet* summary = workbook_add_chartsheet(book, "Summary");
  lxw_chart* pie = workbook_add_chart(book, LXW_CHART_PIE);
  chart_add_series(pie, nullptr, "=Data!$B$2:$B$5");
  chartsheet_set_chart(summary, pie);

  check(workbook_define_name(book, "Total", "=Data!$B$2:$B$5"), "name");
  check(workbook_define_name(book, "Other!Local", "=Other!$A$1"), "local name");
  close(book);
  std::remove(logo.c_str());
}

void writePlainWorkbook(const std::string& path, int extraSheets) {
  lxw_workbook* book = workbook_new(path.c_str());
  lxw_worksheet* data = workbook_add_worksheet(book, "Data");
  lxw_worksheet* other = workbook_add_worksheet(book, "Other");
  worksheet_write_string(data, 0, 0, "value", nullptr);
  worksheet_write_number(data, 1, 0, 1, nullptr);
  worksheet_write_formula(data, 2, 0, "=Data!A2+Other!A1", nullptr);
  worksheet_write_number(other, 0, 0, 2, nullptr);
  worksheet_write_formula(other, 1, 0, "=Data!A2*3", nullptr);
  for (int i = 1; i <= extraSheets; ++i)
    workbook_add_worksheet(book, ("S" + std::to_string(i)).c_str());
  close(book);
}

namespace {

void addRecord(std::string& dir, std::uint16_t id, const std::string& data) {
  const std::uint32_t size = static_cast<std::uint32_t>(data.size());
  dir += std::string{static_cast<char>(id & 0xFF), static_cast<char>(id >> 8)};
  for (int i = 0; i < 4; ++i) dir.push_back(static_cast<char>((size >> (8 * i)) & 0xFF));
  dir += data;
}

std::string utf16le(const std::string& utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size();) {
    unsigned c = static_cast<unsigned char>(utf8[i++]);
    if (c >= 0xC0) c = ((c & 0x1F) << 6) | (static_cast<unsigned char>(utf8[i++]) & 0x3F);
    out += std::string{static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
  }
  return out;
}

cfb::CompoundEntry stream(const std::string& name, std::string data) {
  cfb::CompoundEntry e;
  e.name = name;
  e.data = std::move(data);
  return e;
}

}  // namespace

std::string vbaProjectBytes(const std::vector<VbaModule>& modules, bool withSignature) {
  const std::string cache(40, '\x7E');  // what a compiled cache would hold, skipped on reading
  std::string dir, text = "ID=\"{00000000-0000-0000-0000-000000000000}\"\r\n", map;
  addRecord(dir, 0x0001, std::string("\x01\0\0\0", 4));  // SYSKIND
  addRecord(dir, 0x0003, std::string("\xE3\x04", 2));    // CODEPAGE 1251
  addRecord(dir, 0x0004, "VBAProject");
  dir += std::string("\x09\0\x04\0\0\0\x01\0\0\0\x02\0", 12);  // VERSION: 6 bytes follow
  addRecord(dir, 0x000F, std::string{static_cast<char>(modules.size()), 0});
  addRecord(dir, 0x0013, "\xFF\xFF");
  cfb::CompoundEntry vba;
  vba.name = "VBA";
  vba.storage = true;
  vba.children.push_back(stream("_VBA_PROJECT", std::string("\xCC\x61\xB5\x00\x00\x03\x00", 7)));
  for (const VbaModule& m : modules) {
    const std::string local = m.codePageName.empty() ? m.name : m.codePageName;
    addRecord(dir, 0x0019, local);
    addRecord(dir, 0x0047, utf16le(m.name));
    addRecord(dir, 0x001A, local);
    addRecord(dir, 0x0032, utf16le(m.name));
    addRecord(dir, 0x0031, std::string{static_cast<char>(cache.size()), 0, 0, 0});
    addRecord(dir, 0x002C, "\xFF\xFF");
    addRecord(dir, m.document ? 0x0022 : 0x0021, "");
    addRecord(dir, 0x002B, "");
    const std::string code =
        "Attribute VB_Name = \"" + local +
        "\"\r\nAttribute VB_Base = \"0{00020820-0000-0000-C000-000000000046}\"\r\n"
        "Private Sub Worksheet_Activate()\r\n  Range(\"A1\").Value = 1\r\nEnd Sub\r\n";
    vba.children.push_back(stream(m.name, cache + vba::compressVba(code)));
    text += (m.document ? "Document=" + local + "/&H00000000" : "Module=" + local) + "\r\n";
    map += local + '\0' + utf16le(m.name) + std::string(2, '\0');
  }
  addRecord(dir, 0x0010, std::string(4, '\0'));
  vba.children.push_back(stream("dir", vba::compressVba(dir)));
  text +=
      "Name=\"VBAProject\"\r\nHelpContextID=\"0\"\r\nCMG=\"0\"\r\nDPB=\"0\"\r\nGC=\"0\"\r\n\r\n"
      "[Host Extender Info]\r\n&H00000001={3832D640-CF90-11CF-8E43-00A0C911005A};VBE;"
      "&H00000000\r\n\r\n[Workspace]\r\n";
  cfb::CompoundEntry root;
  root.storage = true;
  root.children.push_back(stream("PROJECT", text));
  root.children.push_back(stream("PROJECTwm", map + std::string(2, '\0')));
  if (withSignature) root.children.push_back(stream("\005DigitalSignature", "signed"));
  root.children.push_back(std::move(vba));
  return cfb::writeCompoundFile(root);
}

void writeMacroWorkbook(const std::string& path, const std::string& vbaBytes) {
  std::string vba = path + ".vbaProject.bin";
  writeFile(vba, vbaBytes);
  lxw_workbook* book = workbook_new(path.c_str());
  lxw_worksheet* data = workbook_add_worksheet(book, "Data");
  worksheet_set_vba_name(data, "DataSheet");
  workbook_set_vba_name(book, "ThisWorkbook");
  worksheet_write_number(data, 0, 0, 1, nullptr);
  workbook_add_worksheet(book, "Other");
  check(workbook_add_vba_project(book, vba.c_str()), "vba project");
  close(book);
  std::remove(vba.c_str());
}

void writeTableWorkbook(const std::string& path) {
  lxw_workbook* book = workbook_new(path.c_str());
  lxw_worksheet* data = workbook_add_worksheet(book, "Data");
  worksheet_write_number(data, 1, 0, 1, nullptr);
  worksheet_write_number(data, 2, 0, 2, nullptr);
  worksheet_add_table(data, 0, 0, 2, 1, nullptr);
  close(book);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::vector<ZipEntry> readZip(const std::string& path) {
  int error = 0;
  zip_t* zip = zip_open(path.c_str(), ZIP_RDONLY, &error);
  if (!zip) throw std::runtime_error("not a ZIP archive: " + path);
  std::vector<ZipEntry> entries;
  for (zip_int64_t i = 0; i < zip_get_num_entries(zip, 0); ++i) {
    zip_stat_t st;
    zip_stat_index(zip, static_cast<zip_uint64_t>(i), 0, &st);
    ZipEntry e;
    e.name = st.name;
    e.compressedSize = st.comp_size;
    e.crc = st.crc;
    e.method = st.comp_method;
    zip_file_t* f = zip_fopen_index(zip, static_cast<zip_uint64_t>(i), 0);
    e.data.resize(st.size);
    if (st.size && zip_fread(f, e.data.data(), st.size) != static_cast<zip_int64_t>(st.size))
      throw std::runtime_error("cannot read " + e.name);
    zip_fclose(f);
    entries.push_back(std::move(e));
  }
  zip_discard(zip);
  return entries;
}

std::string zipPart(const std::string& path, const std::string& name) {
  for (ZipEntry& e : readZip(path))
    if (e.name == name) return std::move(e.data);
  return {};
}

void writeZip(const std::string& path,
              const std::vector<std::pair<std::string, std::string>>& entries) {
  int error = 0;
  zip_t* zip = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  if (!zip) throw std::runtime_error("cannot create " + path);
  for (const auto& [name, data] : entries) {
    zip_source_t* src = zip_source_buffer(zip, data.data(), data.size(), 0);
    const zip_int64_t at = zip_file_add(zip, name.c_str(), src, ZIP_FL_OVERWRITE);
    // OpenDocument's media type entry is stored, as its readers look for it at a fixed offset.
    if (name == "mimetype" && at >= 0)
      zip_set_file_compression(zip, static_cast<zip_uint64_t>(at), ZIP_CM_STORE, 0);
  }
  if (zip_close(zip) != 0) throw std::runtime_error("cannot write " + path);
}

void patchZip(const std::string& path, const std::map<std::string, std::string>& parts) {
  std::vector<std::pair<std::string, std::string>> entries;
  std::map<std::string, std::string> rest = parts;
  for (ZipEntry& e : readZip(path)) {
    auto it = rest.find(e.name);
    if (it != rest.end()) {
      entries.emplace_back(e.name, it->second);
      rest.erase(it);
    } else {
      entries.emplace_back(e.name, std::move(e.data));
    }
  }
  for (auto& [name, data] : rest) entries.emplace_back(name, data);
  writeZip(path, entries);
}

namespace {

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string extensionOf(const std::string& name) {
  const auto slash = name.rfind('/');
  const auto dot = name.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  return lower(name.substr(dot + 1));
}

}  // namespace

void declareEveryPartByOverride(const std::string& path) {
  pugi::xml_document types;
  const std::string text = zipPart(path, "[Content_Types].xml");
  if (!types.load_buffer(text.data(), text.size())) throw std::runtime_error("no content types");
  pugi::xml_node root = types.document_element();
  std::map<std::string, std::string> defaults;
  for (pugi::xml_node d = root.child("Default"); d;) {
    pugi::xml_node next = d.next_sibling("Default");
    defaults[lower(d.attribute("Extension").value())] = d.attribute("ContentType").value();
    root.remove_child(d);
    d = next;
  }
  std::map<std::string, bool> named;
  for (pugi::xml_node o : root.children("Override")) named[lower(o.attribute("PartName").value())];
  for (const ZipEntry& e : readZip(path)) {
    auto type = defaults.find(extensionOf(e.name));
    if (e.name == "[Content_Types].xml" || named.count(lower("/" + e.name)) ||
        type == defaults.end())
      continue;
    pugi::xml_node o = root.append_child("Override");
    o.append_attribute("PartName") = ("/" + e.name).c_str();
    o.append_attribute("ContentType") = type->second.c_str();
  }
  std::ostringstream out;
  types.save(out, "", pugi::format_raw);
  patchZip(path, {{"[Content_Types].xml", out.str()}});
}

std::vector<std::string> partsWithoutContentType(const std::string& path) {
  pugi::xml_document types;
  const std::string text = zipPart(path, "[Content_Types].xml");
  types.load_buffer(text.data(), text.size());
  std::map<std::string, bool> covered;
  for (pugi::xml_node n : types.document_element().children()) {
    if (std::string_view(n.name()) == "Override")
      covered[lower(n.attribute("PartName").value())] = true;
    else if (std::string_view(n.name()) == "Default")
      covered["*." + lower(n.attribute("Extension").value())] = true;
  }
  std::vector<std::string> missing;
  for (const ZipEntry& e : readZip(path)) {
    if (e.name == "[Content_Types].xml" || e.name.ends_with("/")) continue;
    if (!covered.count(lower("/" + e.name)) && !covered.count("*." + extensionOf(e.name)))
      missing.push_back(e.name);
  }
  return missing;
}

std::string relatedPart(const std::string& path, const std::string& part, const std::string& id) {
  const auto slash = part.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : part.substr(0, slash + 1);
  const std::string rels = dir + "_rels/" + part.substr(dir.size()) + ".rels";
  pugi::xml_document doc;
  std::string text = zipPart(path, rels);
  doc.load_buffer(text.data(), text.size());
  for (pugi::xml_node r : doc.document_element().children()) {
    if (id != r.attribute("Id").value()) continue;
    std::string target = r.attribute("Target").value();
    if (!target.empty() && target[0] == '/') return target.substr(1);
    std::string joined = dir + target;
    // Resolve "../" segments.
    std::vector<std::string> segments;
    std::stringstream in(joined);
    for (std::string seg; std::getline(in, seg, '/');) {
      if (seg == "..") {
        if (!segments.empty()) segments.pop_back();
      } else if (!seg.empty() && seg != ".") {
        segments.push_back(seg);
      }
    }
    std::string out;
    for (const std::string& seg : segments) out += (out.empty() ? "" : "/") + seg;
    return out;
  }
  return {};
}

std::string sheetPartOf(const std::string& path, const std::string& name) {
  pugi::xml_document doc;
  std::string text = zipPart(path, "xl/workbook.xml");
  doc.load_buffer(text.data(), text.size());
  pugi::xml_node sheet =
      doc.child("workbook").child("sheets").find_child_by_attribute("sheet", "name", name.c_str());
  return relatedPart(path, "xl/workbook.xml", sheet.attribute("r:id").value());
}

}  // namespace orv::test

namespace orv::test {

namespace {

constexpr const char* kOdsNamespaces =
    " xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\""
    " xmlns:style=\"urn:oasis:names:tc:opendocument:xmlns:style:1.0\""
    " xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\""
    " xmlns:table=\"urn:oasis:names:tc:opendocument:xmlns:table:1.0\""
    " xmlns:draw=\"urn:oasis:names:tc:opendocument:xmlns:drawing:1.0\""
    " xmlns:fo=\"urn:oasis:names:tc:opendocument:xmlns:xsl-fo-compatible:1.0\""
    " xmlns:xlink=\"http://www.w3.org/1999/xlink\""
    " xmlns:svg=\"urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0\""
    " xmlns:chart=\"urn:oasis:names:tc:opendocument:xmlns:chart:1.0\""
    " xmlns:of=\"urn:oasis:names:tc:opendocument:xmlns:of:1.2\""
    " xmlns:config=\"urn:oasis:names:tc:opendocument:xmlns:config:1.0\""
    " xmlns:form=\"urn:oasis:names:tc:opendocument:xmlns:form:1.0\""
    " xmlns:meta=\"urn:oasis:names:tc:opendocument:xmlns:meta:1.0\""
    " xmlns:calcext=\"urn:org:documentfoundation:names:experimental:calc:xmlns:calcext:1.0\""
    " xmlns:loext=\"urn:org:documentfoundation:names:experimental:office:xmlns:loext:1.0\""
    " xmlns:xhtml=\"http://www.w3.org/1999/xhtml\""  // unused: must survive all the same
    " office:version=\"1.3\"";

std::string odsCell(const std::string& attributes, const std::string& text) {
  return "<table:table-cell " + attributes + "><text:p>" + text + "</text:p></table:table-cell>";
}

std::string odsNumber(double value, const std::string& formula = {}) {
  std::string v = std::to_string(value);
  v.erase(v.find_last_not_of('0') + 1);
  if (v.back() == '.') v.pop_back();
  return odsCell((formula.empty() ? "" : "table:formula=\"" + formula + "\" ") +
                     "office:value-type=\"float\" office:value=\"" + v + "\"",
                 v);
}

std::string odsRow(const std::string& cells) {
  return "<table:table-row>" + cells + "</table:table-row>";
}

}  // namespace

void writeOdsWorkbook(const std::string& path, const OdsOptions& options) {
  const std::string png = "\x89PNG\r\n\x1a\n";  // enough of a picture for the package
  const std::string data =
      "<table:table table:name=\"Data\" table:print-ranges=\"Data.A1:Data.C4\">"
      "<table:shapes><draw:frame draw:name=\"Chart 1\" draw:z-index=\"1\" svg:width=\"8cm\" "
      "svg:height=\"6cm\" svg:x=\"5cm\" svg:y=\"0cm\"><draw:object draw:notify-on-update-of-ranges="
      "\"Data.B1:Data.B3\" xlink:href=\"./Object 1\" xlink:type=\"simple\" xlink:show=\"embed\" "
      "xlink:actuate=\"onLoad\"/><draw:image xlink:href=\"./ObjectReplacements/Object 1\" "
      "xlink:type=\"simple\" xlink:show=\"embed\" xlink:actuate=\"onLoad\"/></draw:frame>"
      "</table:shapes>"
      "<table:table-column table:number-columns-repeated=\"3\"/>" +
      odsRow(odsCell("office:value-type=\"string\"", "Name") + odsNumber(10) +
             odsCell("office:value-type=\"string\" table:content-validation-name=\"val1\"",
                     "north")) +
      odsRow(odsCell("office:value-type=\"string\"", "Twice") +
             odsNumber(20, "of:=[.B1]*2") +
             "<table:table-cell><text:p/><draw:frame draw:name=\"Picture 1\" "
             "table:end-cell-address=\"Data.D6\" table:end-x=\"0.5cm\" table:end-y=\"0.2cm\" "
             "draw:z-index=\"2\" svg:width=\"3cm\" svg:height=\"2cm\" svg:x=\"0cm\" svg:y=\"0cm\" "
             "xml:id=\"pic1\" draw:id=\"pic1\"><draw:image xlink:href=\"Pictures/p1.png\" "
             "xlink:type=\"simple\" xlink:show=\"embed\" xlink:actuate=\"onLoad\"/></draw:frame>"
             "</table:table-cell>") +
      odsRow(odsCell("office:value-type=\"string\"", "Sum") +
             odsNumber(15, "of:=[$Data.B1]+[$Other.A1]")) +
      odsRow(odsCell("office:value-type=\"string\" table:formula=\"of:=CONCATENATE(&quot;"
                     "[Data.B1]&quot;;[Data.B1])\"",
                     "[Data.B1]10") +
             odsNumber(30, "of:=SUM([$&apos;Data&apos;.B1:.B2])")) +
      "<table:named-expressions><table:named-range table:name=\"Local\" "
      "table:base-cell-address=\"$Data.$A$1\" table:cell-range-address=\"$Data.$B$1:.$B$3\"/>"
      "</table:named-expressions>"
      "<calcext:conditional-formats><calcext:conditional-format calcext:target-range-address="
      "\"Data.B1:Data.B4\"><calcext:condition calcext:apply-style-name=\"Default\" "
      "calcext:value=\"&gt;[$Data.B1]\" calcext:base-cell-address=\"Data.B1\"/>"
      "</calcext:conditional-format></calcext:conditional-formats>" +
      options.dataExtra + "</table:table>";
  const std::string other =
      "<table:table table:name=\"Other\"><table:table-column/>" + odsRow(odsNumber(5)) +
      odsRow(odsNumber(10, "of:=[$Data.B1]")) + "</table:table>";
  const std::string summary =
      "<table:table table:name=\"Summary\" table:style-name=\"ta2\"><table:table-column/>"
      "<table:table-row>"
      "<table:table-cell/></table:table-row></table:table>";
  const std::string content =
      std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><office:document-content") +
      kOdsNamespaces +
      "><office:automatic-styles><style:style style:name=\"ta2\" style:family=\"table\">"
      "<style:table-properties table:display=\"false\"/></style:style></office:automatic-styles>"
      "<office:body><office:spreadsheet" +
      (options.structureProtected ? " table:structure-protected=\"true\"" : "") +
      "><table:content-validations><table:content-validation table:name=\"val1\" "
      "table:condition=\"of:cell-content-is-in-list([$Data.$A$1:.$A$3])\" "
      "table:allow-empty-cell=\"true\" table:base-cell-address=\"Data.C1\"/>"
      "</table:content-validations>" +
      data + other + summary +
      "<table:named-expressions><table:named-range table:name=\"Total\" "
      "table:base-cell-address=\"$Data.$A$1\" table:cell-range-address=\"$Data.$B$1:.$B$4\"/>"
      "</table:named-expressions><table:database-ranges><table:database-range "
      "table:name=\"__Anonymous_Sheet_DB__0\" table:target-range-address=\"Data.A1:Data.B4\" "
      "table:display-filter-buttons=\"true\"/></table:database-ranges>" +
      options.spreadsheetExtra +
      "</office:spreadsheet></office:body></office:document-content>";
  const std::string chart =
      std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><office:document-content") +
      kOdsNamespaces +
      "><office:body><office:chart><chart:chart chart:class=\"chart:bar\" svg:width=\"8cm\" "
      "svg:height=\"6cm\"><chart:plot-area table:cell-range-address=\"Data.B1:Data.B3\">"
      "<chart:axis chart:dimension=\"y\" chart:name=\"primary-y\"/><chart:series "
      "chart:values-cell-range-address=\"Data.B1:Data.B3\" chart:label-cell-address=\"Other.A1\" "
      "chart:class=\"chart:bar\"/></chart:plot-area></chart:chart></office:chart></office:body>"
      "</office:document-content>";
  const std::string settings =
      std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><office:document-settings") +
      kOdsNamespaces +
      "><office:settings><config:config-item-set config:name=\"ooo:view-settings\">"
      "<config:config-item-map-indexed config:name=\"Views\"><config:config-item-map-entry>"
      "<config:config-item config:name=\"ActiveTable\" config:type=\"string\">Data"
      "</config:config-item><config:config-item-map-named config:name=\"Tables\">"
      "<config:config-item-map-entry config:name=\"Data\"><config:config-item "
      "config:name=\"ZoomValue\" config:type=\"int\">120</config:config-item>"
      "</config:config-item-map-entry><config:config-item-map-entry config:name=\"Other\">"
      "<config:config-item config:name=\"ZoomValue\" config:type=\"int\">100</config:config-item>"
      "</config:config-item-map-entry></config:config-item-map-named>"
      "</config:config-item-map-entry></config:config-item-map-indexed></config:config-item-set>"
      "</office:settings></office:document-settings>";
  const std::string meta =
      std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><office:document-meta") +
      kOdsNamespaces +
      "><office:meta><meta:document-statistic meta:table-count=\"3\" meta:cell-count=\"14\" "
      "meta:object-count=\"2\"/></office:meta></office:document-meta>";
  std::string manifest =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><manifest:manifest xmlns:manifest=\"urn:oasis:"
      "names:tc:opendocument:xmlns:manifest:1.0\" manifest:version=\"1.3\">"
      "<manifest:file-entry manifest:full-path=\"/\" manifest:version=\"1.3\" "
      "manifest:media-type=\"application/vnd.oasis.opendocument.spreadsheet\"/>";
  for (const char* entry : {"content.xml", "styles.xml", "settings.xml", "meta.xml",
                            "Object 1/content.xml", "Object 1/styles.xml"})
    manifest += std::string("<manifest:file-entry manifest:full-path=\"") + entry +
                "\" manifest:media-type=\"text/xml\"/>";
  manifest +=
      "<manifest:file-entry manifest:full-path=\"Object 1/\" manifest:media-type=\"application/"
      "vnd.oasis.opendocument.chart\"/><manifest:file-entry manifest:full-path=\""
      "ObjectReplacements/Object 1\" manifest:media-type=\"application/x-openoffice-gdimetafile;"
      "windows_formatname=&quot;GDIMetaFile&quot;\"/><manifest:file-entry manifest:full-path=\""
      "Pictures/p1.png\" manifest:media-type=\"image/png\"/>";
  for (const auto& [name, bytes] : options.extraEntries)
    manifest += "<manifest:file-entry manifest:full-path=\"" + name +
                "\" manifest:media-type=\"text/xml\"/>";
  manifest += "</manifest:manifest>";
  const std::string styles =
      std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><office:document-styles") +
      kOdsNamespaces + "><office:styles/></office:document-styles>";
  const std::string chartStyles =
      std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><office:document-styles") +
      kOdsNamespaces + "/>";
  std::vector<std::pair<std::string, std::string>> entries = {
      {"mimetype", "application/vnd.oasis.opendocument.spreadsheet"},
      {"content.xml", content},
      {"styles.xml", styles},
      {"settings.xml", settings},
      {"meta.xml", meta},
      {"Object 1/content.xml", chart},
      {"Object 1/styles.xml", chartStyles},
      {"ObjectReplacements/Object 1", "not a metafile"},
      {"Pictures/p1.png", png},
  };
  entries.insert(entries.end(), options.extraEntries.begin(), options.extraEntries.end());
  entries.emplace_back("META-INF/manifest.xml", manifest);
  writeZip(path, entries);
}

}  // namespace orv::test
