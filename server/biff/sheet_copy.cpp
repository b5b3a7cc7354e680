#include "server/biff/sheet_copy.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <set>

#include "server/biff/formula.h"
#include "server/server_error.h"

namespace orv::biff {

namespace {

constexpr size_t kNone = ~size_t{0};

std::string hex4(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", value);
  return text;
}

[[noreturn]] void refuse(const std::string& sheet, const std::string& feature) {
  throw ServerError("Cannot copy the sheet '" + sheet + "': it holds " + feature +
                    ", which Orvandel cannot copy yet. The workbook was not changed.");
}

[[noreturn]] void refuseBecause(const std::string& sheet, const std::string& reason) {
  throw ServerError("Cannot copy the sheet '" + sheet + "': " + reason +
                    ". The workbook was not changed.");
}

// Records of a sheet's substream that hold no reference the copy has to change.
bool carriedAsIs(std::uint16_t id) {
  static const std::set<std::uint16_t> kRecords = {
      0x0809, 0x000A, 0x020B, 0x000C, 0x000D, 0x000F, 0x0010, 0x0011, 0x0012, 0x0013, 0x0014,
      0x0015, 0x001A, 0x001B, 0x001C, 0x001D, 0x0026, 0x0027, 0x0028, 0x0029, 0x002A, 0x002B,
      0x0033, 0x003C, 0x0041, 0x004D, 0x0055, 0x005E, 0x005F, 0x0063, 0x007D, 0x0080, 0x0081,
      0x0082, 0x0083, 0x0084, 0x0090, 0x0094, 0x0099, 0x009B, 0x009D, 0x009E, 0x00A0, 0x00A1,
      0x00AE, 0x00AF, 0x00BD, 0x00BE, 0x00D6, 0x00D7, 0x00DD, 0x00E5, 0x00E9, 0x00EC, 0x00ED,
      0x00EF, 0x00FD, 0x01B0, 0x01B2, 0x01B6, 0x01B8, 0x01BA, 0x01C2, 0x0200, 0x0201, 0x0203,
      0x0204, 0x0205, 0x0207, 0x0208, 0x0225, 0x0236, 0x023E, 0x027E, 0x0800, 0x0850, 0x0851,
      0x0852, 0x0853, 0x0856, 0x0862, 0x0867, 0x0868, 0x086B, 0x086C, 0x0874, 0x0879, 0x087B,
      0x087E, 0x088B, 0x088C, 0x089C, 0x089D, 0x089E, 0x08A3, 0x08A4, 0x08A5, 0x08A6, 0x08A7};
  return kRecords.count(id) != 0;
}

// What a record that cannot be copied yet holds, in the user's words; empty for the others.
std::string refusedFeature(std::uint16_t id) {
  switch (id) {
    case 0x00B0:
      return "a pivot table";
    case 0x0871:
    case 0x0872:
    case 0x0877:
    case 0x0878:
      return "a table (list)";
    case 0x0866:
      return "a picture in its header or footer";
    case 0x01AD:
      return "an external data query";
    case 0x0051:
    case 0x0052:
    case 0x01B5:
      return "data consolidation references";
    case 0x087A:
      return "Excel 2007 conditional formats";
    default:
      return {};
  }
}

// A 3-D reference's target: the external workbook (SUPBOOK index) and a range of its sheets.
struct Xti {
  std::uint16_t book = 0;
  std::int16_t first = 0, last = 0;
};

// The globals the copy reads and changes.
struct Globals {
  size_t selfBook = kNone;  // index among SUPBOOK records of the one naming this workbook
  size_t selfBookRecord = kNone;
  size_t externSheet = kNone, externSheetEnd = kNone;
  std::vector<Xti> xtis;
  struct Name {
    size_t record, end;
    std::string data;
    std::uint16_t itab;
  };
  std::vector<Name> names;
  size_t lastBoundSheet = kNone;
  size_t tabId = kNone, tabIdEnd = kNone;
  size_t drawingGroup = kNone, drawingGroupEnd = kNone;
  size_t sst = kNone;
  bool structureProtected = false;
};

Globals readGlobals(const std::vector<Record>& g) {
  Globals out;
  size_t books = 0;
  for (size_t i = 0; i < g.size(); ++i) {
    const Record& r = g[i];
    switch (r.sid) {
      case sid::kSupBook:
        if (r.data.size() >= 4 && get16(r.data, 2) == 0x0401 && out.selfBook == kNone) {
          out.selfBook = books;
          out.selfBookRecord = i;
        }
        ++books;
        break;
      case sid::kExternSheet: {
        out.externSheet = i;
        std::string d = logicalData(g, i, &out.externSheetEnd);
        if (d.size() < 2) throw RecordError{"the list of sheet references is cut short"};
        const size_t count = get16(d, 0);
        if (d.size() < 2 + 6 * count)
          throw RecordError{"the list of sheet references is cut short"};
        for (size_t k = 0; k < count; ++k)
          out.xtis.push_back({get16(d, 2 + 6 * k), static_cast<std::int16_t>(get16(d, 4 + 6 * k)),
                              static_cast<std::int16_t>(get16(d, 6 + 6 * k))});
        break;
      }
      case sid::kName: {
        Globals::Name name;
        name.record = i;
        name.data = logicalData(g, i, &name.end);
        if (name.data.size() < 14) throw RecordError{"a defined name is cut short"};
        name.itab = get16(name.data, 8);
        out.names.push_back(std::move(name));
        break;
      }
      case sid::kBoundSheet:
        out.lastBoundSheet = i;
        break;
      case sid::kTabId:
        out.tabId = i, logicalData(g, i, &out.tabIdEnd);
        break;
      case sid::kMsoDrawingGroup:
        if (out.drawingGroup == kNone) {
          out.drawingGroup = i;
          logicalData(g, i, &out.drawingGroupEnd);
        }
        break;
      case sid::kSst:
        out.sst = i;
        break;
      case sid::kProtect:
        if (r.data.size() >= 2 && get16(r.data, 0) != 0) out.structureProtected = true;
        break;
      default:
        break;
    }
  }
  return out;
}

// Where a formula sits in a record: the offset of its tokens and their length.
struct FormulaAt {
  size_t at, cce;
};

// The formulas of `r`, or nothing for a record without any.
std::vector<FormulaAt> formulasOf(const Record& r) {
  const std::string& d = r.data;
  const auto need = [&](size_t n) {
    if (d.size() < n) throw RecordError{"a formula record is cut short"};
  };
  switch (r.sid) {
    case sid::kFormula:
      need(22);
      return {{22, get16(d, 20)}};
    case sid::kShrFmla:
      need(10);
      return {{10, get16(d, 8)}};
    case sid::kArray:
      need(14);
      return {{14, get16(d, 12)}};
    case sid::kBrai:
      need(8);
      return {{8, get16(d, 6)}};
    case sid::kCf: {
      need(6);
      const size_t cce1 = get16(d, 2), cce2 = get16(d, 4);
      if (d.size() < 6 + cce1 + cce2) throw RecordError{"a conditional format is cut short"};
      const size_t start = d.size() - cce1 - cce2;
      return {{start, cce1}, {start + cce1, cce2}};
    }
    case sid::kDv: {
      size_t at = 4;
      for (int s = 0; s < 4; ++s) {  // prompt and error titles and texts
        need(at + 2);
        size_t used = 0;
        readBiffChars(d, at + 2, get16(d, at), &used);
        at += 2 + used;
      }
      need(at + 2);
      const size_t cce1 = get16(d, at);
      const size_t at1 = at + 4;
      need(at1 + cce1 + 2);
      const size_t cce2 = get16(d, at1 + cce1);
      const size_t at2 = at1 + cce1 + 4;
      need(at2 + cce2);
      return {{at1, cce1}, {at2, cce2}};
    }
    default:
      return {};
  }
}

// Refuses objects whose sub-records hold formulas (form controls, linked or embedded objects).
void checkObject(const std::string& sheet, const std::string& d) {
  size_t at = 0;
  while (at + 4 <= d.size()) {
    const unsigned ft = get16(d, at), cb = get16(d, at + 2);
    switch (ft) {
      case 0x00:
        return;   // FtEnd
      case 0x15:  // FtCmo
      case 0x06:  // FtGmo
      case 0x07:  // FtCf
      case 0x08:  // FtPioGrbit
      case 0x0D:
        break;  // FtNts
      case 0x09:
        refuse(sheet, "an embedded object (OLE object or ActiveX control)");
      case 0x04:
        refuse(sheet, "an object that runs a macro");
      default:
        refuse(sheet, "a form control");
    }
    at += 4 + cb;
  }
}

// ---- Drawings (OfficeArt) ----

struct ArtHeader {
  unsigned ver, inst, type;
  size_t at, dataAt, length;
};

// Calls `visit` for every OfficeArt record in d[at, end), containers before their children.
template <typename Visit>
void walkArt(const std::string& d, size_t at, size_t end, const Visit& visit, int depth = 0) {
  if (depth > 32) throw RecordError{"a drawing is nested too deeply"};
  while (at < end) {
    if (end - at < 8) throw RecordError{"a drawing record is cut short"};
    const unsigned verInst = get16(d, at);
    ArtHeader h{verInst & 0xF, verInst >> 4, get16(d, at + 2), at, at + 8, get32(d, at + 4)};
    if (end - h.dataAt < h.length) throw RecordError{"a drawing record is cut short"};
    visit(h);
    if (h.ver == 0xF) walkArt(d, h.dataAt, h.dataAt + h.length, visit, depth + 1);
    at = h.dataAt + h.length;
  }
}

// The drawing group of the globals (MSODRAWINGGROUP), as far as a copy changes it.
struct DrawingGroup {
  std::string data;
  size_t dgg = kNone, fdgg = kNone;  // header offsets of the container and of FDGG
  std::uint32_t spidMax = 0, cspSaved = 0, cdgSaved = 0;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> clusters;  // (dgid, ids used)
  size_t existingClusters = 0;
  std::vector<size_t> blips;  // data offset of each FBSE, by 1-based BLIP index - 1
  std::uint32_t maxDgid = 0;

  explicit DrawingGroup(std::string bytes) : data(std::move(bytes)) {
    walkArt(data, 0, data.size(), [&](const ArtHeader& h) {
      if (h.type == 0xF000 && dgg == kNone) dgg = h.at;
      if (h.type == 0xF006 && fdgg == kNone) {
        if (h.length < 16) throw RecordError{"the drawing group is cut short"};
        fdgg = h.at;
        spidMax = get32(data, h.dataAt);
        cspSaved = get32(data, h.dataAt + 8);
        cdgSaved = get32(data, h.dataAt + 12);
        for (size_t k = h.dataAt + 16; k + 8 <= h.dataAt + h.length; k += 8) {
          clusters.emplace_back(get32(data, k), get32(data, k + 4));
          maxDgid = std::max(maxDgid, clusters.back().first);
        }
        existingClusters = clusters.size();
      }
      if (h.type == 0xF007) blips.push_back(h.dataAt);
    });
    if (dgg == kNone || fdgg == kNone) throw RecordError{"the drawing group has no directory"};
  }

  // The bytes with the clusters added since reading.
  std::string written() const {
    std::string out = data;
    const size_t added = 8 * (clusters.size() - existingClusters);
    const size_t fdggData = fdgg + 8;
    const size_t fdggEnd = fdggData + get32(out, fdgg + 4);
    std::string extra;
    for (size_t k = existingClusters; k < clusters.size(); ++k) {
      add32(extra, clusters[k].first);
      add32(extra, clusters[k].second);
    }
    out.insert(fdggEnd, extra);
    put32(out, fdgg + 4, get32(out, fdgg + 4) + static_cast<std::uint32_t>(added));
    put32(out, dgg + 4, get32(out, dgg + 4) + static_cast<std::uint32_t>(added));
    put32(out, fdggData, spidMax);
    put32(out, fdggData + 4, static_cast<std::uint32_t>(clusters.size() + 1));
    put32(out, fdggData + 8, cspSaved);
    put32(out, fdggData + 12, cdgSaved);
    return out;
  }
};

// Gives one drawing of the copy (the MSODRAWING records `pieces` of one substream) its own
// drawing id and shape-id clusters, and counts its BLIP references.
void renumberDrawing(std::vector<Record>& records, const std::vector<size_t>& pieces,
                     DrawingGroup& group, std::vector<std::uint32_t>& blipRefs,
                     const std::string& sheet) {
  std::string d;
  for (size_t i : pieces) d += records[i].data;
  std::vector<size_t> spids;  // offsets of shape ids
  std::vector<size_t> fdgs;
  std::uint32_t shapes = 0;
  walkArt(d, 0, d.size(), [&](const ArtHeader& h) {
    const auto need = [&](size_t n) {
      if (h.length < n) throw RecordError{"a drawing record is cut short"};
    };
    switch (h.type) {
      case 0xF008:  // FDG: csp, spidCur
        need(8);
        fdgs.push_back(h.at);
        shapes += get32(d, h.dataAt);
        spids.push_back(h.dataAt + 4);
        break;
      case 0xF00A:
        need(4), spids.push_back(h.dataAt);
        break;      // FSP
      case 0xF012:  // connector rule: ruid, spidA, spidB, spidC
        need(16);
        for (size_t k = 1; k <= 3; ++k) spids.push_back(h.dataAt + 4 * k);
        break;
      case 0xF014:  // arc rule
      case 0xF017:  // callout rule
        need(8), spids.push_back(h.dataAt + 4);
        break;
      case 0xF00B:  // FOPT and the tertiary FOPT: shape-id and BLIP properties
      case 0xF122:
        need(6 * size_t{h.inst});
        for (size_t k = 0; k < h.inst; ++k) {
          const size_t p = h.dataAt + 6 * k;
          const unsigned opid = get16(d, p), pid = opid & 0x3FFF;
          if (opid & 0x8000) continue;                // complex: the value is a length
          if (pid == 0x0301) spids.push_back(p + 2);  // hspMaster
          if ((opid & 0x4000) && (pid == 0x0104 || pid == 0x0186)) {  // pib, fillBlip
            const std::uint32_t blip = get32(d, p + 2);
            if (blip >= 1 && blip <= blipRefs.size()) ++blipRefs[blip - 1];
          }
        }
        break;
      default:
        break;
    }
  });
  if (fdgs.size() != 1) refuse(sheet, "a drawing whose layout Orvandel does not recognise");

  const std::uint32_t dgid = group.maxDgid + 1;
  if (dgid > 0xFFF) refuseBecause(sheet, "the workbook has as many drawings as the format allows");
  std::map<std::uint32_t, std::uint32_t> clusterOf;
  for (size_t at : spids) {
    const std::uint32_t spid = get32(d, at);
    const std::uint32_t cluster = spid >> 10;
    if (cluster == 0) continue;
    if (cluster > group.existingClusters)
      refuse(sheet, "a drawing with shape ids outside the workbook's clusters");
    auto [it, added] = clusterOf.emplace(cluster, 0);
    if (added) {
      group.clusters.emplace_back(dgid, group.clusters[cluster - 1].second);
      it->second = static_cast<std::uint32_t>(group.clusters.size());
      if (it->second > 0xFFFF) refuseBecause(sheet, "the workbook has run out of shape ids");
    }
    const std::uint32_t renumbered = (it->second << 10) | (spid & 0x3FF);
    put32(d, at, renumbered);
    group.spidMax = std::max(group.spidMax, renumbered + 1);
  }
  const size_t fdg = fdgs.front();
  put16(d, fdg, (get16(d, fdg) & 0xF) | (dgid << 4));
  group.maxDgid = dgid;
  group.cdgSaved += 1;
  group.cspSaved += shapes;
  size_t at = 0;
  for (size_t i : pieces) {
    records[i].data = d.substr(at, records[i].data.size());
    at += records[i].data.size();
  }
}

std::string lowerAscii(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}


// Replaces globals [from, to) by `with`, keeping the sheets' BOUNDSHEET8 indexes right.
void replaceGlobals(WorkbookStream& book, size_t from, size_t to, std::vector<Record> with) {
  const std::ptrdiff_t shift =
      static_cast<std::ptrdiff_t>(with.size()) - static_cast<std::ptrdiff_t>(to - from);
  book.globals.erase(book.globals.begin() + static_cast<std::ptrdiff_t>(from),
                     book.globals.begin() + static_cast<std::ptrdiff_t>(to));
  book.globals.insert(book.globals.begin() + static_cast<std::ptrdiff_t>(from),
                      std::make_move_iterator(with.begin()), std::make_move_iterator(with.end()));
  for (WorkbookStream::Sheet& s : book.sheets)
    if (s.boundSheet >= to)
      s.boundSheet = static_cast<size_t>(static_cast<std::ptrdiff_t>(s.boundSheet) + shift);
}

}  // namespace

std::string freshCodeName(const WorkbookStream& book, const std::set<std::string>& taken) {
  std::set<std::string> used = taken;
  for (const Record& r : book.globals)
    if (r.sid == sid::kCodeName) used.insert(lowerAscii(codeNameOf(r)));
  for (const WorkbookStream::Sheet& s : book.sheets) used.insert(lowerAscii(sheetCodeName(s)));
  std::string fresh;
  for (size_t n = book.sheets.size() + 1; fresh.empty() || used.count(lowerAscii(fresh)); ++n)
    fresh = "Sheet" + std::to_string(n);
  return fresh;
}

void appendSheetCopy(WorkbookStream& book, size_t source, const std::string& name,
                     const CopyContext& context) {
  const WorkbookStream::Sheet& src = book.sheets.at(source);
  const std::string& sheet = src.name;
  if (src.type == 1)
    refuseBecause(sheet, "it is an Excel 4.0 macro sheet, which Orvandel cannot copy yet");
  if (src.type == 6)
    refuseBecause(sheet, "it is a Visual Basic module sheet, which Orvandel cannot copy");
  if (src.type != 0 && src.type != 2)
    refuseBecause(sheet, "it is a kind of sheet Orvandel does not know");
  try {
    const Globals g = readGlobals(book.globals);
    if (g.structureProtected)
      refuseBecause(sheet,
                    "the workbook's structure is protected, so no sheet can be added. "
                    "Unprotect the workbook in your spreadsheet application and try again");
    const std::uint16_t newTab = static_cast<std::uint16_t>(book.sheets.size());
    if (book.sheets.size() >= 0x7FFF)
      refuseBecause(sheet, "the workbook has as many sheets as the format allows");

    // Sheet-scoped names of the source get clones scoped to the copy, after the existing names.
    std::map<std::uint32_t, std::uint32_t> nameMap;  // 1-based
    std::vector<size_t> cloned;
    bool needXti = false;
    const auto isSource = [&](std::uint16_t ixti) {
      return ixti < g.xtis.size() && g.xtis[ixti].book == g.selfBook &&
             g.xtis[ixti].first == static_cast<std::int16_t>(source) &&
             g.xtis[ixti].last == static_cast<std::int16_t>(source);
    };
    // A name's text (its flags' built-in bit and characters), to tell names apart.
    const auto nameKey = [](const std::string& d) {
      size_t used = 0;
      return std::to_string(get16(d, 0) & 0x20) + ":" +
             lowerAscii(readBiffChars(d, 14, static_cast<unsigned char>(d[3]), &used));
    };
    std::set<std::string> local;
    for (const Globals::Name& n : g.names)
      if (n.itab == source + 1) local.insert(nameKey(n.data));
    // Names scoped to the source, and workbook names that refer to it only, as a spreadsheet
    // application does, get clones scoped to the copy.
    const auto refersToSource = [&](const std::string& d) {
      bool refers = false;
      FormulaRemap detect;
      detect.xti = [&](std::uint16_t ixti) {
        refers = refers || isSource(ixti);
        return ixti;
      };
      try {
        std::string copy = d;
        size_t used = 0;
        readBiffChars(copy, 14, static_cast<unsigned char>(copy[3]), &used);
        walkFormula(copy, 14 + used, get16(copy, 4), &detect);
      } catch (const RecordError&) {
        return false;  // a name that cannot be read stays the workbook's alone
      }
      return refers;
    };
    for (size_t k = 0; k < g.names.size(); ++k) {
      const Globals::Name& n = g.names[k];
      const bool clone = n.itab == source + 1 ||
                         (n.itab == 0 && !local.count(nameKey(n.data)) && refersToSource(n.data));
      if (!clone) continue;
      cloned.push_back(k);
      nameMap[static_cast<std::uint32_t>(k + 1)] =
          static_cast<std::uint32_t>(g.names.size() + cloned.size());
    }
    FormulaRemap remap;
    remap.xti = [&](std::uint16_t ixti) -> std::uint16_t {
      if (!isSource(ixti)) return ixti;
      needXti = true;
      return static_cast<std::uint16_t>(g.xtis.size());
    };
    remap.name = [&](std::uint32_t index) {
      auto it = nameMap.find(index);
      return it == nameMap.end() ? index : it->second;
    };
    remap.nameX = [&](std::uint16_t ixti, std::uint32_t index) {
      if (ixti >= g.xtis.size() || g.xtis[ixti].book != g.selfBook) return index;
      auto it = nameMap.find(index);
      return it == nameMap.end() ? index : it->second;
    };
    if (g.xtis.size() >= 0xFFFF)
      refuseBecause(sheet, "the workbook has as many sheet references as the format allows");

    // The copy's records, checked and retargeted.
    // A sheet held as bytes is read into records for the copy only.
    const std::vector<Record> heldRecords =
        src.heldAsBytes() ? sheetRecords(src) : std::vector<Record>();
    const std::vector<Record>& srcRecords = src.heldAsBytes() ? heldRecords : src.records;
    std::vector<Record> records;
    records.reserve(srcRecords.size());
    std::uint32_t labels = 0;
    int depth = 0;
    bool hasDrawing = false;
    for (const Record& original : srcRecords) {
      if (original.sid == 0x00ED) continue;  // the drawing selection: the copy starts unselected
      Record r = original;
      r.position = Record::kNoPosition;
      if (r.sid == sid::kBof) ++depth;
      const std::string feature = refusedFeature(r.sid);
      if (!feature.empty()) refuse(sheet, feature);
      if (r.sid == sid::kObj) checkObject(sheet, r.data);
      const std::vector<FormulaAt> formulas = formulasOf(r);
      if (formulas.empty() && r.sid != sid::kObj && !carriedAsIs(r.sid) &&
          !(r.sid >= 0x1000 && r.sid <= 0x10FF))
        refuse(sheet, "a record Orvandel does not know (" + hex4(r.sid) + ")");
      for (const FormulaAt& f : formulas) walkFormula(r.data, f.at, f.cce, &remap);
      if (r.sid == sid::kLabelSst) ++labels;
      if (r.sid == sid::kMsoDrawing) hasDrawing = true;
      if (depth == 1 && r.sid == sid::kWsBool && r.data.size() >= 1 && (r.data[0] & 0x10))
        refuseBecause(sheet, "it is a dialog sheet, which Orvandel cannot copy yet");
      if (depth == 1 && r.sid == sid::kWindow2 && r.data.size() >= 2)
        put16(r.data, 0, get16(r.data, 0) & ~0x0600u);  // neither selected nor shown
      if (r.sid == sid::kEof) --depth;
      records.push_back(std::move(r));
    }

    // A code name of its own.
    const size_t codeName = findTopLevel(records, sid::kCodeName);
    if (codeName < records.size()) {
      if (context.hasVbaProject && context.codeName.empty())
        refuse(sheet, "macros (a VBA project)");
      const std::string fresh =
          context.codeName.empty() ? freshCodeName(book, {}) : context.codeName;
      size_t units = 0;
      std::string chars = writeBiffChars(fresh, &units);
      records[codeName].data.clear();
      add16(records[codeName].data, static_cast<std::uint32_t>(units));
      records[codeName].data += chars;
    }

    // Drawings: each substream's MSODRAWING records (and their CONTINUE records) form one.
    std::optional<DrawingGroup> group;
    std::vector<std::uint32_t> blipRefs;
    if (hasDrawing) {
      if (g.drawingGroup == kNone) refuse(sheet, "a drawing the workbook does not list");
      group.emplace(logicalData(book.globals, g.drawingGroup));
      for (const WorkbookStream::Sheet& s : book.sheets)
        group->maxDgid = std::max(group->maxDgid, sheetDrawingId(s));
      blipRefs.assign(group->blips.size(), 0);
      std::vector<std::vector<size_t>> drawings;
      std::vector<size_t> open;  // drawing of each nested substream
      bool continuing = false;
      for (size_t i = 0; i < records.size(); ++i) {
        const std::uint16_t id = records[i].sid;
        if (id == sid::kBof) {
          open.push_back(kNone);
        } else if (id == sid::kMsoDrawing || (id == sid::kContinue && continuing)) {
          if (open.empty()) throw RecordError{"a drawing lies outside its sheet"};
          if (open.back() == kNone) {
            open.back() = drawings.size();
            drawings.emplace_back();
          }
          drawings[open.back()].push_back(i);
        } else if (id == sid::kEof && !open.empty()) {
          open.pop_back();
        }
        continuing = id == sid::kMsoDrawing || (id == sid::kContinue && continuing);
      }
      for (const std::vector<size_t>& pieces : drawings)
        renumberDrawing(records, pieces, *group, blipRefs, sheet);
    }

    // The cloned names.
    std::vector<Record> nameRecords;
    for (size_t k : cloned) {
      std::string d = g.names[k].data;
      put16(d, 8, newTab + 1u);
      const size_t cch = static_cast<unsigned char>(d[3]);
      size_t used = 0;
      readBiffChars(d, 14, cch, &used);
      walkFormula(d, 14 + used, get16(d, 4), &remap);
      for (Record& r : splitRecord(sid::kName, d)) nameRecords.push_back(std::move(r));
    }

    // ---- From here on nothing fails: the globals change. ----
    // Later records first, so that the indexes read above stay right.
    if (group) {
      // BLIP reference counts first: the clusters added below move the BLIP store.
      for (size_t k = 0; k < blipRefs.size(); ++k) {
        const size_t at = group->blips[k] + 24;
        if (blipRefs[k] && at + 4 <= group->data.size())
          put32(group->data, at, get32(group->data, at) + blipRefs[k]);
      }
      std::string data = group->written();
      replaceGlobals(book, g.drawingGroup, g.drawingGroupEnd,
                     splitRecord(sid::kMsoDrawingGroup, data));
    }
    if (g.sst != kNone && book.globals[g.sst].data.size() >= 4)
      put32(book.globals[g.sst].data, 0, get32(book.globals[g.sst].data, 0) + labels);
    if (!nameRecords.empty()) {
      const size_t after = g.names.back().end;
      replaceGlobals(book, after, after, std::move(nameRecords));
    }
    if (needXti) {
      std::string d = logicalData(book.globals, g.externSheet);
      put16(d, 0, static_cast<std::uint32_t>(g.xtis.size() + 1));
      add16(d, static_cast<std::uint32_t>(g.selfBook));
      add16(d, newTab);
      add16(d, newTab);
      replaceGlobals(book, g.externSheet, g.externSheetEnd, splitRecord(sid::kExternSheet, d));
    }
    if (g.selfBookRecord != kNone) put16(book.globals[g.selfBookRecord].data, 0, newTab + 1u);
    if (g.tabId != kNone) {
      std::string d = logicalData(book.globals, g.tabId);
      std::uint32_t highest = 0;
      for (size_t k = 0; k + 2 <= d.size(); k += 2)
        highest = std::max<std::uint32_t>(highest, get16(d, k));
      add16(d, std::min<std::uint32_t>(highest + 1, 0xFFFF));
      replaceGlobals(book, g.tabId, g.tabIdEnd, splitRecord(sid::kTabId, d));
    }
    const size_t boundAt = book.sheets.back().boundSheet + 1;
    Record bound;
    bound.sid = sid::kBoundSheet;
    bound.data = book.globals[src.boundSheet].data.substr(0, 6);
    replaceGlobals(book, boundAt, boundAt, {bound});
    WorkbookStream::Sheet copy;
    copy.name = name;
    copy.state = book.sheets[source].state;
    copy.type = book.sheets[source].type;
    copy.boundSheet = boundAt;
    copy.records = std::move(records);
    book.sheets.push_back(std::move(copy));
  } catch (const RecordError& e) {
    if (e.unknown) refuse(sheet, e.what);
    throw ServerError("Cannot copy the sheet '" + sheet + "': the workbook is damaged (" + e.what +
                      "). The workbook was not changed.");
  }
}

}  // namespace orv::biff
