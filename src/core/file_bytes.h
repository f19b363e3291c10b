#pragma once

#include <string>

namespace corvane {

// Whole-file reads for the loaders: one buffer, no per-line allocation. A regular file is
// read straight into `data` at its size; anything else (a pipe, a file that grows) in
// blocks until its end.
class FileBytes {
 public:
  enum class Status { kOk, kCannotOpen, kCannotRead };

  // Appends the bytes of the file at `path` to `data`. Returns false when the file cannot
  // be opened; a read failure part-way ends the read quietly, keeping what was read.
  static bool read(const std::string& path, std::string& data);

  // The same, telling a read failure part-way (kCannotRead, `data` then holds what was
  // read) from a file that cannot be opened.
  static Status read_all(const std::string& path, std::string& data);
};

}  // namespace corvane
