#include "core/file_bytes.h"

#include <sys/stat.h>

#include <cstdio>
#include <memory>

namespace corvane {

FileBytes::Status FileBytes::read_all(const std::string& path, std::string& data) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!in) return Status::kCannotOpen;
  std::size_t have = data.size();
  struct stat st {};
  if (::fstat(::fileno(in.get()), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    data.resize(have + static_cast<std::size_t>(st.st_size));
    have += std::fread(data.data() + have, 1, static_cast<std::size_t>(st.st_size), in.get());
    data.resize(have);
  }
  constexpr std::size_t kBlock = 1 << 16;
  while (!std::ferror(in.get()) && !std::feof(in.get())) {
    data.resize(have + kBlock);
    have += std::fread(data.data() + have, 1, kBlock, in.get());
    data.resize(have);
  }
  return std::ferror(in.get()) ? Status::kCannotRead : Status::kOk;
}

bool FileBytes::read(const std::string& path, std::string& data) {
  return read_all(path, data) != Status::kCannotOpen;
}

}  // namespace corvane
