#include "server/ooxml/package.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <deque>
#include <optional>
#include <sstream>
#include <system_error>

#include "server/file_handle.h"
#include "server/memory_budget.h"
#include "server/ooxml/part_cache.h"
#include "server/server_error.h"
#include "server/zip/archive_writer.h"

namespace orv::ooxml {

namespace {

// A part larger than this is not a part of a workbook we can hold; saying so beats running out
// of memory on a forged size.
constexpr zip_uint64_t kMaxPartSize = zip_uint64_t{1} << 31;
// Edited parts are compressed at the fastest level: saving costs what writing costs, and the
// file is only a few per cent larger than at the usual level. (libdeflate's level 1, which the
// raw writer uses, is faster than zlib's and a little smaller.)
constexpr zip_uint32_t kDeflateLevel = 1;

constexpr std::string_view kContentTypes = "[Content_Types].xml";

bool equalsIgnoreCase(std::string_view a, std::string_view b) { return NoCaseEqual{}(a, b); }

// The number in `name` between the folder and stem and the extension of `stem` (as kept in
// highestNumbers_: "folder/stem", a line break, the extension), ignoring case; nothing when the
// name is not of that stem or the number has more than nine digits.
std::optional<long> numberAfterStem(std::string_view name, std::string_view stem) {
  const size_t split = stem.find('\n');
  const std::string_view prefix = stem.substr(0, split), suffix = stem.substr(split + 1);
  if (name.size() <= prefix.size() + suffix.size()) return std::nullopt;
  if (!equalsIgnoreCase(name.substr(0, prefix.size()), prefix) ||
      !equalsIgnoreCase(name.substr(name.size() - suffix.size()), suffix))
    return std::nullopt;
  const std::string_view digits = name.substr(prefix.size(), name.size() - stem.size() + 1);
  if (digits.size() > 9 ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  long number = 0;
  std::from_chars(digits.data(), digits.data() + digits.size(), number);
  return number;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string percentDecode(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size()) {
      int hi = hexValue(s[i + 1]), lo = hexValue(s[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        continue;
      }
    }
    out.push_back(s[i]);
  }
  return out;
}

std::vector<std::string_view> splitPath(std::string_view path) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) slash = path.size();
    parts.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
}

// The text of a tree, into the room it was given; what does not fit is only counted. Grown by
// doubling, the text of a part naming a thousand sheets held up to three times its size while it
// was made.
struct StringWriter : pugi::xml_writer {
  std::string out;
  size_t overflow = 0;  // bytes that did not fit

  void write(const void* data, size_t size) override {
    if (overflow == 0 && out.size() + size <= out.capacity()) {
      out.append(static_cast<const char*>(data), size);
      return;
    }
    overflow += size;
  }
};

}  // namespace

std::string lowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string partDir(std::string_view part) {
  auto slash = part.rfind('/');
  return slash == std::string_view::npos ? std::string() : std::string(part.substr(0, slash + 1));
}

std::string partBase(std::string_view part) {
  auto slash = part.rfind('/');
  return std::string(slash == std::string_view::npos ? part : part.substr(slash + 1));
}

std::string relsPartOf(std::string_view part) {
  return partDir(part) + "_rels/" + partBase(part) + ".rels";
}

std::string resolveTarget(std::string_view source, std::string_view target) {
  auto hash = target.find('#');
  if (hash != std::string_view::npos) target = target.substr(0, hash);
  std::string decoded = percentDecode(target);
  std::string joined =
      (!decoded.empty() && decoded[0] == '/') ? decoded.substr(1) : partDir(source) + decoded;
  // Most targets name a part plainly, with nothing to take out.
  bool plain = !joined.empty();
  for (size_t start = 0; plain && start <= joined.size();) {
    const size_t slash = std::min(joined.find('/', start), joined.size());
    const std::string_view seg(joined.data() + start, slash - start);
    plain = !seg.empty() && seg != "." && seg != "..";
    start = slash + 1;
  }
  if (plain) return joined;
  std::vector<std::string_view> out;
  for (std::string_view seg : splitPath(joined)) {
    if (seg.empty() || seg == ".") continue;
    if (seg == "..") {
      if (!out.empty()) out.pop_back();
      continue;
    }
    out.push_back(seg);
  }
  std::string result;
  for (size_t i = 0; i < out.size(); ++i) {
    if (i) result += '/';
    result += out[i];
  }
  return result;
}

std::string relativeTarget(std::string_view source, std::string_view part) {
  const std::string sourceDir = partDir(source);
  std::vector<std::string_view> from = splitPath(sourceDir);
  if (!from.empty() && from.back().empty()) from.pop_back();
  std::vector<std::string_view> to = splitPath(part);
  size_t common = 0;
  while (common < from.size() && common + 1 < to.size() && from[common] == to[common]) ++common;
  std::string result;
  for (size_t i = common; i < from.size(); ++i) result += "../";
  for (size_t i = common; i < to.size(); ++i) {
    if (i > common) result += '/';
    result += to[i];
  }
  return result;
}

std::string_view localName(const char* qualifiedName) {
  std::string_view name(qualifiedName);
  auto colon = name.find(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

std::string_view namespaceOf(pugi::xml_node node, const char* qualifiedName, bool isAttribute) {
  std::string_view name(qualifiedName);
  auto colon = name.find(':');
  std::string_view declaration = "xmlns";
  // Asked for every element and attribute of some parts: the declaration's name is made in
  // place.
  char room[64] = "xmlns:";
  std::string longer;
  if (colon == std::string_view::npos) {
    if (isAttribute) return {};
  } else {
    std::string_view prefix = name.substr(0, colon);
    if (prefix == "xml") return "http://www.w3.org/XML/1998/namespace";
    if (prefix.size() + 7 <= sizeof room) {
      prefix.copy(room + 6, prefix.size());
      room[6 + prefix.size()] = '\0';
      declaration = room;
    } else {
      longer = "xmlns:" + std::string(prefix);
      declaration = longer;
    }
  }
  for (pugi::xml_node n = node; n && n.type() == pugi::node_element; n = n.parent()) {
    if (pugi::xml_attribute a = n.attribute(declaration.data())) return a.value();
  }
  return {};
}

Package::Package(std::string path) : path_(std::move(path)), display_(orv::displayName(path_)) {
  identity_ = fileIdentity(path_, display_);
  PartCache::instance().dropStale(identity_);
  if (adoptKeptIndex()) return;
  openArchive();
  indexEntries();
}

Package::Package(std::string path, OpenedArchive opened)
    : path_(std::move(path)), display_(orv::displayName(path_)) {
  identity_ = opened.identity;
  PartCache::instance().dropStale(identity_);
  zip_ = std::exchange(opened.archive, nullptr);
  // A file opened unchanged since this process wrote it takes the index that save left, without
  // reading its directory; the archive is opened when a part is read from it.
  if (!adoptKeptIndex()) {
    if (!zip_) openArchive();
    indexEntries();
  }
  if (Entry* types = find(kContentTypes); types && !opened.contentTypes.empty()) {
    types->data().bytes = std::move(opened.contentTypes);
    types->state = State::Bytes;  // not dirty: saved from the file as it lies
  }
}

struct PackageIndex {
  std::vector<std::unique_ptr<Package::Entry>> entries;
  ByPartName<Package::Entry*> byName;
  std::unordered_map<std::string, long> highestNumbers;
};

bool Package::adoptKeptIndex() {
  std::optional<CachedPart> kept = PartCache::instance().take(identity_, {});
  if (!kept || !kept->layout || !kept->index) return false;
  layout_ = std::move(kept->layout);
  entries_ = std::move(kept->index->entries);
  byName_ = std::move(kept->index->byName);
  highestNumbers_ = std::move(kept->index->highestNumbers);
  return true;
}

void Package::indexEntries() {
  const zip_int64_t n = zip_get_num_entries(zip_, 0);
  entries_.reserve(static_cast<size_t>(n));
  for (zip_int64_t i = 0; i < n; ++i) {
    const char* name = zip_get_name(zip_, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW);
    if (!name) continue;
    if (byName_.count(name)) {
      ServerError error("Cannot open '" + display_ + "': the file is damaged (the part '" + name +
                        "' is stored twice).");
      // The destructor does not run for a constructor that throws.
      zip_discard(zip_);
      zip_ = nullptr;
      throw error;
    }
    auto entry = std::make_unique<Entry>();
    entry->name = name;
    entry->index = i;
    byName_.emplace(entry->name, entry.get());
    entries_.push_back(std::move(entry));
  }
}

Package::~Package() {
  leaveForNextInstance();
  if (zip_) zip_discard(zip_);
  if (spool_ >= 0) ::close(spool_);
}

void Package::leaveForNextInstance() {
  if (!shareable_) return;
  keepParts();
  if (!layout_ || modified_) return;
  try {
    keepIndex();
  } catch (const std::bad_alloc&) {
    // Nothing is lost but time.
  }
}

void Package::keepIndex() {
  CachedPart kept;
  kept.layout = layout_;
  kept.weight = layout_->central.size() + layout_->entries.size() * sizeof(zip::Entry);
  auto index = std::make_shared<PackageIndex>();
  for (auto& entry : entries_) {
    // What was kept of a part went above; the next instance finds it all as the file holds it.
    Entry& e = *entry;
    e.state = State::Raw;
    e.payload.reset();
    e.spooled.reset();
    e.weight = 0;
    kept.weight += sizeof(Entry) + 2 * e.name.size() + 64;
  }
  index->entries = std::move(entries_);
  index->byName = std::move(byName_);
  index->highestNumbers = std::move(highestNumbers_);
  kept.index = std::move(index);
  PartCache::instance().put(identity_, {}, std::move(kept));
}

void Package::keepParts() {
  PartCache& cache = PartCache::instance();
  for (auto& entry : entries_) {
    Entry& e = *entry;
    // Only what the file holds as it is now: parts unchanged since it was read or written.
    if (e.state == State::Removed || e.dirty || e.index < 0) continue;
    CachedPart part;
    // An edited tree is left as it was saved: parsing the text it was written as gives the same
    // tree. The parser and the writer keep every node; the writer escapes the line breaks of
    // attribute values, which the parser would turn into spaces; and the engine puts no carriage
    // return into text, which the parser would turn into a line break.
    if (e.state == State::Xml) {
      part.doc = std::move(e.data().doc);
      part.gap = e.data().gap;
      part.textSize = e.weight;
      part.weight = xmlPartCost(e.weight, 0, 0);
      if ((part.trail = std::move(e.data().trail))) part.weight += part.trail->packed.size();
      // The index of the content types points into their tree, and goes with it.
      if (typesIndexed_ && equalsIgnoreCase(e.name, kContentTypes)) {
        part.typesIndexed = true;
        part.overrides = std::move(overrides_);
        part.lastOverride = lastOverride_;
        part.defaults = std::move(defaults_);
        typesIndexed_ = false;
      }
    } else if (e.state == State::Bytes) {
      part.text = std::move(e.data().bytes);
      part.weight = part.text.size();
    } else {
      continue;
    }
    if (auto rels = relsMemo_.find(lowerAscii(e.name)); rels != relsMemo_.end()) {
      part.weight += rels->second.all().size() * (sizeof(Relationship) + 96);
      part.relationships = std::move(rels->second);
      relsMemo_.erase(rels);
    }
    if (auto memos = memos_.find(lowerAscii(e.name)); memos != memos_.end()) {
      for (const auto& [key, value] : memos->second) part.weight += key.size() + value->size();
      part.memos = std::move(memos->second);
      memos_.erase(memos);
    }
    try {
      cache.put(identity_, lowerAscii(e.name), std::move(part));
    } catch (const std::bad_alloc&) {
      return;  // nothing is lost but time
    }
  }
}

void Package::openArchive() {
  int error = 0;
  zip_ = zip_open(path_.c_str(), ZIP_RDONLY, &error);
  if (!zip_) {
    zip_error_t ze;
    zip_error_init_with_code(&ze, error);
    std::string why = (error == ZIP_ER_NOZIP || error == ZIP_ER_INCONS)
                          ? "the file is damaged (its ZIP structure cannot be read)."
                          : zip::zipMessage(&ze);
    zip_error_fini(&ze);
    throw ServerError("Cannot open '" + display_ + "': " + why);
  }
}

zip_t* Package::archive() {
  if (zip_) return zip_;
  // The file written by the last save is opened only now that a part is read from it again;
  // its entries lie in the order they were written.
  if (!(fileIdentity(path_, display_) == identity_)) {
    throw ServerError("Cannot open '" + display_ +
                      "': the file was changed by another program after it was saved. Open it "
                      "again and repeat the change.");
  }
  openArchive();
  const zip_int64_t n = zip_get_num_entries(zip_, 0);
  for (const auto& entry : entries_) {
    if (entry->index < 0) continue;  // added since
    const char* name =
        entry->index < n
            ? zip_get_name(zip_, static_cast<zip_uint64_t>(entry->index), ZIP_FL_ENC_RAW)
            : nullptr;
    if (!name || entry->name != name) damaged(entry->name, "the part was not written");
  }
  return zip_;
}

void Package::damaged(std::string_view part, const std::string& why) const {
  throw ServerError("Cannot open '" + display_ + "': the file is damaged (" + std::string(part) +
                    ": " + why + ").");
}

Package::Entry* Package::find(std::string_view part) {
  auto it = byName_.find(part);
  if (it == byName_.end() || it->second->state == State::Removed) return nullptr;
  return it->second;
}

const Package::Entry* Package::find(std::string_view part) const {
  auto it = byName_.find(part);
  if (it == byName_.end() || it->second->state == State::Removed) return nullptr;
  return it->second;
}

bool Package::has(std::string_view part) const { return find(part) != nullptr; }

std::vector<std::string> Package::partNames() const {
  std::vector<std::string> names;
  names.reserve(entries_.size());
  for (const auto& e : entries_)
    if (e->state != State::Removed) names.push_back(e->name);
  return names;
}

std::string Package::entryName(std::string_view part) const {
  const Entry* e = find(part);
  return e ? e->name : std::string();
}

bool Package::isParsed(std::string_view part) const {
  const Entry* e = find(part);
  return e && e->state == State::Xml;
}

namespace {

// What holding, parsing and writing back a part would cost, measured as it is inflated.
class PartCost {
 public:
  void add(std::string_view chunk) {
    for (size_t at = chunk.find('<'); at != std::string_view::npos; at = chunk.find('<', at + 1))
      if (at + 1 >= chunk.size() || chunk[at + 1] != '/') ++elements_;
    attributes_ += static_cast<std::uint64_t>(std::count(chunk.begin(), chunk.end(), '='));
  }
  std::uint64_t of(size_t bytes) const { return xmlPartCost(bytes, elements_, attributes_); }

 private:
  std::uint64_t elements_ = 0, attributes_ = 0;
};

// The size the archive's directory gives the entry, when it gives one.
std::optional<zip_uint64_t> declaredSize(zip_t* zip, zip_int64_t index) {
  zip_stat_t st;
  zip_stat_init(&st);
  if (zip_stat_index(zip, static_cast<zip_uint64_t>(index), 0, &st) == 0 &&
      (st.valid & ZIP_STAT_SIZE))
    return st.size;
  return std::nullopt;
}

// Closes an open ZIP entry when it goes out of scope.
struct OpenEntry {
  zip_file_t* file;
  ~OpenEntry() {
    if (file) zip_fclose(file);
  }
};

}  // namespace

std::string Package::readPrefix(std::string_view part, size_t limit) {
  Entry* e = find(part);
  if (!e) damaged(part, "the part is missing");
  if (e->state == State::Raw) adoptKept(*e);
  if (e->state == State::Bytes) return e->data().bytes.substr(0, limit);
  if (e->state == State::Xml) return serialize(*e->data().doc, e->data().gap).substr(0, limit);
  if (e->state == State::Lazy) return e->data().produce().substr(0, limit);
  if (e->state == State::Spooled) return unspool(*e).substr(0, limit);
  return inflate(*e, part, limit);
}

std::string Package::inflate(const Entry& e, std::string_view part, size_t limit) {
  zip_t* zip = archive();
  // A whole part is held, parsed and written back: what that costs is weighed against the memory
  // at hand before it is inflated (by the size the archive gives) and while it is (by the
  // elements it holds), so that a small file that inflates to gigabytes is refused early.
  const bool whole = limit == SIZE_MAX;
  const std::optional<zip_uint64_t> declared = declaredSize(zip, e.index);
  const std::uint64_t budget = whole ? memoryBudget() : UINT64_MAX;
  if (declared && xmlPartCost(*declared, 0, 0) > budget)
    throw ServerError("Cannot open '" + display_ +
                      "': " + tooLargeReason(xmlPartCost(*declared, 0, 0)));
  OpenEntry entry{zip_fopen_index(zip, static_cast<zip_uint64_t>(e.index), 0)};
  if (!entry.file) damaged(part, zip_error_strerror(zip_get_error(zip)));
  std::string data;
  char buffer[65536];
  PartCost cost;
  try {
    while (data.size() < limit) {
      // A short look (a sheet's root element) inflates no more than it returns.
      zip_int64_t got = zip_fread(entry.file, buffer, std::min(sizeof buffer, limit - data.size()));
      if (got < 0) damaged(part, zip_error_strerror(zip_file_get_error(entry.file)));
      if (got == 0) break;
      const std::string_view chunk(buffer, static_cast<size_t>(got));
      data.append(chunk);
      if ((declared && data.size() > *declared) || data.size() > kMaxPartSize)
        damaged(part, declared && data.size() > *declared
                          ? "the part is larger than the archive's directory says"
                          : "the part is too large");
      if (!whole) continue;
      cost.add(chunk);
      if (cost.of(data.size()) > budget) {
        // The whole part costs about what its start does, in proportion.
        const double scale =
            declared ? static_cast<double>(*declared) / static_cast<double>(data.size()) : 1.0;
        throw ServerError("Cannot open '" + display_ + "': " +
                          tooLargeReason(static_cast<std::uint64_t>(
                              static_cast<double>(cost.of(data.size())) * std::max(1.0, scale))));
      }
    }
  } catch (const std::bad_alloc&) {
    throw ServerError("Cannot open '" + display_ + "': " + outOfMemoryReason());
  }
  if (whole && declared && data.size() != *declared)
    damaged(part, "the part is smaller than the archive's directory says");
  if (data.size() > limit) data.resize(limit);
  return data;
}

std::string Package::read(std::string_view part) { return readPrefix(part, SIZE_MAX); }

void Package::forgetRelationships(std::string_view part) {
  if (!relsMemo_.empty()) relsMemo_.erase(lowerAscii(part));
}

pugi::xml_document& Package::xml(std::string_view part) {
  pugi::xml_document& doc = parsed(part);
  // Whoever asks for the tree may change it.
  forgetRelationships(part);
  return doc;
}

pugi::xml_document& Package::parsed(std::string_view part) {
  Entry* e = find(part);
  if (!e) damaged(part, "the part is missing");
  adoptKept(*e);
  if (e->state == State::Xml) return *e->data().doc;
  std::string text;
  // The content types come as bytes from the probe; as the file holds them, all the same.
  const bool asInFile = e->state == State::Raw || (e->state == State::Bytes && !e->dirty &&
                                                   e->index >= 0);
  if (asInFile) {
    text = e->state == State::Bytes ? std::move(e->data().bytes) : read(part);
  } else {
    text = e->state == State::Bytes  ? std::move(e->data().bytes)
           : e->state == State::Lazy ? e->data().produce()
                                     : unspool(*e);
  }
  auto doc = std::make_unique<pugi::xml_document>();
  pugi::xml_parse_result result;
  try {
    result = doc->load_buffer(text.data(), text.size(), kParseOptions);
  } catch (const std::bad_alloc&) {
    result.status = pugi::status_out_of_memory;
  }
  if (result.status == pugi::status_out_of_memory) {
    if (e->state == State::Bytes) e->data().bytes = std::move(text);
    throw ServerError("Cannot open '" + display_ + "': " + outOfMemoryReason());
  }
  if (!result) {
    if (e->state == State::Bytes) e->data().bytes = std::move(text);
    damaged(part, std::string("malformed XML at byte ") + std::to_string(result.offset) + ": " +
                      result.description());
  }
  // The parser drops the line break between the declaration and the root; it is written back.
  e->data().gap.clear();
  if (text.starts_with("<?xml")) {
    size_t end = text.find("?>");
    if (end != std::string::npos) {
      size_t root = text.find('<', end);
      if (root != std::string::npos && text.find_first_not_of(" \t\r\n", end + 2) == root)
        e->data().gap = text.substr(end + 2, root - end - 2);
    }
  }
  e->data().bytes.clear();
  e->data().produce = nullptr;
  e->data().doc = std::move(doc);
  e->weight = text.size();
  e->state = State::Xml;
  return *e->data().doc;
}

void Package::adoptKept(Entry& e) {
  // Only a part as the file holds it: a kept part is what reading it from the file would give.
  const bool asInFile =
      e.state == State::Raw || (e.state == State::Bytes && !e.dirty && e.index >= 0);
  if (!asInFile) return;
  std::optional<CachedPart> cached = PartCache::instance().take(identity_, lowerAscii(e.name));
  if (!cached) return;
  if (!cached->memos.empty()) memos_[lowerAscii(e.name)] = std::move(cached->memos);
  if (cached->relationships)
    relsMemo_.insert_or_assign(lowerAscii(e.name), std::move(*cached->relationships));
  if (cached->doc) {
    e.data().doc = std::move(cached->doc);
    e.data().gap = std::move(cached->gap);
    e.data().trail = std::move(cached->trail);
    e.weight = cached->textSize;
    e.state = State::Xml;
    std::string().swap(e.data().bytes);
    if (cached->typesIndexed) {
      overrides_ = std::move(cached->overrides);
      lastOverride_ = cached->lastOverride;
      defaults_ = std::move(cached->defaults);
      typesIndexed_ = true;
    }
  } else {
    e.data().bytes = std::move(cached->text);
    e.state = State::Bytes;
  }
}

pugi::xml_document* Package::parsedIfAtHand(std::string_view part) {
  Entry* e = find(part);
  if (!e) return nullptr;
  adoptKept(*e);
  return e->state == State::Xml ? e->data().doc.get() : nullptr;
}

std::shared_ptr<const std::string> Package::memo(std::string_view part,
                                                 const std::string& key) const {
  auto it = memos_.find(lowerAscii(part));
  if (it == memos_.end()) return nullptr;
  auto found = it->second.find(key);
  return found == it->second.end() ? nullptr : found->second;
}

void Package::setMemo(std::string_view part, const std::string& key,
                      std::shared_ptr<const std::string> value) {
  const Entry* e = find(part);
  // Only of a part as the file holds it: anything else changes before it is saved.
  if (!e || e->dirty || e->index < 0 || e->state == State::Removed) return;
  memos_[lowerAscii(part)][key] = std::move(value);
}

void Package::markDirty(std::string_view part) {
  forgetRelationships(part);
  memos_.erase(lowerAscii(part));
  Entry* e = find(part);
  if (!e) return;
  e->dirty = true;
  modified_ = true;
}

Package::Entry& Package::insert(const std::string& part) {
  memos_.erase(lowerAscii(part));
  auto it = byName_.find(part);
  if (it != byName_.end()) {
    // A part added in this session may be filled in later (its name is reserved first).
    if (it->second->state != State::Removed && it->second->index >= 0) {
      throw ServerError("Cannot change '" + display_ + "': the part '" + part +
                        "' exists already.");
    }
    // A part removed and added again in one session keeps its place.
    Entry& e = *it->second;
    e.index = -1;
    return e;
  }
  // New parts go after the last entry of the same folder, so that the archive still reads
  // folder by folder; a new folder goes at the end.
  const std::string dir = lowerAscii(partDir(part));
  size_t pos = entries_.size();
  for (size_t i = entries_.size(); i-- > 0;) {
    if (lowerAscii(partDir(entries_[i]->name)) == dir) {
      pos = i + 1;
      break;
    }
  }
  auto entry = std::make_unique<Entry>();
  entry->name = part;
  Entry& ref = *entry;
  entries_.insert(entries_.begin() + static_cast<std::ptrdiff_t>(pos), std::move(entry));
  byName_.emplace(ref.name, &ref);
  for (auto& [stem, highest] : highestNumbers_)
    if (const std::optional<long> number = numberAfterStem(ref.name, stem))
      highest = std::max(highest, *number);
  return ref;
}

std::string Package::prologGap(std::string_view part) const {
  const Entry* e = find(part);
  return e && e->payload ? e->payload->gap : std::string();
}

void Package::addXml(const std::string& part, std::unique_ptr<pugi::xml_document> doc,
                     std::string gap) {
  forgetRelationships(part);
  Entry& e = insert(part);
  e.data().gap = std::move(gap);
  e.state = State::Xml;
  e.data().doc = std::move(doc);
  e.data().bytes.clear();
  e.data().produce = nullptr;
  e.dirty = true;
  modified_ = true;
}

void Package::addBytes(const std::string& part, std::string bytes) {
  forgetRelationships(part);
  Entry& e = insert(part);
  e.state = State::Bytes;
  e.data().doc.reset();
  e.data().produce = nullptr;
  e.data().bytes = std::move(bytes);
  e.dirty = true;
  modified_ = true;
}

void Package::addLazy(const std::string& part, std::function<std::string()> produce) {
  forgetRelationships(part);
  Entry& e = insert(part);
  e.state = State::Lazy;
  e.data().doc.reset();
  e.data().bytes.clear();
  e.data().produce = std::move(produce);
  e.dirty = true;
  modified_ = true;
}

bool Package::isLazy(std::string_view part) const {
  const Entry* e = find(part);
  return e && e->state == State::Lazy;
}

void Package::materializeLazy(std::string_view keep) {
  const std::string kept = lowerAscii(keep);
  for (auto& entry : entries_) {
    if (entry->state != State::Lazy || (!kept.empty() && lowerAscii(entry->name) == kept)) continue;
    keepFinished(*entry, entry->data().produce());
  }
}

void Package::keepFinished(Entry& e, std::string text) {
  if (spool_ < 0 && !spoolRefused_) {
    spool_ = openScratchFile(path_);
    spoolRefused_ = spool_ < 0;
  }
  if (spool_ >= 0 && text.size() < 0xFFFFFFFFu) {
    try {
      const std::string packed = zip::deflateRaw(text, static_cast<int>(kDeflateLevel));
      const std::int64_t done = writeFileAt(spool_, spoolEnd_, packed.data(), packed.size());
      if (done == static_cast<std::int64_t>(packed.size())) {
        e.spooled = std::make_unique<zip::PackedData>(zip::PackedData{
            spool_, spoolEnd_, packed.size(), text.size(), zip::crcOf(text), {}});
        spoolEnd_ += packed.size();
        // Nothing else is held: the gap after the declaration is in the text, and parsing the
        // part again finds it.
        e.payload.reset();
        e.state = State::Spooled;
        return;
      }
    } catch (const std::bad_alloc&) {
      // Kept as text below, as it would be without a scratch file.
    }
  }
  // A full disk or a folder without room for a scratch file: the part waits in memory.
  e.data().doc.reset();
  e.data().produce = nullptr;
  e.data().bytes = std::move(text);
  e.state = State::Bytes;
}

std::string Package::unspool(const Entry& e) const {
  const zip::PackedData& where = *e.spooled;
  std::string packed(static_cast<size_t>(where.size), '\0');
  const std::int64_t got = readFileAt(spool_, where.offset, packed.data(), packed.size());
  if (got != static_cast<std::int64_t>(packed.size()))
    throw ServerError("Cannot save '" + display_ + "': a copied part could not be read back (" +
                      describeSystemError(got < 0 ? errno : EIO) + ")");
  std::optional<std::string> plain;
  try {
    plain = zip::inflateRaw(packed, where.plainSize);
  } catch (const std::bad_alloc&) {
    throw ServerError("Cannot save '" + display_ + "': " + outOfMemoryReason("save"));
  }
  if (!plain)
    throw ServerError("Cannot save '" + display_ +
                      "': a copied part was damaged in its temporary file. Repeat the change.");
  return std::move(*plain);
}

void Package::freeze(std::string_view part) {
  forgetRelationships(part);
  Entry* e = find(part);
  if (!e || !e->dirty) return;
  if (e->state == State::Xml) keepFinished(*e, serialize(*e->data().doc, e->data().gap));
  // A part copied as it is goes to the scratch file too, instead of waiting in memory.
  if (e->state == State::Bytes) keepFinished(*e, std::move(e->data().bytes));
}

void Package::release(std::string_view part) {
  forgetRelationships(part);
  Entry* e = find(part);
  if (!e || e->dirty || e->index < 0 || e->state == State::Raw) return;
  e->data().doc.reset();
  std::string().swap(e->data().bytes);
  e->state = State::Raw;
}

void Package::remove(std::string_view part) {
  forgetRelationships(part);
  memos_.erase(lowerAscii(part));
  Entry* e = find(part);
  if (!e) return;
  e->state = State::Removed;
  e->data().doc.reset();
  e->data().bytes.clear();
  e->data().produce = nullptr;
  modified_ = true;
}

std::string Package::freshPartName(std::string_view dir, std::string_view stem,
                                   std::string_view ext, int minNumber) const {
  const std::string key = lowerAscii(std::string(dir) + std::string(stem)) + '\n' + lowerAscii(ext);
  auto [at, added] = highestNumbers_.try_emplace(key, -1);
  if (added) {
    for (const auto& [name, entry] : byName_)
      if (const std::optional<long> number = numberAfterStem(name, key))
        at->second = std::max(at->second, *number);
  }
  const long highest = std::max<long>(at->second, minNumber - 1);
  return std::string(dir) + std::string(stem) + std::to_string(highest + 1) + std::string(ext);
}

Relationships Package::relationships(std::string_view part) {
  std::string rels = relsPartOf(part);
  if (!has(rels)) return {};
  std::string key = lowerAscii(rels);
  if (auto kept = relsMemo_.find(key); kept != relsMemo_.end()) return kept->second;
  pugi::xml_node root = parsed(rels).document_element();
  // An earlier instance may have left them with the part.
  if (auto kept = relsMemo_.find(key); kept != relsMemo_.end()) return kept->second;
  Relationships read(root);
  relsMemo_.emplace(std::move(key), read);
  return read;
}

std::string Package::addRelationship(std::string_view relsPart, std::string_view type,
                                     std::string_view target) {
  pugi::xml_node root = parsed(relsPart).document_element();
  const std::string id = ooxml::addRelationship(root, type, target);
  const std::string key = lowerAscii(relsPart);
  std::optional<Relationships> kept;
  if (auto it = relsMemo_.find(key); it != relsMemo_.end()) kept = std::move(it->second);
  markDirty(relsPart);
  if (kept) {
    kept->append(root.last_child());
    relsMemo_.insert_or_assign(key, std::move(*kept));
  }
  return id;
}

void Package::indexContentTypes() {
  if (typesIndexed_) return;
  pugi::xml_node types = xml(kContentTypes).document_element();
  if (typesIndexed_) return;  // the tree came indexed from an earlier instance
  for (pugi::xml_node o : types.children()) {
    const std::string_view kind = localName(o.name());
    if (kind == "Default") {
      defaults_.emplace(lowerAscii(o.attribute("Extension").value()), o);
      continue;
    }
    if (kind != "Override") continue;
    std::string_view name = o.attribute("PartName").value();
    if (name.starts_with("/")) name.remove_prefix(1);
    overrides_.emplace(name, o);
    lastOverride_ = o;
  }
  typesIndexed_ = true;
}

std::string Package::contentTypeOf(std::string_view part) {
  indexContentTypes();
  if (auto it = overrides_.find(part); it != overrides_.end())
    return it->second.attribute("ContentType").value();
  std::string base = partBase(part);
  auto dot = base.rfind('.');
  if (dot == std::string::npos) return {};
  const auto found = defaults_.find(lowerAscii(std::string_view(base).substr(dot + 1)));
  return found == defaults_.end() ? std::string() : found->second.attribute("ContentType").value();
}

void Package::setOverride(std::string_view part, std::string_view type) {
  indexContentTypes();
  if (auto it = overrides_.find(part); it != overrides_.end()) {
    it->second.attribute("ContentType").set_value(std::string(type).c_str());
    markDirty(kContentTypes);
    return;
  }
  pugi::xml_node types = xml(kContentTypes).document_element();
  std::string qname = "Override";
  std::string_view root = types.name();
  if (auto colon = root.find(':'); colon != std::string_view::npos)
    qname = std::string(root.substr(0, colon + 1)) + qname;
  pugi::xml_node o = lastOverride_ ? types.insert_child_after(qname.c_str(), lastOverride_)
                                   : types.append_child(qname.c_str());
  o.append_attribute("PartName").set_value(("/" + std::string(part)).c_str());
  o.append_attribute("ContentType").set_value(std::string(type).c_str());
  overrides_.emplace(std::string_view(o.attribute("PartName").value() + 1), o);
  lastOverride_ = o;
  markDirty(kContentTypes);
}

void Package::coverPart(std::string_view part, std::string_view type) {
  if (type.empty() || contentTypeOf(part) == type) return;
  setOverride(part, type);
}

void Package::removeOverride(std::string_view part) {
  indexContentTypes();
  auto it = overrides_.find(part);
  if (it == overrides_.end()) return;
  pugi::xml_node o = it->second;
  overrides_.erase(it);
  if (o == lastOverride_) {
    lastOverride_ = o.previous_sibling();
    while (lastOverride_ && localName(lastOverride_.name()) != "Override")
      lastOverride_ = lastOverride_.previous_sibling();
  }
  o.parent().remove_child(o);
  markDirty(kContentTypes);
}

std::string Package::serialize(const pugi::xml_document& doc, std::string_view gap,
                               size_t expected) {
  constexpr unsigned kFormat = pugi::format_raw | pugi::format_no_declaration;
  StringWriter writer;
  writer.out.reserve(expected + expected / 16 + 4096 + gap.size());
  doc.save(writer, "", kFormat, pugi::encoding_utf8);
  if (writer.overflow > 0) {
    // Outgrown (the part grew since its size was last known): written again into room of the
    // size it turned out to have, which holds the text once.
    const size_t size = writer.out.size() + writer.overflow;
    std::string().swap(writer.out);
    writer.overflow = 0;
    writer.out.reserve(size + gap.size());
    doc.save(writer, "", kFormat, pugi::encoding_utf8);
  }
  std::string text = std::move(writer.out);
  if (!gap.empty() && text.starts_with("<?xml")) {
    size_t end = text.find("?>");
    if (end != std::string::npos) text.insert(end + 2, gap);
  }
  return text;
}

std::vector<Package::Entry*> Package::saveOrder() const {
  // Untouched entries as they lie, then new ones, then edited ones: the parts that change at
  // every save (the workbook part, its relationships, the content types, the document
  // properties) end the file, and what the previous save wrote before them stays where it was.
  std::vector<Entry*> order;
  order.reserve(entries_.size());
  auto untouched = [](const Entry& e) {
    return e.state == State::Raw || (!e.dirty && e.index >= 0);
  };
  for (const auto& e : entries_)
    if (e->state != State::Removed && untouched(*e)) order.push_back(e.get());
  for (const auto& e : entries_)
    if (e->state != State::Removed && !untouched(*e) && e->index < 0) order.push_back(e.get());
  for (const auto& e : entries_)
    if (e->state != State::Removed && !untouched(*e) && e->index >= 0) order.push_back(e.get());
  return order;
}

std::vector<zip::OutEntry> Package::outEntries(const std::vector<Entry*>& order) {
  const auto untouched = [](const Entry& e) {
    return e.state == State::Raw || (!e.dirty && e.index >= 0);
  };
  // An untouched entry that follows the one before it in the original joins its run.
  const auto continues = [&](size_t k) {
    return k > 0 && untouched(*order[k]) && untouched(*order[k - 1]) &&
           order[k]->index == order[k - 1]->index + 1;
  };
  size_t count = 0;
  for (size_t k = 0; k < order.size(); ++k) count += continues(k) ? 0 : 1;
  std::vector<zip::OutEntry> out;
  out.reserve(count);
  for (size_t k = 0; k < order.size(); ++k) {
    Entry& e = *order[k];
    if (continues(k)) {
      ++out.back().run;
      continue;
    }
    zip::OutEntry o;
    o.name = e.name;
    if (untouched(e)) {
      o.original = static_cast<zip_uint64_t>(e.index);
    } else if (e.state == State::Bytes) {
      o.data = e.data().bytes;
    } else if (e.state == State::Lazy) {
      o.produce = e.data().produce;
    } else if (e.state == State::Spooled) {
      o.packed = e.spooled.get();
      o.produce = [this, &e] { return unspool(e); };
    } else {
      o.produce = [&e] {
        std::string text = serialize(*e.data().doc, e.data().gap, e.weight);
        e.weight = text.size();
        return text;
      };
      // A part of the file saved again (the workbook part, the content types) mostly repeats
      // what the last save wrote of it.
      if (e.index >= 0) {
        if (!e.data().trail) e.data().trail = std::make_unique<zip::DeflateTrail>();
        o.trail = e.data().trail.get();
      }
    }
    out.push_back(std::move(o));
  }
  return out;
}

void Package::writeTo(int fd) {
  // A layout this process wrote is all the raw writer needs of the original.
  zip::ArchiveTarget target{fd,       layout_ ? zip_ : archive(),
                            path_,    identity_,
                            display_, static_cast<int>(kDeflateLevel),
                            layout_};
  const std::vector<zip::OutEntry> entries = outEntries(saveOrder());
  auto written = std::make_shared<zip::Layout>();
  lastSaveRaw_ = rawSave_ && zip::writeByRawCopy(target, entries, written.get());
  savedLayout_ = lastSaveRaw_ ? std::move(written) : nullptr;
  // Otherwise libzip writes through the descriptor, from the start (the raw writer may have
  // begun).
  if (!lastSaveRaw_) {
    target.original = archive();
    zip::writeThroughLibzip(target, entries);
  }
}

ServerError Package::changedDuringSave() const {
  return ServerError("Cannot save '" + display_ +
                     "': the file was changed by another program while it was being saved. Open "
                     "it again and repeat the change.");
}

void Package::save() {
  if (!modified_) return;
  FileIdentity now = fileIdentity(path_, display_);
  if (!(now == identity_)) {
    throw ServerError("Cannot save '" + display_ +
                      "': the file was changed by another program after it was opened. Open it "
                      "again and repeat the change.");
  }
  std::optional<FileIdentity> savedAs;
  const std::vector<Entry*> order = saveOrder();
  replaceFileDurably(path_, [this, &savedAs](int fd) {
    writeTo(fd);
    // Writing takes a while: another program's save in the meantime would be overwritten, so
    // the file is looked at again right before it is replaced.
    if (!(fileIdentity(path_, display_) == identity_)) throw changedDuringSave();
    // The original is let go of before it is replaced, since Windows replaces no file that is
    // open. Should the replacement fail, it is opened again when a part is read.
    if (zip_) zip_discard(zip_);
    zip_ = nullptr;
    savedAs = descriptorIdentity(fd);
  });

  // From here on the package reads from the file just written, which is opened when a part is
  // read again: a run that quits after saving never opens it.
  if (zip_) zip_discard(zip_);
  zip_ = nullptr;
  identity_ = fileIdentity(path_, display_);
  // The identity recorded here is what later saves and reopens compare with: it must be the
  // file we wrote, not one another program put in its place just after the rename.
  // Another program writing over the renamed file keeps its inode: size and time tell.
  if (savedAs && (savedAs->device != identity_.device || savedAs->inode != identity_.inode ||
                  savedAs->size != identity_.size || savedAs->mtimeNs != identity_.mtimeNs)) {
    shareable_ = false;
    throw changedDuringSave();
  }
  adoptWrittenEntries(order);
  layout_ = std::move(savedLayout_);
}

void Package::adoptWrittenEntries(const std::vector<Entry*>& order) {
  // The entries take the order and indexes they were written with; `order` holds every entry
  // but the removed ones.
  for (auto& entry : entries_) {
    if (entry->state == State::Removed) {
      highestNumbers_.clear();  // the largest number may have gone with the name
      byName_.erase(entry->name);
      entry.reset();
    } else {
      (void)entry.release();  // owned again below, through `order`
    }
  }
  entries_.clear();
  zip_int64_t written = 0;
  for (Entry* e : order) {
    e->index = written++;
    e->dirty = false;
    if (e->payload) e->payload->produce = nullptr;
    if (e->state == State::Bytes || e->state == State::Lazy || e->state == State::Spooled) {
      e->state = State::Raw;
      e->spooled.reset();
      if (e->payload) {
        std::string().swap(e->payload->bytes);
        if (!e->payload->doc && e->payload->gap.empty()) e->payload.reset();
      }
    }
    entries_.emplace_back(e);
  }
  modified_ = false;
  // Every part that waited in the scratch file is in the workbook now.
  if (spool_ >= 0 && ::ftruncate(spool_, 0) == 0) spoolEnd_ = 0;
}

}  // namespace orv::ooxml
