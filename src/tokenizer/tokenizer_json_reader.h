#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace corvane {

// Reads the vocabulary and merge list of a HuggingFace tokenizer.json file.
class TokenizerJsonReader {
 public:
  using TokenFn = std::function<void(std::string_view token, int32_t id)>;
  using MergeFn = std::function<void(std::string_view left, std::string_view right, int32_t rank)>;

  // Calls on_token for each vocabulary entry, in order, then on_merge for each merge rule
  // that has a space, with its position in the list as its rank.
  static void read(const std::string& path, const TokenFn& on_token, const MergeFn& on_merge);
};

}  // namespace corvane
