#include "server/cfb/structured_storage_win.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "server/windows_text.h"

namespace orv::cfb::storage {

namespace {

constexpr DWORD kReadChild = STGM_READ | STGM_SHARE_EXCLUSIVE;
constexpr DWORD kWriteChild = STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE;

}  // namespace

Com<IStorage> openOnBytes(std::string_view bytes) {
  HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, std::max<std::size_t>(bytes.size(), 1));
  if (!memory) return {};
  if (void* p = GlobalLock(memory)) {
    std::memcpy(p, bytes.data(), bytes.size());
    GlobalUnlock(memory);
  }
  Com<ILockBytes> store;
  if (FAILED(CreateILockBytesOnHGlobal(memory, TRUE, store.out()))) {
    GlobalFree(memory);
    return {};
  }
  // The store is as large as the memory block, which may be rounded up: its size is the file's.
  ULARGE_INTEGER size{};
  size.QuadPart = bytes.size();
  store->SetSize(size);
  Com<IStorage> root;
  if (StgIsStorageILockBytes(store.get()) != S_OK ||
      FAILED(StgOpenStorageOnILockBytes(store.get(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE,
                                        nullptr, 0, root.out())))
    return {};
  return root;
}

Com<IStorage> openFile(const std::string& path) {
  Com<IStorage> root;
  const std::wstring wide = windows::widen(path);
  if (FAILED(StgOpenStorage(wide.c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0,
                            root.out())))
    return {};
  return root;
}

namespace {

// A growing store in memory whose new bytes are zero: the system's own store on a memory block
// leaves what lay in the block before in the parts of a sector no entry uses, which would put
// stray memory into the file.
class ZeroedStore : public ILockBytes {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(id, IID_IUnknown) || IsEqualIID(id, IID_ILockBytes)) {
      *out = static_cast<ILockBytes*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE ReadAt(ULARGE_INTEGER offset, void* buffer, ULONG length,
                                   ULONG* read) override {
    const std::uint64_t at = std::min<std::uint64_t>(offset.QuadPart, bytes_.size());
    const ULONG n = static_cast<ULONG>(std::min<std::uint64_t>(length, bytes_.size() - at));
    std::memcpy(buffer, bytes_.data() + at, n);
    if (read) *read = n;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE WriteAt(ULARGE_INTEGER offset, const void* data, ULONG length,
                                    ULONG* written) override {
    const std::uint64_t end = offset.QuadPart + length;
    try {
      if (end > bytes_.size()) bytes_.resize(static_cast<std::size_t>(end), '\0');
    } catch (const std::bad_alloc&) {
      return STG_E_MEDIUMFULL;
    }
    std::memcpy(bytes_.data() + offset.QuadPart, data, length);
    if (written) *written = length;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Flush() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER size) override {
    try {
      bytes_.resize(static_cast<std::size_t>(size.QuadPart), '\0');
    } catch (const std::bad_alloc&) {
      return STG_E_MEDIUMFULL;
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD) override {
    *stat = STATSTG{};
    stat->type = STGTY_LOCKBYTES;
    stat->cbSize.QuadPart = bytes_.size();
    return S_OK;
  }

  const std::string& bytes() const { return bytes_; }

 private:
  ULONG references_ = 1;
  std::string bytes_;
};

}  // namespace

Com<IStorage> createInMemory(Com<ILockBytes>& bytes) {
  Com<IStorage> root;
  bytes = Com<ILockBytes>(new ZeroedStore);
  if (FAILED(StgCreateDocfileOnILockBytes(bytes.get(), kWriteChild, 0, root.out()))) return {};
  return root;
}

bool contentOf(ILockBytes* bytes, std::string& out) {
  out = static_cast<ZeroedStore*>(bytes)->bytes();
  return true;
}

bool childrenOf(IStorage* storage, std::vector<Child>& out) {
  Com<IEnumSTATSTG> entries;
  if (FAILED(storage->EnumElements(0, nullptr, 0, entries.out()))) return false;
  STATSTG stat{};
  ULONG got = 0;
  HRESULT result;
  while ((result = entries->Next(1, &stat, &got)) == S_OK && got == 1) {
    Child child;
    child.name = windows::narrow(stat.pwcsName ? stat.pwcsName : L"");
    child.storage = stat.type == STGTY_STORAGE;
    child.size = stat.cbSize.QuadPart;
    CoTaskMemFree(stat.pwcsName);
    if (stat.type == STGTY_STORAGE || stat.type == STGTY_STREAM) out.push_back(std::move(child));
  }
  return SUCCEEDED(result);
}

ClassId classOf(IStorage* storage) {
  ClassId id{};
  STATSTG stat{};
  if (SUCCEEDED(storage->Stat(&stat, STATFLAG_NONAME)))
    std::memcpy(id.data(), &stat.clsid, id.size());
  return id;
}

Com<IStorage> openStorage(IStorage* parent, const std::string& name) {
  Com<IStorage> child;
  const std::wstring wide = windows::widen(name);
  if (FAILED(parent->OpenStorage(wide.c_str(), nullptr, kReadChild, nullptr, 0, child.out())))
    return {};
  return child;
}

bool readStream(IStorage* parent, const std::string& name, std::size_t limit, std::string& out) {
  Com<IStream> stream;
  const std::wstring wide = windows::widen(name);
  STATSTG stat{};
  if (FAILED(parent->OpenStream(wide.c_str(), nullptr, kReadChild, 0, stream.out())) ||
      FAILED(stream->Stat(&stat, STATFLAG_NONAME)))
    return false;
  out.resize(static_cast<std::size_t>(std::min<std::uint64_t>(stat.cbSize.QuadPart, limit)));
  std::size_t at = 0;
  while (at < out.size()) {
    const ULONG want = static_cast<ULONG>(std::min<std::size_t>(out.size() - at, 1u << 20));
    ULONG got = 0;
    if (FAILED(stream->Read(out.data() + at, want, &got)) || got == 0) return false;
    at += got;
  }
  return true;
}

Com<IStorage> createStorage(IStorage* parent, const std::string& name, const ClassId& id) {
  Com<IStorage> child;
  const std::wstring wide = windows::widen(name);
  if (FAILED(parent->CreateStorage(wide.c_str(), kWriteChild, 0, 0, child.out()))) return {};
  static const ClassId none{};
  CLSID clsid;
  std::memcpy(&clsid, id.data(), sizeof clsid);
  if (id != none && FAILED(child->SetClass(clsid))) return {};
  return child;
}

bool writeStream(IStorage* parent, const std::string& name, std::string_view data) {
  Com<IStream> stream;
  const std::wstring wide = windows::widen(name);
  if (FAILED(parent->CreateStream(wide.c_str(), kWriteChild, 0, 0, stream.out()))) return false;
  std::size_t at = 0;
  while (at < data.size()) {
    const ULONG want = static_cast<ULONG>(std::min<std::size_t>(data.size() - at, 1u << 20));
    ULONG done = 0;
    if (FAILED(stream->Write(data.data() + at, want, &done)) || done == 0) return false;
    at += done;
  }
  return true;
}

}  // namespace orv::cfb::storage
