#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace corvane {

// Reads the vocabulary and merge list of a HuggingFace tokenizer.json file.
//
// Only "model" / "vocab" and "model" / "merges" are read, plus the top-level "pre_tokenizer"
// and "decoder" to tell whether the file is byte-level. A byte-level file writes each byte
// of a token as a printable stand-in character (see ByteLevel); its tokens and merge parts
// are handed on as the raw bytes they stand for. Any other file's strings are handed on as
// their UTF-8 bytes.
class TokenizerJsonReader {
 public:
  using TokenFn = std::function<void(std::string_view token, int32_t id)>;
  using MergeFn = std::function<void(std::string_view left, std::string_view right, int32_t rank)>;

  // Calls on_token for each vocabulary entry, in order, then on_merge for each merge rule
  // that has a space, with its position in the list as its rank.
  //
  // Throws std::runtime_error "Cannot open tokenizer.json: <path>" when the file cannot be
  // opened and "JSON parse error: <reason>" when it does not start with a well-formed JSON
  // value; a vocabulary value that is not a number or boolean, or a merge element that is
  // not a string, ends the read with the JSON library's own type error.
  static void read(const std::string& path, const TokenFn& on_token, const MergeFn& on_merge);
};

}  // namespace corvane
