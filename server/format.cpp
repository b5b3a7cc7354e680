#include "server/format.h"

#include <fstream>

#include "server/server_error.h"

namespace orv {

FileFormat detectFormat(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return FileFormat::Unknown;
  char head[8] = {};
  in.read(head, sizeof head);
  if (in.gcount() == 0) return FileFormat::Empty;
  if (head[0] == 'P' && head[1] == 'K') return FileFormat::Ooxml;
  return FileFormat::Unknown;
}

std::unique_ptr<Engine> openEngine(const std::string& path) {
  throw ServerError("Cannot open '" + path + "': this workbook format is not supported yet.");
}

}  // namespace orv
