#include "server/ooxml/package.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <deque>
#include <optional>
#include <sstream>
#include <system_error>

#include "server/memory_budget.h"
#include "server/ooxml/zip_raw.h"
#include "server/server_error.h"

namespace orv::ooxml {

namespace {

// A part larger than this is not a part of a workbook we can hold; saying so beats running out
// of memory on a forged size.
constexpr zip_uint64_t kMaxPartSize = zip_uint64_t{1} << 31;
// Edited parts are compressed at zlib's fastest level: saving costs what writing costs, and the
// file is only a few per cent larger than at the usual level.
constexpr zip_uint32_t kDeflateLevel = 1;

constexpr std::string_view kContentTypes = "[Content_Types].xml";

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
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

struct StringWriter : pugi::xml_writer {
  std::string out;
  void write(const void* data, size_t size) override {
    out.append(static_cast<const char*>(data), size);
  }
};

std::string zipMessage(zip_error_t* error) {
  int sys = zip_error_code_system(error);
  if (zip_error_system_type(error) == ZIP_ET_SYS && sys != 0) return describeSystemError(sys);
  std::string text = zip_error_strerror(error);
  if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text + ".";
}

// A ZIP source whose data is made when libzip opens it and dropped when libzip closes it, so that
// saving many copied sheets holds one of them at a time.
struct LazyData {
  std::function<std::string()> produce;
  std::string data;
  size_t offset = 0;
  zip_error_t error;
};

zip_int64_t lazyCallback(void* state, void* buffer, zip_uint64_t length, zip_source_cmd_t command) {
  auto* lazy = static_cast<LazyData*>(state);
  switch (command) {
    case ZIP_SOURCE_OPEN:
      try {
        lazy->data = lazy->produce();
      } catch (const std::exception&) {
        zip_error_set(&lazy->error, ZIP_ER_INTERNAL, 0);
        return -1;
      }
      lazy->offset = 0;
      return 0;
    case ZIP_SOURCE_READ: {
      const size_t n = std::min<size_t>(length, lazy->data.size() - lazy->offset);
      std::memcpy(buffer, lazy->data.data() + lazy->offset, n);
      lazy->offset += n;
      return static_cast<zip_int64_t>(n);
    }
    case ZIP_SOURCE_CLOSE:
      std::string().swap(lazy->data);
      return 0;
    case ZIP_SOURCE_STAT: {
      auto* st = static_cast<zip_stat_t*>(buffer);
      zip_stat_init(st);
      return sizeof(zip_stat_t);
    }
    case ZIP_SOURCE_ERROR:
      return zip_error_to_data(&lazy->error, buffer, length);
    case ZIP_SOURCE_FREE:
      zip_error_fini(&lazy->error);
      delete lazy;
      return 0;
    case ZIP_SOURCE_SUPPORTS:
      return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE,
                                            ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
    default:
      zip_error_set(&lazy->error, ZIP_ER_OPNOTSUPP, 0);
      return -1;
  }
}

zip_source_t* lazySource(zip_t* archive, const std::function<std::string()>& produce) {
  auto* lazy = new LazyData{produce, {}, 0, {}};
  zip_error_init(&lazy->error);
  zip_source_t* source = zip_source_function(archive, lazyCallback, lazy);
  if (!source) {
    zip_error_fini(&lazy->error);
    delete lazy;
  }
  return source;
}

// Where libzip writes an archive: the descriptor of the file being saved, which it never opens
// by name. The descriptor's first write error is kept for the message.
struct FdSink {
  int fd;
  int errorNumber = 0;
  zip_error_t error;
};

zip_int64_t sinkFailed(FdSink* sink, int libzipError, int errorNumber) {
  if (sink->errorNumber == 0) sink->errorNumber = errorNumber;
  zip_error_set(&sink->error, libzipError, errorNumber);
  return -1;
}

zip_int64_t sinkCallback(void* state, void* data, zip_uint64_t length, zip_source_cmd_t command) {
  auto* sink = static_cast<FdSink*>(state);
  switch (command) {
    case ZIP_SOURCE_STAT:
      // Nothing to read: libzip starts a new archive.
      zip_error_set(&sink->error, ZIP_ER_READ, ENOENT);
      return -1;
    case ZIP_SOURCE_BEGIN_WRITE:
    case ZIP_SOURCE_REMOVE:
      if (::ftruncate(sink->fd, 0) != 0 || ::lseek(sink->fd, 0, SEEK_SET) != 0)
        return sinkFailed(sink, ZIP_ER_WRITE, errno);
      return 0;
    case ZIP_SOURCE_WRITE: {
      const auto* p = static_cast<const char*>(data);
      zip_uint64_t left = length;
      while (left > 0) {
        const ssize_t done = ::write(sink->fd, p, static_cast<size_t>(left));
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return sinkFailed(sink, ZIP_ER_WRITE, done < 0 ? errno : EIO);
        p += done;
        left -= static_cast<zip_uint64_t>(done);
      }
      return static_cast<zip_int64_t>(length);
    }
    case ZIP_SOURCE_SEEK_WRITE: {
      auto* args = ZIP_SOURCE_GET_ARGS(zip_source_args_seek_t, data, length, &sink->error);
      if (!args) return -1;
      if (::lseek(sink->fd, static_cast<off_t>(args->offset), args->whence) < 0)
        return sinkFailed(sink, ZIP_ER_SEEK, errno);
      return 0;
    }
    case ZIP_SOURCE_TELL_WRITE: {
      const off_t at = ::lseek(sink->fd, 0, SEEK_CUR);
      if (at < 0) return sinkFailed(sink, ZIP_ER_TELL, errno);
      return static_cast<zip_int64_t>(at);
    }
    case ZIP_SOURCE_COMMIT_WRITE:
    case ZIP_SOURCE_ROLLBACK_WRITE:
      // Flushing, renaming and removing are the saver's.
      return 0;
    case ZIP_SOURCE_ERROR:
      return zip_error_to_data(&sink->error, data, length);
    case ZIP_SOURCE_FREE:
      return 0;
    case ZIP_SOURCE_SUPPORTS:
      return ZIP_SOURCE_SUPPORTS_WRITABLE;
    default:
      return sinkFailed(sink, ZIP_ER_OPNOTSUPP, 0);
  }
}

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
  std::string declaration;
  if (colon == std::string_view::npos) {
    if (isAttribute) return {};
    declaration = "xmlns";
  } else {
    std::string_view prefix = name.substr(0, colon);
    if (prefix == "xml") return "http://www.w3.org/XML/1998/namespace";
    declaration = "xmlns:" + std::string(prefix);
  }
  for (pugi::xml_node n = node; n && n.type() == pugi::node_element; n = n.parent()) {
    if (pugi::xml_attribute a = n.attribute(declaration.c_str())) return a.value();
  }
  return {};
}

Package::Package(std::string path) : path_(std::move(path)), display_(orv::displayName(path_)) {
  identity_ = fileIdentity(path_, display_);
  openArchive();
  indexEntries();
}

Package::Package(std::string path, OpenedArchive opened)
    : path_(std::move(path)), display_(orv::displayName(path_)) {
  identity_ = opened.identity;
  zip_ = std::exchange(opened.zip, nullptr);
  indexEntries();
  if (Entry* types = find(kContentTypes); types && !opened.contentTypes.empty()) {
    types->bytes = std::move(opened.contentTypes);
    types->state = State::Bytes;  // not dirty: saved from the file as it lies
  }
}

void Package::indexEntries() {
  entries_.reserve(static_cast<size_t>(zip_get_num_entries(zip_, 0)));
  const zip_int64_t n = zip_get_num_entries(zip_, 0);
  for (zip_int64_t i = 0; i < n; ++i) {
    const char* name = zip_get_name(zip_, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW);
    if (!name) continue;
    std::string key = lowerAscii(name);
    if (byName_.count(key)) {
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
    byName_[key] = entry.get();
    entries_.push_back(std::move(entry));
  }
}

Package::~Package() {
  if (zip_) zip_discard(zip_);
}

void Package::openArchive() {
  int error = 0;
  zip_ = zip_open(path_.c_str(), ZIP_RDONLY, &error);
  if (!zip_) {
    zip_error_t ze;
    zip_error_init_with_code(&ze, error);
    std::string why = (error == ZIP_ER_NOZIP || error == ZIP_ER_INCONS)
                          ? "the file is damaged (its ZIP structure cannot be read)."
                          : zipMessage(&ze);
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
  auto it = byName_.find(lowerAscii(part));
  if (it == byName_.end() || it->second->state == State::Removed) return nullptr;
  return it->second;
}

const Package::Entry* Package::find(std::string_view part) const {
  auto it = byName_.find(lowerAscii(part));
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

std::string Package::readPrefix(std::string_view part, size_t limit) {
  Entry* e = find(part);
  if (!e) damaged(part, "the part is missing");
  if (e->state == State::Bytes) return e->bytes.substr(0, limit);
  if (e->state == State::Xml) return serialize(*e->doc, e->gap).substr(0, limit);
  if (e->state == State::Lazy) return e->produce().substr(0, limit);
  zip_t* zip = archive();
  // A whole part is held, parsed and written back: what that costs is weighed against the memory
  // at hand before it is inflated (by the size the archive gives) and while it is (by the
  // elements it holds), so that a small file that inflates to gigabytes is refused early.
  const bool whole = limit == SIZE_MAX;
  std::optional<zip_uint64_t> declared;
  zip_stat_t st;
  zip_stat_init(&st);
  if (zip_stat_index(zip, static_cast<zip_uint64_t>(e->index), 0, &st) == 0 &&
      (st.valid & ZIP_STAT_SIZE))
    declared = st.size;
  const std::uint64_t budget = whole ? memoryBudget() : UINT64_MAX;
  if (declared && xmlPartCost(*declared, 0, 0) > budget)
    throw ServerError("Cannot open '" + display_ +
                      "': " + tooLargeReason(xmlPartCost(*declared, 0, 0)));
  zip_file_t* file = zip_fopen_index(zip, static_cast<zip_uint64_t>(e->index), 0);
  if (!file) damaged(part, zip_error_strerror(zip_get_error(zip)));
  std::string data;
  char buffer[65536];
  std::uint64_t elements = 0, attributes = 0;
  try {
    while (data.size() < limit) {
      // A short look (a sheet's root element) inflates no more than it returns.
      zip_int64_t got = zip_fread(file, buffer, std::min(sizeof buffer, limit - data.size()));
      if (got < 0) {
        std::string why = zip_error_strerror(zip_file_get_error(file));
        zip_fclose(file);
        damaged(part, why);
      }
      if (got == 0) break;
      const std::string_view chunk(buffer, static_cast<size_t>(got));
      data.append(chunk);
      if ((declared && data.size() > *declared) || data.size() > kMaxPartSize) {
        zip_fclose(file);
        damaged(part, declared && data.size() > *declared
                          ? "the part is larger than the archive's directory says"
                          : "the part is too large");
      }
      if (!whole) continue;
      for (size_t at = chunk.find('<'); at != std::string_view::npos; at = chunk.find('<', at + 1))
        if (at + 1 >= chunk.size() || chunk[at + 1] != '/') ++elements;
      attributes += static_cast<std::uint64_t>(std::count(chunk.begin(), chunk.end(), '='));
      if (const std::uint64_t cost = xmlPartCost(data.size(), elements, attributes);
          cost > budget) {
        zip_fclose(file);
        // The whole part costs about what its start does, in proportion.
        const double scale =
            declared ? static_cast<double>(*declared) / static_cast<double>(data.size()) : 1.0;
        throw ServerError("Cannot open '" + display_ + "': " +
                          tooLargeReason(static_cast<std::uint64_t>(static_cast<double>(cost) *
                                                                    std::max(1.0, scale))));
      }
    }
  } catch (const std::bad_alloc&) {
    zip_fclose(file);
    throw ServerError("Cannot open '" + display_ + "': " + outOfMemoryReason());
  }
  zip_fclose(file);
  if (whole && declared && data.size() != *declared)
    damaged(part, "the part is smaller than the archive's directory says");
  if (data.size() > limit) data.resize(limit);
  return data;
}

std::string Package::read(std::string_view part) { return readPrefix(part, SIZE_MAX); }

pugi::xml_document& Package::xml(std::string_view part) {
  Entry* e = find(part);
  if (!e) damaged(part, "the part is missing");
  if (e->state == State::Xml) return *e->doc;
  std::string text = e->state == State::Bytes  ? std::move(e->bytes)
                     : e->state == State::Lazy ? e->produce()
                                               : read(part);
  auto doc = std::make_unique<pugi::xml_document>();
  pugi::xml_parse_result result;
  try {
    result = doc->load_buffer(text.data(), text.size(), kParseOptions);
  } catch (const std::bad_alloc&) {
    result.status = pugi::status_out_of_memory;
  }
  if (result.status == pugi::status_out_of_memory) {
    if (e->state == State::Bytes) e->bytes = std::move(text);
    throw ServerError("Cannot open '" + display_ + "': " + outOfMemoryReason());
  }
  if (!result) {
    if (e->state == State::Bytes) e->bytes = std::move(text);
    damaged(part, std::string("malformed XML at byte ") + std::to_string(result.offset) + ": " +
                      result.description());
  }
  // The parser drops the line break between the declaration and the root; it is written back.
  e->gap.clear();
  if (text.starts_with("<?xml")) {
    size_t end = text.find("?>");
    if (end != std::string::npos) {
      size_t root = text.find('<', end);
      if (root != std::string::npos && text.find_first_not_of(" \t\r\n", end + 2) == root)
        e->gap = text.substr(end + 2, root - end - 2);
    }
  }
  e->bytes.clear();
  e->produce = nullptr;
  e->doc = std::move(doc);
  e->state = State::Xml;
  return *e->doc;
}

void Package::markDirty(std::string_view part) {
  Entry* e = find(part);
  if (!e) return;
  e->dirty = true;
  modified_ = true;
}

Package::Entry& Package::insert(const std::string& part) {
  std::string key = lowerAscii(part);
  auto it = byName_.find(key);
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
  byName_[key] = &ref;
  return ref;
}

std::string Package::prologGap(std::string_view part) const {
  const Entry* e = find(part);
  return e ? e->gap : std::string();
}

void Package::addXml(const std::string& part, std::unique_ptr<pugi::xml_document> doc,
                     std::string gap) {
  Entry& e = insert(part);
  e.gap = std::move(gap);
  e.state = State::Xml;
  e.doc = std::move(doc);
  e.bytes.clear();
  e.produce = nullptr;
  e.dirty = true;
  modified_ = true;
}

void Package::addBytes(const std::string& part, std::string bytes) {
  Entry& e = insert(part);
  e.state = State::Bytes;
  e.doc.reset();
  e.produce = nullptr;
  e.bytes = std::move(bytes);
  e.dirty = true;
  modified_ = true;
}

void Package::addLazy(const std::string& part, std::function<std::string()> produce) {
  Entry& e = insert(part);
  e.state = State::Lazy;
  e.doc.reset();
  e.bytes.clear();
  e.produce = std::move(produce);
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
    entry->bytes = entry->produce();
    entry->produce = nullptr;
    entry->state = State::Bytes;
  }
}

void Package::freeze(std::string_view part) {
  Entry* e = find(part);
  if (!e || e->state != State::Xml || !e->dirty) return;
  e->bytes = serialize(*e->doc, e->gap);
  e->doc.reset();
  e->state = State::Bytes;
}

void Package::release(std::string_view part) {
  Entry* e = find(part);
  if (!e || e->dirty || e->index < 0 || e->state == State::Raw) return;
  e->doc.reset();
  std::string().swap(e->bytes);
  e->state = State::Raw;
}

void Package::remove(std::string_view part) {
  Entry* e = find(part);
  if (!e) return;
  e->state = State::Removed;
  e->doc.reset();
  e->bytes.clear();
  e->produce = nullptr;
  modified_ = true;
}

std::string Package::freshPartName(std::string_view dir, std::string_view stem,
                                   std::string_view ext, int minNumber) const {
  const std::string prefix = lowerAscii(std::string(dir) + std::string(stem));
  const std::string suffix = lowerAscii(ext);
  long highest = minNumber - 1;
  for (const auto& [key, entry] : byName_) {
    if (key.size() <= prefix.size() + suffix.size()) continue;
    if (key.compare(0, prefix.size(), prefix) != 0) continue;
    if (key.compare(key.size() - suffix.size(), suffix.size(), suffix) != 0) continue;
    std::string_view digits(key.data() + prefix.size(), key.size() - prefix.size() - suffix.size());
    if (digits.size() > 9 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
      continue;
    long number = 0;
    std::from_chars(digits.data(), digits.data() + digits.size(), number);  // nine digits at most
    highest = std::max(highest, number);
  }
  return std::string(dir) + std::string(stem) + std::to_string(highest + 1) + std::string(ext);
}

std::vector<Relationship> Package::relationships(std::string_view part) {
  std::vector<Relationship> result;
  std::string rels = relsPartOf(part);
  if (!has(rels)) return result;
  for (pugi::xml_node r : xml(rels).document_element().children()) {
    if (localName(r.name()) != "Relationship") continue;
    Relationship rel;
    rel.id = r.attribute("Id").value();
    rel.type = r.attribute("Type").value();
    rel.target = r.attribute("Target").value();
    rel.external = equalsIgnoreCase(r.attribute("TargetMode").value(), "External");
    result.push_back(std::move(rel));
  }
  return result;
}

void Package::indexContentTypes() {
  if (typesIndexed_) return;
  pugi::xml_node types = xml(kContentTypes).document_element();
  for (pugi::xml_node o : types.children()) {
    if (localName(o.name()) != "Override") continue;
    std::string_view name = o.attribute("PartName").value();
    if (name.starts_with("/")) name.remove_prefix(1);
    overrides_.emplace(lowerAscii(name), o);
    lastOverride_ = o;
  }
  typesIndexed_ = true;
}

std::string Package::contentTypeOf(std::string_view part) {
  indexContentTypes();
  if (auto it = overrides_.find(lowerAscii(part)); it != overrides_.end())
    return it->second.attribute("ContentType").value();
  std::string base = partBase(part);
  auto dot = base.rfind('.');
  if (dot == std::string::npos) return {};
  std::string_view ext = std::string_view(base).substr(dot + 1);
  for (pugi::xml_node d : xml(kContentTypes).document_element().children()) {
    if (localName(d.name()) == "Default" && equalsIgnoreCase(d.attribute("Extension").value(), ext))
      return d.attribute("ContentType").value();
  }
  return {};
}

void Package::setOverride(std::string_view part, std::string_view type) {
  indexContentTypes();
  const std::string key = lowerAscii(part);
  if (auto it = overrides_.find(key); it != overrides_.end()) {
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
  overrides_.emplace(key, o);
  lastOverride_ = o;
  markDirty(kContentTypes);
}

void Package::coverPart(std::string_view part, std::string_view type) {
  if (type.empty() || contentTypeOf(part) == type) return;
  setOverride(part, type);
}

void Package::removeOverride(std::string_view part) {
  indexContentTypes();
  auto it = overrides_.find(lowerAscii(part));
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

std::string Package::serialize(const pugi::xml_document& doc, std::string_view gap) {
  StringWriter writer;
  doc.save(writer, "", pugi::format_raw | pugi::format_no_declaration, pugi::encoding_utf8);
  if (!gap.empty() && writer.out.starts_with("<?xml")) {
    size_t end = writer.out.find("?>");
    if (end != std::string::npos) writer.out.insert(end + 2, gap);
  }
  return std::move(writer.out);
}

bool Package::writeRaw(int out) {
  if (!rawSave_) return false;
  FileHandle in = FileHandle::openForReading(path_);
  if (!in.valid()) return false;
  const std::optional<FileIdentity> opened = in.identity();
  if (!opened || opened->inode != identity_.inode || opened->device != identity_.device ||
      opened->size != identity_.size)
    return false;
  std::optional<zipraw::Layout> layout = zipraw::readLayout(in, opened->size);
  if (!layout) return false;
  // The layout must describe the archive libzip opened, entry for entry, since the entries
  // refer to it by index.
  zip_t* zip = archive();
  if (static_cast<zip_int64_t>(layout->entries.size()) != zip_get_num_entries(zip, 0)) return false;
  for (size_t i = 0; i < layout->entries.size(); ++i) {
    const char* name = zip_get_name(zip, i, ZIP_FL_ENC_RAW);
    if (!name || layout->entries[i].name != name) return false;
  }

  try {
    zipraw::Writer writer(in, out, kDeflateLevel);
    // Consecutive untouched entries are one range of the original file.
    size_t runFirst = 0, runEnd = 0;
    auto flush = [&] {
      if (runEnd > runFirst) writer.copyRun(*layout, runFirst, runEnd);
      runFirst = runEnd = 0;
    };
    for (const auto& entry : entries_) {
      const Entry& e = *entry;
      if (e.state == State::Removed) {
        flush();
        continue;
      }
      if (e.state == State::Raw || (!e.dirty && e.index >= 0)) {
        const auto index = static_cast<size_t>(e.index);
        if (runEnd == runFirst || index != runEnd) {
          flush();
          runFirst = index;
        }
        runEnd = index + 1;
        continue;
      }
      flush();
      if (e.state == State::Bytes) {
        writer.add(e.name, e.bytes);
      } else if (e.state == State::Lazy) {
        writer.add(e.name, e.produce());
      } else {
        writer.add(e.name, serialize(*e.doc, e.gap));
      }
    }
    flush();
    writer.finish(layout->comment);
  } catch (const zipraw::Writer::Unsupported&) {
    return false;
  } catch (const std::system_error& error) {
    throw ServerError("Cannot save '" + display_ +
                      "': " + describeSystemError(error.code().value()));
  }
  return true;
}

void Package::writeTo(int fd) {
  lastSaveRaw_ = writeRaw(fd);
  if (lastSaveRaw_) return;
  // libzip writes through the descriptor too, from the start (the raw writer may have begun).
  zip_t* const original = archive();
  FdSink sink{fd, 0, {}};
  zip_error_init(&sink.error);
  struct SinkError {
    zip_error_t* error;
    ~SinkError() { zip_error_fini(error); }
  } sinkError{&sink.error};
  zip_t* out = nullptr;
  auto fail = [&](const std::string& why) {
    if (out) zip_discard(out);
    throw ServerError("Cannot save '" + display_ + "': " +
                      (sink.errorNumber != 0 ? describeSystemError(sink.errorNumber) : why));
  };
  zip_error_t openError;
  zip_error_init(&openError);
  zip_source_t* target = zip_source_function_create(sinkCallback, &sink, &openError);
  if (target) {
    out = zip_open_from_source(target, ZIP_CREATE | ZIP_TRUNCATE, &openError);
    if (!out) zip_source_free(target);
  }
  if (!out) {
    std::string why = zipMessage(&openError);
    zip_error_fini(&openError);
    fail(why);
  }
  zip_error_fini(&openError);
  // Serialised parts must outlive zip_close, which reads them.
  std::deque<std::string> texts;
  for (const auto& entry : entries_) {
    const Entry& e = *entry;
    if (e.state == State::Removed) continue;
    zip_source_t* source = nullptr;
    zip_stat_t st;
    zip_stat_init(&st);
    const bool raw = e.state == State::Raw || (!e.dirty && e.index >= 0);
    if (raw) {
      if (zip_stat_index(original, static_cast<zip_uint64_t>(e.index), 0, &st) != 0)
        fail(zipMessage(zip_get_error(original)));
      source = zip_source_zip(out, original, static_cast<zip_uint64_t>(e.index), ZIP_FL_COMPRESSED,
                              0, -1);
    } else if (e.state == State::Bytes) {
      source = zip_source_buffer(out, e.bytes.data(), e.bytes.size(), 0);
    } else if (e.state == State::Lazy) {
      source = lazySource(out, e.produce);
    } else {
      texts.push_back(serialize(*e.doc, e.gap));
      source = zip_source_buffer(out, texts.back().data(), texts.back().size(), 0);
    }
    if (!source) fail(zipMessage(zip_get_error(out)));
    zip_int64_t index = zip_file_add(out, e.name.c_str(), source, ZIP_FL_ENC_GUESS);
    if (index < 0) {
      zip_source_free(source);
      fail(zipMessage(zip_get_error(out)));
    }
    const auto at = static_cast<zip_uint64_t>(index);
    int rc = 0;
    if (raw) {
      // Same method as the source, so libzip copies the compressed bytes as they are.
      rc |= zip_set_file_compression(out, at, static_cast<zip_int32_t>(st.comp_method), 0);
      if (st.valid & ZIP_STAT_MTIME) rc |= zip_file_set_mtime(out, at, st.mtime, 0);
      zip_uint8_t opsys = 0;
      zip_uint32_t attributes = 0;
      if (zip_file_get_external_attributes(original, static_cast<zip_uint64_t>(e.index), 0, &opsys,
                                           &attributes) == 0)
        rc |= zip_file_set_external_attributes(out, at, 0, opsys, attributes);
    } else {
      rc |= zip_set_file_compression(out, at, ZIP_CM_DEFLATE, kDeflateLevel);
    }
    if (rc != 0) fail(zipMessage(zip_get_error(out)));
  }
  int commentLength = 0;
  if (const char* comment = zip_get_archive_comment(original, &commentLength, ZIP_FL_ENC_RAW);
      comment && commentLength > 0) {
    zip_set_archive_comment(out, comment, static_cast<zip_uint16_t>(commentLength));
  }
  if (zip_close(out) != 0) fail(zipMessage(zip_get_error(out)));
  out = nullptr;
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
                  savedAs->size != identity_.size || savedAs->mtimeNs != identity_.mtimeNs))
    throw changedDuringSave();
  zip_int64_t written = 0;
  std::vector<std::unique_ptr<Entry>> kept;
  kept.reserve(entries_.size());
  for (auto& entry : entries_) {
    if (entry->state == State::Removed) {
      byName_.erase(lowerAscii(entry->name));
      continue;
    }
    entry->index = written++;
    entry->dirty = false;
    entry->produce = nullptr;
    if (entry->state == State::Bytes || entry->state == State::Lazy) {
      entry->state = State::Raw;
      std::string().swap(entry->bytes);
    }
    kept.push_back(std::move(entry));
  }
  entries_ = std::move(kept);
  modified_ = false;
}

}  // namespace orv::ooxml
