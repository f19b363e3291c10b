#include "core/file_bytes.h"

#include <fstream>

namespace corvane {

bool FileBytes::read(const std::string& path, std::string& data) {
  std::ifstream f(path, std::ios::binary);
  if (!f.is_open()) return false;
  char buf[1 << 16];
  while (f.read(buf, sizeof buf) || f.gcount() > 0) data.append(buf, static_cast<std::size_t>(f.gcount()));
  return true;
}

}  // namespace corvane
