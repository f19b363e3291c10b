#pragma once

#include <string>

namespace corvane {

class Compressor {
 public:
  Compressor();
  std::string compress(const std::string& text) const;
  std::string decompress(const std::string& text) const;
};

}  // namespace corvane
