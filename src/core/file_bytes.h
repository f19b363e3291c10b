#pragma once

#include <string>

namespace corvane {

// Whole-file reads for the loaders: one buffer, no per-line allocation.
class FileBytes {
 public:
  // Appends the bytes of the file at `path` to `data`. Returns false when the file cannot
  // be opened; a read failure part-way ends the read quietly, keeping what was read.
  static bool read(const std::string& path, std::string& data);
};

}  // namespace corvane
