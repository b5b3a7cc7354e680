#pragma once

// For the Windows compound-file files only: compound files through Windows' own structured
// storage (IStorage), which reads and writes the same format libgsf does on Linux.
#include <objbase.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orv::cfb::storage {

// Holds one reference to a COM object and releases it at the end of its scope.
template <typename T>
class Com {
 public:
  Com() = default;
  explicit Com(T* p) : p_(p) {}
  ~Com() {
    if (p_) p_->Release();
  }
  Com(const Com&) = delete;
  Com& operator=(const Com&) = delete;
  Com(Com&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  Com& operator=(Com&& other) noexcept {
    if (this != &other) {
      if (p_) p_->Release();
      p_ = other.p_;
      other.p_ = nullptr;
    }
    return *this;
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T** out() { return &p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

using ClassId = std::array<std::uint8_t, 16>;

// One entry of a storage, in the order the storage lists it.
struct Child {
  std::string name;  // UTF-8, control characters kept
  bool storage = false;
  std::uint64_t size = 0;  // streams only
};

// A compound file held in memory (bytes copied in), or a new empty one; nullptr-holding on
// failure.
Com<IStorage> openOnBytes(std::string_view bytes);
// A compound file read in place from `path`: others may read it meanwhile.
Com<IStorage> openFile(const std::string& path);
// A new, empty compound file in memory with 512-byte sectors; `bytes` receives its store, whose
// bytes not yet written are zero.
Com<IStorage> createInMemory(Com<ILockBytes>& bytes);
// The whole content of a store made by createInMemory, once its storage was committed.
bool contentOf(ILockBytes* bytes, std::string& out);

// The entries of `storage`; false when its directory cannot be read.
bool childrenOf(IStorage* storage, std::vector<Child>& out);
ClassId classOf(IStorage* storage);
Com<IStorage> openStorage(IStorage* parent, const std::string& name);
// At most `limit` bytes of the stream; false when it cannot be read whole up to that.
bool readStream(IStorage* parent, const std::string& name, std::size_t limit, std::string& out);

Com<IStorage> createStorage(IStorage* parent, const std::string& name, const ClassId& id);
bool writeStream(IStorage* parent, const std::string& name, std::string_view data);

}  // namespace orv::cfb::storage
