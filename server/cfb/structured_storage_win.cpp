#include "server/cfb/structured_storage_win.h"

#include <algorithm>
#include <cstring>

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

Com<IStorage> createInMemory(Com<ILockBytes>& bytes) {
  Com<IStorage> root;
  if (FAILED(CreateILockBytesOnHGlobal(nullptr, TRUE, bytes.out())) ||
      FAILED(StgCreateDocfileOnILockBytes(bytes.get(), kWriteChild, 0, root.out())))
    return {};
  return root;
}

bool contentOf(ILockBytes* bytes, std::string& out) {
  STATSTG stat{};
  HGLOBAL memory = nullptr;
  if (FAILED(bytes->Stat(&stat, STATFLAG_NONAME)) ||
      FAILED(GetHGlobalFromILockBytes(bytes, &memory)))
    return false;
  const void* p = GlobalLock(memory);
  if (!p) return false;
  out.assign(static_cast<const char*>(p), static_cast<std::size_t>(stat.cbSize.QuadPart));
  GlobalUnlock(memory);
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
