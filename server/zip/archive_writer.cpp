#include "server/zip/archive_writer.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <exception>
#include <future>
#include <system_error>

#include "server/file_handle.h"
#include "server/server_error.h"

namespace orv::zip {

namespace {

// A ZIP source whose data is made when libzip opens it and dropped when libzip closes it, so that
// saving many copied sheets holds one of them at a time.
// A producer's own failure is kept, to be reported instead of libzip's word for it.
struct LazyData {
  std::function<std::string()> produce;
  std::exception_ptr* failure;
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
      } catch (...) {
        if (!*lazy->failure) *lazy->failure = std::current_exception();
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

zip_source_t* lazySource(zip_t* archive, const std::function<std::string()>& produce,
                         std::exception_ptr* failure) {
  auto* lazy = new LazyData{produce, failure, {}, 0, {}};
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

// The layout of the original file when it is still the file libzip opened, entry for entry (the
// entries refer to it by index); nothing otherwise.
std::shared_ptr<const Layout> layoutOfOriginal(const ArchiveTarget& target, int in) {
  const std::optional<FileIdentity> id = descriptorIdentity(in);
  if (!id || id->inode != target.identity.inode || id->device != target.identity.device ||
      id->size != target.identity.size)
    return nullptr;
  // A file this process wrote and nobody changed since needs no second look: reading every
  // local header again would read most of a file whose blocks were just cloned, not cached.
  // Its entries are indexed in the order of that layout.
  if (target.knownLayout) return target.knownLayout;
  std::optional<Layout> read = readLayout(in, id->size);
  if (!read || !target.original) return nullptr;
  if (static_cast<zip_int64_t>(read->entries.size()) != zip_get_num_entries(target.original, 0))
    return nullptr;
  for (size_t i = 0; i < read->entries.size(); ++i) {
    const char* name = zip_get_name(target.original, i, ZIP_FL_ENC_RAW);
    if (!name || read->nameOf(read->entries[i]) != name) return nullptr;
  }
  return std::make_shared<const Layout>(std::move(*read));
}

// The first entries a producer makes, made and deflated on a second thread while the first
// copies the untouched runs before them: on a file system without cloning that copy is the
// kernel's work, and a large copied sheet costs about as much to make. At most kAheadCount
// entries and about kAheadBytes of their compressed bytes are held; the rest are made where they
// are written, one at a time, as before. No producer runs on the first thread until the second
// has finished. Where little is copied before the first of them, nothing is worth overlapping
// and a second thread would only cost its start.
class MadeAhead {
 public:
  static constexpr size_t kAheadCount = 16;
  static constexpr size_t kAheadBytes = size_t{32} << 20;
  static constexpr std::uint64_t kWorthCopying = 256 << 10;

  MadeAhead(const std::vector<OutEntry>& entries, const Layout& layout, int level) {
    std::uint64_t copiedBefore = 0;
    for (size_t i = 0; i < entries.size() && picked_.size() < kAheadCount; ++i) {
      const OutEntry& e = entries[i];
      if (e.produce && !e.packed && !e.original && e.compression == Compression::Deflate)
        picked_.push_back(i);
      if (picked_.empty() && e.original) {
        const auto first = static_cast<size_t>(*e.original);
        const size_t last = std::min(first + e.run, layout.entries.size());
        if (last > first)
          copiedBefore += layout.entries[last - 1].end - layout.entries[first].start;
      }
    }
    if (picked_.empty() || copiedBefore < kWorthCopying) {
      picked_.clear();
      return;
    }
    made_.resize(picked_.size());
    try {
      worker_ = std::async(std::launch::async, [this, &entries, level] {
        size_t held = 0;
        for (size_t k = 0; k < picked_.size() && held < kAheadBytes; ++k) {
          const OutEntry& e = entries[picked_[k]];
          const std::string text = e.produce();
          PackedData& made = made_[k].data;
          if (e.trail) {
            made = deflateAlong(text, *e.trail, level);
          } else {
            made.crc = crcOf(text);
            made.plainSize = text.size();
            made_[k].packed = deflateRaw(text, level);
            made.bytes = made_[k].packed;
            made.size = made_[k].packed.size();
          }
          made_[k].ready = true;
          held += made.size;
        }
      });
    } catch (const std::system_error&) {
      // No second thread: everything is made where it is written.
      picked_.clear();
    }
  }
  MadeAhead(const MadeAhead&) = delete;
  MadeAhead& operator=(const MadeAhead&) = delete;
  ~MadeAhead() {
    if (worker_.valid()) worker_.wait();
  }

  // The entry at `index` made and deflated, or null when it is to be made where it is written.
  // Rethrows a producer's failure.
  const PackedData* take(size_t index) {
    if (worker_.valid()) worker_.get();  // every producer ran, or one failed
    const auto at = std::lower_bound(picked_.begin(), picked_.end(), index);
    if (at == picked_.end() || *at != index) return nullptr;
    const Made& made = made_[static_cast<size_t>(at - picked_.begin())];
    return made.ready ? &made.data : nullptr;
  }

 private:
  struct Made {
    std::string packed;
    PackedData data;
    bool ready = false;
  };
  std::vector<size_t> picked_;
  std::vector<Made> made_;
  std::future<void> worker_;
};

// Writes `entries` as consecutive runs of the original and new entries.
void writeRuns(Writer& writer, const Layout& layout, const std::vector<OutEntry>& entries,
               int level) {
  MadeAhead ahead(entries, layout, level);
  // The central directory: the original's records of the entries copied, a record and a name
  // for each new one.
  size_t centralBytes = 0, count = 0;
  for (const OutEntry& e : entries) {
    if (!e.original) {
      centralBytes += 46 + e.name.size();  // a new record holds no extra field or comment
      ++count;
      continue;
    }
    for (zip_uint64_t k = *e.original; k < *e.original + e.run && k < layout.entries.size(); ++k)
      centralBytes += layout.entries[k].centralLength;
    count += e.run;
  }
  writer.reserve(count, centralBytes);
  size_t runFirst = 0, runEnd = 0;
  auto flush = [&] {
    if (runEnd > runFirst) writer.copyRun(layout, runFirst, runEnd);
    runFirst = runEnd = 0;
  };
  for (size_t i = 0; i < entries.size(); ++i) {
    const OutEntry& e = entries[i];
    if (e.original) {
      const auto index = static_cast<size_t>(*e.original);
      if (runEnd == runFirst || index != runEnd) {
        flush();
        runFirst = index;
      }
      runEnd = index + static_cast<size_t>(e.run);
      continue;
    }
    flush();
    if (i + 1 == entries.size()) writer.lastEntryNext();
    if (e.packed) {
      writer.addPacked(e.name, *e.packed);
    } else if (const PackedData* made = e.produce ? ahead.take(i) : nullptr) {
      writer.addPacked(e.name, *made);
    } else if (e.produce && e.trail && e.compression == Compression::Deflate) {
      writer.addPacked(e.name, deflateAlong(e.produce(), *e.trail, level));
    } else if (e.produce) {
      writer.add(e.name, e.produce(), e.compression);
    } else {
      writer.add(e.name, e.data, e.compression);
    }
  }
  flush();
}

// libzip's archive over the descriptor, or a ServerError.
zip_t* openSinkArchive(FdSink& sink, const std::string& display) {
  zip_error_t openError;
  zip_error_init(&openError);
  zip_t* out = nullptr;
  zip_source_t* target = zip_source_function_create(sinkCallback, &sink, &openError);
  if (target) {
    out = zip_open_from_source(target, ZIP_CREATE | ZIP_TRUNCATE, &openError);
    if (!out) zip_source_free(target);
  }
  std::string why = out ? std::string() : zipMessage(&openError);
  zip_error_fini(&openError);
  if (!out)
    throw ServerError("Cannot save '" + display + "': " +
                      (sink.errorNumber != 0 ? describeSystemError(sink.errorNumber) : why));
  return out;
}

// The source of one entry for libzip; null on failure (libzip's error is on `out`).
zip_source_t* sourceOf(zip_t* out, zip_t* original, const OutEntry& e, zip_uint64_t index,
                       std::exception_ptr* failure) {
  if (e.original) return zip_source_zip(out, original, index, ZIP_FL_COMPRESSED, 0, -1);
  if (e.produce) return lazySource(out, e.produce, failure);
  return zip_source_buffer(out, e.data.data(), e.data.size(), 0);
}

// Carries an untouched entry's method, time and attributes over, so that libzip copies its
// compressed bytes as they are; a new entry gets its compression. Non-zero on failure.
int setEntryAttributes(zip_t* out, zip_uint64_t at, zip_t* original, const OutEntry& e,
                       zip_uint64_t index, int level) {
  if (!e.original) {
    return e.compression == Compression::Store
               ? zip_set_file_compression(out, at, ZIP_CM_STORE, 0)
               : zip_set_file_compression(out, at, ZIP_CM_DEFLATE,
                                          static_cast<zip_uint32_t>(level));
  }
  zip_stat_t st;
  zip_stat_init(&st);
  if (zip_stat_index(original, index, 0, &st) != 0) return -1;
  int rc = zip_set_file_compression(out, at, static_cast<zip_int32_t>(st.comp_method), 0);
  if (st.valid & ZIP_STAT_MTIME) rc |= zip_file_set_mtime(out, at, st.mtime, 0);
  zip_uint8_t opsys = 0;
  zip_uint32_t attributes = 0;
  if (zip_file_get_external_attributes(original, index, 0, &opsys, &attributes) == 0)
    rc |= zip_file_set_external_attributes(out, at, 0, opsys, attributes);
  return rc;
}

}  // namespace

std::string zipMessage(zip_error_t* error) {
  int sys = zip_error_code_system(error);
  if (zip_error_system_type(error) == ZIP_ET_SYS && sys != 0) return describeSystemError(sys);
  std::string text = zip_error_strerror(error);
  if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text + ".";
}

bool writeByRawCopy(const ArchiveTarget& target, const std::vector<OutEntry>& entries,
                    Layout* written) {
  FileHandle in = FileHandle::openForReading(target.path);
  if (!in.valid()) return false;
  std::shared_ptr<const Layout> layout = layoutOfOriginal(target, in.descriptor());
  if (!layout) return false;
  try {
    Writer writer(in.descriptor(), target.fd, target.deflateLevel);
    writeRuns(writer, *layout, entries, target.deflateLevel);
    writer.finish(layout->comment);
    if (written) *written = writer.takeWritten();
  } catch (const Writer::Unsupported&) {
    return false;
  } catch (const std::system_error& error) {
    throw ServerError("Cannot save '" + target.display +
                      "': " + describeSystemError(error.code().value()));
  }
  return true;
}

void writeThroughLibzip(const ArchiveTarget& target, const std::vector<OutEntry>& entries) {
  FdSink sink{target.fd, 0, {}};
  zip_error_init(&sink.error);
  struct SinkError {
    zip_error_t* error;
    ~SinkError() { zip_error_fini(error); }
  } sinkError{&sink.error};
  zip_t* out = openSinkArchive(sink, target.display);
  std::exception_ptr producerFailure;
  // The failure's own words: a producer's error as it is, the system's reason for a failed
  // write, libzip's otherwise.
  auto fail = [&](const std::string& why) {
    zip_discard(out);
    if (producerFailure) std::rethrow_exception(producerFailure);
    throw ServerError("Cannot save '" + target.display + "': " +
                      (sink.errorNumber != 0 ? describeSystemError(sink.errorNumber) : why));
  };
  for (const OutEntry& e : entries) {
    const zip_uint64_t first = e.original ? *e.original : 0;
    for (zip_uint64_t from = first; from < first + (e.original ? e.run : 1); ++from) {
      std::string name(e.name);
      if (e.original && e.run > 1) {
        const char* stored = zip_get_name(target.original, from, ZIP_FL_ENC_RAW);
        if (!stored) fail(zipMessage(zip_get_error(target.original)));
        name = stored;
      }
      zip_source_t* source = sourceOf(out, target.original, e, from, &producerFailure);
      if (!source) fail(zipMessage(zip_get_error(e.original ? target.original : out)));
      zip_int64_t index = zip_file_add(out, name.c_str(), source, ZIP_FL_ENC_GUESS);
      if (index < 0) {
        zip_source_free(source);
        fail(zipMessage(zip_get_error(out)));
      }
      if (setEntryAttributes(out, static_cast<zip_uint64_t>(index), target.original, e, from,
                             target.deflateLevel) != 0)
        fail(zipMessage(zip_get_error(out)));
    }
  }
  int commentLength = 0;
  if (const char* comment =
          zip_get_archive_comment(target.original, &commentLength, ZIP_FL_ENC_RAW);
      comment && commentLength > 0) {
    zip_set_archive_comment(out, comment, static_cast<zip_uint16_t>(commentLength));
  }
  if (zip_close(out) != 0) fail(zipMessage(zip_get_error(out)));
}

}  // namespace orv::zip
