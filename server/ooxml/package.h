#pragma once

#include <zip.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <pugixml.hpp>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "server/durable_file.h"
#include "server/ooxml/part_cache.h"
#include "server/ooxml/relationships.h"
#include "server/server_error.h"
#include "server/zip/archive_writer.h"
#include "server/zip/opened_archive.h"

namespace orv::ooxml {

// Part names are kept as ZIP entry names: no leading slash, matched ignoring case as the
// packaging rules ask.
std::string partDir(std::string_view part);   // "xl/worksheets/" for "xl/worksheets/sheet1.xml"
std::string partBase(std::string_view part);  // "sheet1.xml"
std::string relsPartOf(std::string_view part);
// The part a relationship of `source` points at; `target` as written in the .rels part.
std::string resolveTarget(std::string_view source, std::string_view target);
// The target to write in a relationship of `source` so that it points at `part`.
std::string relativeTarget(std::string_view source, std::string_view part);
std::string lowerAscii(std::string_view s);

// The local name of an element or attribute ("sheet" for "x:sheet").
std::string_view localName(const char* qualifiedName);
// The namespace URI that `qualifiedName` resolves to at `node` (attributes resolve
// their prefix only; an unprefixed attribute has no namespace).
std::string_view namespaceOf(pugi::xml_node node, const char* qualifiedName, bool isAttribute);

using zip::OpenedArchive;

// A ZIP package opened for reading, with the parts edited or added since it was opened. Nothing
// is read until asked for; saving copies every untouched entry without recompressing it.
//
// What an instance read or wrote is left in the process's PartCache when it goes, for the next
// instance that opens the file unchanged. Finished parts (copies made, renamed, frozen) wait for
// the save compressed in a scratch file beside the workbook, so that memory does not grow with
// the number of copies. A save writes the untouched entries first, in the order they lie, then
// the new ones, then the edited ones: two saves in a row share their start byte for byte at the
// same offsets, which the kernel copies or clones instead of this process writing it.
class Package {
  friend struct PackageIndex;

 public:
  // `display` is the file name used in messages.
  explicit Package(std::string path);
  Package(std::string path, OpenedArchive opened);
  ~Package();
  Package(const Package&) = delete;
  Package& operator=(const Package&) = delete;

  const std::string& path() const { return path_; }
  const std::string& displayName() const { return display_; }

  bool has(std::string_view part) const;
  // Every part present, in archive order.
  std::vector<std::string> partNames() const;
  // The exact entry name of `part` (matched ignoring case), or empty.
  std::string entryName(std::string_view part) const;
  std::string read(std::string_view part);
  // Reads at most `limit` bytes from the start of the part.
  std::string readPrefix(std::string_view part, size_t limit);
  // The part parsed; parsed once and kept. Throws when it is not well-formed.
  pugi::xml_document& xml(std::string_view part);
  bool isParsed(std::string_view part) const;
  // The part's tree when it is parsed already, here or kept by an earlier instance; null
  // otherwise (nothing is read).
  pugi::xml_document* parsedIfAtHand(std::string_view part);
  void markDirty(std::string_view part);

  void addXml(const std::string& part, std::unique_ptr<pugi::xml_document> doc,
              std::string gap = {});
  // What stood between the XML declaration and the root element of a parsed part.
  std::string prologGap(std::string_view part) const;
  void addBytes(const std::string& part, std::string bytes);
  // Adds a part whose text `produce` makes when it is needed (to save, read or edit it), so that
  // a large copied sheet is never held twice.
  void addLazy(const std::string& part, std::function<std::string()> produce);
  bool isLazy(std::string_view part) const;
  // Makes every lazy part now, except `keep`; call before editing a part a producer reads.
  void materializeLazy(std::string_view keep = {});
  // Replaces the stored form of an added or edited part by its text, compressed into the scratch
  // file where there is one, releasing its tree.
  void freeze(std::string_view part);
  // Forgets the parsed form of a part that is saved as it is, to be read again if needed.
  void release(std::string_view part);
  void remove(std::string_view part);

  // What a caller worked out from a part as the file holds it, under `key` (null when nothing):
  // kept while the part stays untouched, and passed on with the part to the next instance.
  std::shared_ptr<const std::string> memo(std::string_view part, const std::string& key) const;
  void setMemo(std::string_view part, const std::string& key,
               std::shared_ptr<const std::string> value);

  // A part name not yet used, ignoring case: `dir` + `stem` + number + `ext`, the number
  // being one above the largest in use for that stem (at least `minNumber`).
  std::string freshPartName(std::string_view dir, std::string_view stem, std::string_view ext,
                            int minNumber = 1) const;

  // Relationships of `part` (empty when it has none); read once and kept until the .rels part's
  // tree is asked for or its part changed, and passed on with the part to the next instance.
  Relationships relationships(std::string_view part);
  // Adds an internal relationship to the .rels part `relsPart` and returns its id. What was
  // read of the part's relationships is kept, with the new one.
  std::string addRelationship(std::string_view relsPart, std::string_view type,
                              std::string_view target);

  // The file as last opened or saved.
  const FileIdentity& identity() const { return identity_; }

  // Content types.
  std::string contentTypeOf(std::string_view part);
  void setOverride(std::string_view part, std::string_view type);
  // Gives a new part the content type `type`: by an Override, unless a Default for its
  // extension already gives exactly that type. A Default is never added or changed, so no
  // existing part changes type.
  void coverPart(std::string_view part, std::string_view type);
  void removeOverride(std::string_view part);

  // True when any part was edited, added or removed since the last save.
  bool modified() const { return modified_; }
  // Saving copies runs of untouched entries as they lie in the file when it can; off, every
  // save goes entry by entry through libzip (tests compare the two).
  void setRawSave(bool on) { rawSave_ = on; }
  // Whether the last save copied runs of the original file (false: it went through libzip).
  bool lastSaveWasRaw() const { return lastSaveRaw_; }
  // Writes the package back to its file durably and refuses when the file changed on disk
  // since it was opened. Afterwards the package reads from the new file.
  void save();

  // The parse options every part uses, and the way every part is written back.
  static constexpr unsigned kParseOptions = pugi::parse_full | pugi::parse_ws_pcdata;
  static std::string serialize(const pugi::xml_document& doc, std::string_view gap = {},
                               size_t expected = 0);

  // Throws the error that says the file is damaged in `part`, for the reason `why`.
  [[noreturn]] void damaged(std::string_view part, const std::string& why) const;

 private:
  enum class State { Raw, Xml, Bytes, Lazy, Spooled, Removed };
  // What a part read or made holds. Most entries of a workbook of many sheets are never read,
  // and go without.
  struct Payload {
    std::unique_ptr<pugi::xml_document> doc;
    std::string bytes;
    std::string gap;                       // between the declaration and the root, when parsed
    std::function<std::string()> produce;  // for Lazy
    // How the part was deflated when last saved, for a part saved again.
    std::unique_ptr<zip::DeflateTrail> trail;
  };
  struct Entry {
    std::string name;
    zip_int64_t index = -1;  // in the archive, -1 for an added part
    State state = State::Raw;
    bool dirty = false;
    std::uint64_t weight = 0;  // the text's size, when parsed
    std::unique_ptr<Payload> payload;
    std::unique_ptr<zip::PackedData> spooled;  // for Spooled: where it lies in the scratch file
    Payload& data() {
      if (!payload) payload = std::make_unique<Payload>();
      return *payload;
    }
  };

  // xml() without letting go of the relationships kept for the part.
  pugi::xml_document& parsed(std::string_view part);
  void forgetRelationships(std::string_view part);
  // Takes what an earlier instance kept of a part the file holds as it is, if anything.
  void adoptKept(Entry& e);
  void openArchive();
  ServerError changedDuringSave() const;
  void indexEntries();
  // The open archive, opened again after a save when first needed.
  zip_t* archive();
  Entry* find(std::string_view part);
  const Entry* find(std::string_view part) const;
  Entry& insert(const std::string& part);
  // Writes the package through `fd`, an empty file open for reading and writing: by copying
  // untouched runs of the original file where it can, through libzip otherwise.
  void writeTo(int fd);
  // The entries to write, in the order they are written.
  std::vector<Entry*> saveOrder() const;
  std::vector<zip::OutEntry> outEntries(const std::vector<Entry*>& order);
  // A finished part: compressed into the scratch file, or held as text when there is none.
  void keepFinished(Entry& e, std::string text);
  // The text of a Spooled part.
  std::string unspool(const Entry& e) const;
  // Gives the parts read and written to the process's cache, for the next instance, and the
  // index of a file this process wrote.
  void leaveForNextInstance();
  void keepParts();
  void keepIndex();
  // Takes the index and layout an earlier instance left of this file; false when there is none.
  bool adoptKeptIndex();
  // After a save: the entries as they lie in the file just written, untouched again.
  void adoptWrittenEntries(const std::vector<Entry*>& order);
  // At most `limit` bytes of an entry as it lies in the archive, weighed against the memory at
  // hand when the whole part is read. `part` names it in messages.
  std::string inflate(const Entry& e, std::string_view part, size_t limit);
  void indexContentTypes();

  std::string path_;
  std::string display_;
  zip_t* zip_ = nullptr;
  FileIdentity identity_;
  std::vector<std::unique_ptr<Entry>> entries_;  // in ZIP order
  ByPartName<Entry*> byName_;
  // The largest number after a stem among the names in byName_, by lower-case folder and stem,
  // a line break, and lower-case extension: looked up once for a stem, then kept as names are
  // added, so that naming a part does not read every name of a workbook of thousands of parts.
  mutable std::unordered_map<std::string, long> highestNumbers_;
  bool modified_ = false;
  // The content types' Override elements by part name (without its leading slash), and the last
  // of them.
  ByPartName<pugi::xml_node> overrides_;
  pugi::xml_node lastOverride_;
  // The Default elements by lower-case extension (the first of each); they never change.
  std::unordered_map<std::string, pugi::xml_node> defaults_;
  bool typesIndexed_ = false;
  std::map<std::string, Relationships, std::less<>> relsMemo_;  // by lower-case .rels part
  std::map<std::string, PartMemos, std::less<>> memos_;        // by lower-case part
  bool rawSave_ = true;
  bool lastSaveRaw_ = false;
  int spool_ = -1;  // the scratch file, once needed
  std::uint64_t spoolEnd_ = 0;
  bool spoolRefused_ = false;  // no scratch file can be made there
  // The file's layout as the last save wrote it, while that is the file open.
  std::shared_ptr<const zip::Layout> layout_;
  std::shared_ptr<const zip::Layout> savedLayout_;  // of the file being saved
  // False once the file on disk may not be what this package last read or wrote.
  bool shareable_ = true;
};

}  // namespace orv::ooxml
