#include "server/ods/ods_engine.h"

#include <algorithm>
#include <atomic>
#include <set>
#include <utility>

#include "server/format.h"
#include "server/kept_workbook.h"
#include "server/memory_budget.h"
#include "server/server_error.h"
#include "server/sheet_names.h"

namespace orv::ods {

namespace {

constexpr const char* kContent = "content.xml";
constexpr const char* kManifest = "META-INF/manifest.xml";
constexpr const char* kSettings = "settings.xml";
// The content of the run's last save is deflated again as one stream up to this size of text
// (about a tenth of a second at that size), at zlib's fastest level as the other entries are.
constexpr std::uint64_t kDeflateAgainUpTo = std::uint64_t{32} << 20;
constexpr int kDeflateAgainLevel = 1;
constexpr const char* kMeta = "meta.xml";
constexpr std::string_view kChartType = "application/vnd.oasis.opendocument.chart";
// The most sheets the office suite that writes the format opens.
constexpr size_t kMaxSheets = 10000;

std::string mediaTypeFor(const std::string& entry) {
  return entry.ends_with(".xml") ? "text/xml" : std::string();
}

}  // namespace

// The file as the last instance read or saved it.
struct KeptState {
  std::unique_ptr<pugi::xml_document> doc;  // the content
  std::uint64_t textSize = 0;
  UsedIds used;  // as gathered from that content and kept up to date
  std::unique_ptr<PackedContent> packed;
  // The entries as the last save left them, for a file opened by the same path; each of these
  // null when not known.
  std::unique_ptr<zip::EntryStore> store;
  std::unique_ptr<Manifest> manifest;
  std::unique_ptr<zip::DeflateTrail> manifestTrail;
  std::unique_ptr<pugi::xml_document> settings, meta;
  bool settingsRead = false, metaRead = false;
  std::optional<ObjectFolders> folders;
};

namespace {

KeptWorkbook<KeptState>& kept() {
  static KeptWorkbook<KeptState> slot;
  return slot;
}

bool storeKept(const KeptState* k, const std::string& path) {
  return k && k->store && k->store->path() == path;
}

}  // namespace

OdsEngine::OdsEngine(const std::string& path, zip::OpenedArchive opened,
                     std::unique_ptr<KeptState> k)
    : store_(storeKept(k.get(), path) ? std::move(k->store)
                                      : std::make_unique<zip::EntryStore>(path, std::move(opened))) {
  const std::string& display = store_->displayName();
  if (k && k->manifest) {
    manifest_ = std::move(k->manifest);
    manifestTrail_ = std::move(k->manifestTrail);
  } else if (store_->has(kManifest)) {
    manifest_ = std::make_unique<Manifest>(store_->read(kManifest, size_t{1} << 26), display);
    if (manifest_->encrypted())
      throw ServerError("Cannot open '" + display +
                        "': " + refusalReason(FileFormat::OdsEncrypted));
  }
  if (!store_->has(kContent)) store_->damaged(kContent, "the document content is missing");
  if (k) {
    content_ = std::make_unique<Content>(std::move(k->doc), display);
    savedContentSize_ = k->textSize;
    used_ = std::move(k->used);
    packed_ = std::move(k->packed);
    settings_ = std::move(k->settings);
    meta_ = std::move(k->meta);
    settingsRead_ = k->settingsRead;
    metaRead_ = k->metaRead;
    folders_ = std::move(k->folders);
  } else {
    const std::string text = store_->read(kContent);
    savedContentSize_ = text.size();
    content_ = std::make_unique<Content>(text, display);
  }
  findActiveSheet();
}

OdsEngine::~OdsEngine() {
  // Only a content as read or just saved is known to be what a fresh read of the file would give.
  if (!asOnDisk_ || contentDirty_ || !content_ || savedContentSize_ == 0) return;
  const size_t packedBytes = packed_ ? packed_->bytes() : 0;
  if (!mayKeepWorkbook(xmlPartCost(savedContentSize_, 0, 0) + packedBytes)) return;
  const FileIdentity file = store_->identity();
  KeptState k;
  k.doc = content_->takeDoc();
  k.textSize = savedContentSize_;
  k.used = std::move(used_);
  k.packed = std::move(packed_);
  // Kept without a file open: Windows replaces no file that is open, and the slot may hold it
  // until the process ends.
  if (store_->closeArchive()) k.store = std::move(store_);
  if (!manifestDirty_) {
    k.manifest = std::move(manifest_);
    k.manifestTrail = std::move(manifestTrail_);
  }
  if (!settingsDirty_) {
    k.settings = std::move(settings_);
    k.settingsRead = settingsRead_;
  }
  if (!metaDirty_) {
    k.meta = std::move(meta_);
    k.metaRead = metaRead_;
  }
  k.folders = std::move(folders_);
  kept().keep(file, std::move(k));
}

void keepSavedContent(bool on) { kept().setEnabled(on); }

std::unique_ptr<Engine> openOds(const std::string& path, zip::OpenedArchive opened) {
  std::optional<KeptState> k = kept().take(opened.identity);
  // Without the entries the last instance left, the archive's directory is read.
  if (!opened.archive && !storeKept(k ? &*k : nullptr, path)) {
    int error = 0;
    opened.archive = zip_open(path.c_str(), ZIP_RDONLY, &error);
  }
  return std::make_unique<OdsEngine>(
      path, std::move(opened), k ? std::make_unique<KeptState>(std::move(*k)) : nullptr);
}

void OdsEngine::findActiveSheet() {
  pugi::xml_document* settings = side(kSettings, settings_, settingsRead_);
  if (!settings) return;
  const Prefixes ns(settings->document_element());
  const std::string item = Prefixes::qualified(ns.config, "config-item");
  const std::string name = Prefixes::qualified(ns.config, "name");
  pugi::xml_node active = settings->document_element().find_node([&](pugi::xml_node n) {
    return n.name() == item && std::string_view(n.attribute(name.c_str()).value()) == "ActiveTable";
  });
  if (!active) return;
  for (size_t i = 0; i < content_->tables().size(); ++i)
    if (content_->tableName(i) == active.text().get()) active_ = static_cast<SheetId>(i + 1);
}

pugi::xml_document* OdsEngine::side(const char* entry, std::unique_ptr<pugi::xml_document>& doc,
                                    bool& read) {
  if (read) return doc.get();
  read = true;
  if (!store_->has(entry)) return nullptr;
  auto parsed = std::make_unique<pugi::xml_document>();
  const std::string text = store_->read(entry, size_t{1} << 28);
  // Settings and statistics are informative: damaged ones are left as they are.
  if (!parsed->load_buffer(text.data(), text.size(), kParseOptions)) return nullptr;
  doc = std::move(parsed);
  return doc.get();
}

size_t OdsEngine::indexOf(SheetId id) const {
  if (id == 0 || id > content_->tables().size())
    throw ServerError("There is no such sheet in '" + store_->displayName() + "'.");
  return id - 1;
}

int OdsEngine::sheetCount() const { return static_cast<int>(content_->tables().size()); }

SheetId OdsEngine::sheetAt(int position) const {
  if (position < 0 || position >= sheetCount())
    throw ServerError("There is no such sheet in '" + store_->displayName() + "'.");
  return static_cast<SheetId>(position + 1);
}

int OdsEngine::positionOf(SheetId id) const { return static_cast<int>(indexOf(id)); }

std::string OdsEngine::sheetName(SheetId id) const { return content_->tableName(indexOf(id)); }

SheetVisibility OdsEngine::sheetVisibility(SheetId id) const {
  // A hidden table's automatic style says table:display="false"; the format has no "very hidden".
  const Prefixes& ns = content_->ns();
  const std::string styleName = content_->tables()[indexOf(id)]
                                    .attribute(Prefixes::qualified(ns.table, "style-name").c_str())
                                    .value();
  if (styleName.empty()) return SheetVisibility::Visible;
  const std::string name = Prefixes::qualified(ns.style, "name");
  pugi::xml_node styles = content_->doc().document_element().child(
      Prefixes::qualified(ns.office, "automatic-styles").c_str());
  pugi::xml_node style = styles.find_child_by_attribute(name.c_str(), styleName.c_str());
  const std::string_view display =
      style.child(Prefixes::qualified(ns.style, "table-properties").c_str())
          .attribute(Prefixes::qualified(ns.table, "display").c_str())
          .value();
  return display == "false" ? SheetVisibility::Hidden : SheetVisibility::Visible;
}

std::vector<std::string> OdsEngine::namesExcept(size_t position) const {
  std::vector<std::string> names;
  for (size_t i = 0; i < content_->tables().size(); ++i)
    if (i != position) names.push_back(content_->tableName(i));
  return names;
}

bool OdsEngine::isChart(const std::string& folder) {
  if (manifest_) {
    const std::string type = manifest_->mediaType(folder + "/");
    if (!type.empty()) return type == kChartType;
  }
  const std::string content = folder + "/content.xml";
  if (!store_->has(content)) return false;
  const std::string text = store_->read(content);
  return text.find(":chart>") != std::string::npos || text.find(":chart ") != std::string::npos;
}

namespace {
std::atomic<bool> retiring{true};
}  // namespace

void retireCopiedTables(bool on) { retiring.store(on); }

void OdsEngine::retireCopies() {
  if (made_.empty() || !retiring.load()) return;
  gatherAllIds(*content_, used_);
  if (!packed_) packed_ = std::make_unique<PackedContent>(savedContentSize_);
  for (const auto& [id, made] : made_) packed_->retire(*content_, indexOf(id));
  // A copy renamed after this is renamed as any sheet is: by looking everywhere.
  if (packed_->compactIfWorthIt(*content_)) made_.clear();
}

void OdsEngine::restore(size_t index) {
  if (packed_) packed_->restore(*content_, index);
}

std::optional<CopyBlocker> OdsEngine::copyBlocker(SheetId source) {
  restore(indexOf(source));
  return tableBlocker(*content_, indexOf(source),
                      [this](const std::string& folder) { return isChart(folder); });
}

void OdsEngine::refuseCopy(const std::string& sheet, const std::string& why) const {
  throw ServerError("Cannot copy the sheet '" + sheet + "': " + why +
                    ". The workbook was not changed.");
}

std::map<std::string, std::string> OdsEngine::readObjects(size_t index) {
  std::map<std::string, std::string> read;
  const std::string href = Prefixes::qualified(content_->ns().xlink, "href");
  std::vector<std::string> folders;
  content_->tables()[index].find_node([&](pugi::xml_node n) {
    if (Prefixes::is(n, content_->ns().draw, "object")) {
      const std::string folder = objectFolder(n.attribute(href.c_str()).value());
      if (!folder.empty()) folders.push_back(folder);
    }
    return false;
  });
  for (const std::string& folder : folders) {
    for (const std::string& entry : store_->namesStartingWith(folder + "/"))
      read.emplace(entry, store_->read(entry));
    if (const std::string replacement = "ObjectReplacements/" + folder; store_->has(replacement))
      read.emplace(replacement, store_->read(replacement));
  }
  return read;
}

std::string OdsEngine::freshObjectFolder() {
  if (!folders_) {
    std::set<std::string, std::less<>>& taken = folders_.emplace().taken;
    constexpr std::string_view kReplacements = "ObjectReplacements/";
    const auto note = [&](std::string_view path) {
      if (path.starts_with(kReplacements)) taken.emplace(path.substr(kReplacements.size()));
      if (const size_t slash = path.find('/'); slash != std::string_view::npos)
        taken.emplace(path.substr(0, slash));
    };
    for (const std::string& entry : store_->names()) note(entry);
    if (manifest_)
      for (const std::string& path : manifest_->paths()) note(path);
  }
  for (long& n = folders_->from;; ++n) {
    std::string folder = "Object " + std::to_string(n);
    if (!folders_->taken.count(folder)) return folder;
  }
}

std::string OdsEngine::cloneObject(const std::string& folder,
                                   const std::map<std::string, std::string>& read,
                                   const std::string& from, const std::string& to, Made& made) {
  const std::string fresh = freshObjectFolder();
  folders_->taken.insert(fresh);
  const std::string replacement = "ObjectReplacements/" + folder;
  for (const auto& [entry, bytes] : read) {
    std::string copyEntry;
    if (entry.starts_with(folder + "/")) {
      copyEntry = fresh + entry.substr(folder.size());
    } else if (entry == replacement) {
      copyEntry = "ObjectReplacements/" + fresh;
    } else {
      continue;
    }
    const zip::Compression compression = store_->originalMethod(entry) == ZIP_CM_STORE
                                             ? zip::Compression::Store
                                             : zip::Compression::Deflate;
    store_->put(copyEntry, bytes, compression);
    if (copyEntry == fresh + "/content.xml") {
      made.objectContents.push_back(copyEntry);
      retargetObject(copyEntry, from, to, RetargetMode::Copy);
    }
    if (manifest_) {
      std::string type = manifest_->mediaType(entry);
      if (type.empty()) type = mediaTypeFor(entry);
      if (manifest_->lists(entry) || !type.empty()) manifest_->add(copyEntry, type);
    }
  }
  if (manifest_) {
    std::string type = manifest_->mediaType(folder + "/");
    manifest_->add(fresh + "/", type.empty() ? std::string(kChartType) : type);
    manifestDirty_ = true;
  }
  return fresh;
}

void OdsEngine::retargetObject(const std::string& entry, const std::string& from,
                               const std::string& to, RetargetMode mode) {
  const std::string text = store_->read(entry);
  pugi::xml_document doc;
  // A chart sub-document that cannot be read is left as it is: the chart shows what it showed.
  if (!doc.load_buffer(text.data(), text.size(), kParseOptions)) return;
  const Prefixes ns(doc.document_element());
  if (retargetTree(ns, doc.document_element(), from, to, mode))
    store_->put(entry, serializeXml(doc));
}

SheetId OdsEngine::copySheet(SheetId sourceId, SheetId afterId) {
  asOnDisk_ = false;  // a refusal part way may leave the tree other than the file holds it
  const size_t source = indexOf(sourceId);
  const std::string sourceName = content_->tableName(source);
  if (indexOf(afterId) + 1 != content_->tables().size())
    refuseCopy(sourceName,
               "in an OpenDocument spreadsheet (.ods) Orvandel places copies after "
               "the last sheet only");
  if (content_->structureProtected())
    refuseCopy(sourceName,
               "the workbook's structure is protected, so no sheet can be added. Unprotect the "
               "workbook in your spreadsheet application and try again");
  if (content_->tables().size() >= kMaxSheets)
    refuseCopy(sourceName, "the workbook has as many sheets as a spreadsheet can hold (" +
                               std::to_string(kMaxSheets) + ")");
  if (std::optional<CopyBlocker> blocker = copyBlocker(sourceId))
    throw ServerError(copyRefusal(sourceName, *blocker));
  const std::string copyName =
      automaticCopyName(sourceName, namesExcept(content_->tables().size()));

  // The copies made before are finished: they wait as packed text, not as trees.
  retireCopies();
  restore(source);
  // Everything that can fail to be read is read before anything changes.
  const std::map<std::string, std::string> objects = readObjects(source);
  pugi::xml_document* settings = side(kSettings, settings_, settingsRead_);
  pugi::xml_document* meta = side(kMeta, meta_, metaRead_);

  Made made;
  const TableCopy copy =
      copyTable(*content_, source, copyName, used_, [&](const std::string& folder) {
        return cloneObject(folder, objects, sourceName, copyName, made);
      });
  contentDirty_ = true;
  if (packed_) packed_->forget(copy.table);
  made.nodes.push_back(copy.table);
  made.nodes.insert(made.nodes.end(), copy.clones.begin(), copy.clones.end());
  if (settings && cloneTableSettings(*settings, sourceName, copyName)) settingsDirty_ = true;
  if (meta && addStatistics(*meta, 1, copy.cells, copy.objects)) metaDirty_ = true;
  const SheetId id = static_cast<SheetId>(content_->tables().size());
  made_.emplace(id, std::move(made));
  // The save drops the document signature, which covers every entry; said once, with the copy.
  if (!signatureNoticed_) {
    if (!documentSignatures().empty()) {
      signatureNoticed_ = true;
      notices_.push_back("The digital signature of '" + store_->displayName() +
                         "' was removed: it does not hold for the changed workbook. Sign it again "
                         "in your spreadsheet application if you need it.");
    }
  }
  return id;
}

void OdsEngine::renameSheet(SheetId id, const std::string& name) {
  asOnDisk_ = false;
  const size_t at = indexOf(id);
  const std::string old = content_->tableName(at);
  if (old == name) return;
  validateSheetName(name, namesExcept(at));
  const Prefixes& ns = content_->ns();
  if (auto it = made_.find(id); it != made_.end()) {
    // Only what was made with the copy can name it.
    restore(at);
    for (pugi::xml_node node : it->second.nodes) {
      if (packed_) packed_->forget(node);
      retargetTree(ns, node, old, name, RetargetMode::Rename);
    }
    for (const std::string& entry : it->second.objectContents)
      retargetObject(entry, old, name, RetargetMode::Rename);
  } else {
    if (packed_) packed_->restoreAll(*content_);
    if (packed_) packed_->forgetAll();  // any table may name the sheet
    retargetTree(ns, content_->doc().document_element(), old, name, RetargetMode::Rename);
    for (const std::string& entry : store_->names()) {
      const size_t slash = entry.find('/');
      if (slash != std::string::npos && entry.substr(slash) == "/content.xml" &&
          isChart(entry.substr(0, slash)))
        retargetObject(entry, old, name, RetargetMode::Rename);
    }
  }
  content_->tables()[at]
      .attribute(Prefixes::qualified(ns.table, "name").c_str())
      .set_value(name.c_str());
  contentDirty_ = true;
  if (pugi::xml_document* settings = side(kSettings, settings_, settingsRead_))
    if (renameTableSettings(*settings, old, name)) settingsDirty_ = true;
}

void OdsEngine::save() {
  const bool last = std::exchange(lastSave_, false);
  if (!contentDirty_ && !store_->modified()) return;
  bool asPieces = false;
  if (contentDirty_) {
    // Table by table from the first save on: a workbook saved after every copy then writes at
    // its second save only what changed since the first, not the whole content again.
    if (!packed_) packed_ = std::make_unique<PackedContent>(savedContentSize_);
    PackedContent::Packing p = packed_->pack(*content_);
    savedContentSize_ = p.rest.plainSize;
    // The pieces of many short tables (copies of one sheet) take several times the room of one
    // stream; the run's last save makes the file that stays, as one stream where that is quick.
    asPieces = !last || p.rest.plainSize > kDeflateAgainUpTo;
    if (asPieces) {
      store_->putPacked(kContent, std::move(p.rest), p.sameAt, p.sameLength);
    } else {
      // What the last save wrote and this one repeats comes back from the file.
      if (p.sameLength > 0)
        p.rest.packed.insert(0, store_->readRange(p.sameAt, p.sameLength));
      store_->putPacked(kContent, zip::deflateAgain(p.rest.packed, p.rest.crc, p.rest.plainSize,
                                                    kDeflateAgainLevel));
    }
  }
  if (settingsDirty_ && settings_) store_->put(kSettings, serializeXml(*settings_));
  if (metaDirty_ && meta_) store_->put(kMeta, serializeXml(*meta_));
  // A document signature covers the whole package and no longer holds for the changed one.
  for (const std::string& entry : documentSignatures()) {
    store_->remove(entry);
    if (manifest_ && manifest_->remove(entry)) manifestDirty_ = true;
  }
  if (manifestDirty_ && manifest_) {
    if (!manifestTrail_) manifestTrail_ = std::make_unique<zip::DeflateTrail>();
    store_->putAlong(kManifest, manifest_->serialize(), *manifestTrail_);
  }
  store_->save();
  // Saved any other way, the content entry now lies elsewhere in the file.
  if (packed_) packed_->saved(asPieces ? store_->dataOffset(kContent) : std::nullopt);
  contentDirty_ = settingsDirty_ = metaDirty_ = manifestDirty_ = false;
  asOnDisk_ = true;
  // A content saved once is likely saved again, table by table (a save that changed other parts
  // only had no packing yet).
  if (!packed_) packed_ = std::make_unique<PackedContent>(savedContentSize_);
  else retireCopies();
}

std::vector<std::string> OdsEngine::documentSignatures() const {
  std::vector<std::string> found = store_->namesStartingWith("META-INF/");
  std::erase_if(found, [](const std::string& entry) { return !isDocumentSignature(entry); });
  return found;
}

std::vector<std::string> OdsEngine::takeNotices() { return std::exchange(notices_, {}); }

}  // namespace orv::ods
