#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace orv::cfb {

// A compound file (OLE2 structured storage: BIFF8 workbooks, the VBA project) read through
// libgsf. Streams are named by their path of storage names, "/"-separated
// ("_VBA_PROJECT_CUR/VBA/dir"). Every failure is a ServerError in the user's words naming the
// file by `display`.
class CompoundFile {
 public:
  CompoundFile(const std::string& path, std::string display);
  ~CompoundFile();
  CompoundFile(const CompoundFile&) = delete;
  CompoundFile& operator=(const CompoundFile&) = delete;

  // Every stream, storages first walked in directory order.
  std::vector<std::string> streamPaths() const;
  bool hasStream(std::string_view path) const;
  // The stream's bytes, at most `limit` of them.
  std::string readStream(std::string_view path, size_t limit = SIZE_MAX) const;

  // Writes a new compound file through `fd` (an empty file open for writing): every storage
  // and stream copied with its class id, except the streams named in `replaced`, which get the
  // bytes given there (a path not present is added, its storages made as needed).
  void writeTo(int fd, const std::map<std::string, std::string, std::less<>>& replaced) const;

 private:
  struct Tree;
  std::string display_;
  std::unique_ptr<Tree> tree_;
};

}  // namespace orv::cfb
