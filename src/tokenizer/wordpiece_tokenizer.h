#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace corvane {

class WordPieceTokenizer {
 public:
  static constexpr int32_t UNK_ID = 100;
  explicit WordPieceTokenizer(const std::string& vocab_txt_path);
  std::vector<int32_t> encode(const std::string& text) const;
  std::string decode(const std::vector<int32_t>& ids) const;
  std::size_t count(const std::string& text) const;
};

}  // namespace corvane
