#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "added_tokens/token_matcher.h"
#include "models/model.h"
#include "normalizers/normalizer.h"
#include "pre_tokenizers/hf/pre_tokenized_text.h"

namespace corvane {

// A token added to a tokenizer beside its model's vocabulary (tokenizer.json's
// "added_tokens"), with the options that say where it is found in a text.
struct AddedToken {
  std::string content;
  bool single_word = false;
  bool lstrip = false;
  bool rstrip = false;
  bool normalized = true;
  bool special = false;
  bool operator==(const AddedToken&) const = default;
};

// The added tokens of a tokenizer, and the first step of encoding: finding them in a text
// before the pipeline sees it, exactly as HuggingFace's AddedVocabulary does.
//
// Immutable once built; one object may serve several threads at once.
class AddedVocabulary {
 public:
  AddedVocabulary() = default;

  // Adds `tokens` in order as the peer's add_tokens does (a token already in the model's
  // vocabulary takes that id, any other the next id past the model's and the added ones;
  // empty contents and repeats are skipped). `normalizer` (may be null) normalizes the
  // content of the tokens marked `normalized`, which are then found in normalized text.
  // Where two tokens are found by the same text (say "A" and "a" under Lowercase), the one
  // whose id was given out first is found (the peer picks by chance); a token that
  // normalizes to nothing is never found (the peer's matcher misbehaves on it). Throws
  // std::invalid_argument "added token content is not valid UTF-8".
  AddedVocabulary(std::vector<AddedToken> tokens, const Model& model, const Normalizer* normalizer);

  // The tokens of a tokenizer.json "added_tokens" array (null: none), in order. Each entry
  // needs every field the peer requires: "id" (an unsigned 32-bit integer, checked and then
  // ignored: ids follow from the order), "content" (a string) and the booleans
  // "single_word", "lstrip", "rstrip", "normalized" and "special"; other fields are ignored.
  // Throws std::invalid_argument naming the entry and field that are wrong, such as
  // 'added_tokens[2]: missing field "lstrip"'.
  static std::vector<AddedToken> tokens_from_json(const nlohmann::json& array);

  // Cuts `text` (well-formed UTF-8) into pieces: each added token found becomes a piece
  // holding its id; the rest is normalized by `normalizer` (may be null) and pieces are
  // made of it, as the peer's extract_and_normalize does. Offsets of every piece refer to
  // `text`. Pieces are in text order but may overlap as the peer's do (a token with rstrip
  // followed by a token that starts with whitespace). Fails as the peer does, with
  // std::runtime_error "AddedVocabulary bad split", where an lstrip token lies inside what
  // an rstrip token took; throws std::invalid_argument "text is not valid UTF-8", and
  // std::length_error when overlapping pieces would repeat more than 32 MiB of text.
  hf::PreTokenizedText extract_and_normalize(std::string_view text, const Normalizer* normalizer) const;

  // The number of distinct contents added.
  std::size_t size() const;
  std::optional<uint32_t> token_to_id(std::string_view content) const;
  // The text of an added token's id as the peer decodes it: the normalized content of a
  // token marked `normalized` when the normalizer changes it, else the content.
  std::optional<std::string_view> id_to_token(uint32_t id) const;
  // Whether `content` is the content of a special added token.
  bool is_special(std::string_view content) const;
  // Calls fn(token, id) for each added token id, in the order the ids were first given out
  // (a content added again with other options replaces the options it had).
  void for_each(const std::function<void(const AddedToken&, uint32_t)>& fn) const;

 private:
  // One piece of a text found by find_matches: bytes [begin, end), the id of the added
  // token it is or -1. Pieces may overlap where a stripped token ran into the next one.
  struct Split {
    int64_t id;
    std::size_t begin;
    std::size_t end;
  };

  // The pieces of `sentence` as the peer's find_matches cuts it with `matcher`: the
  // leftmost-longest matches, the single_word ones kept only between non-word characters,
  // grown over the whitespace around them by lstrip and rstrip, and the text between them.
  // `overlap` counts the bytes pieces repeat of earlier ones, over a whole text.
  void find_matches(std::string_view sentence, const TokenMatcher& matcher, std::vector<Split>& out,
                    std::size_t& overlap) const;
  // Builds the two matchers from the tokens (after all are added).
  void build_matchers();

  std::unordered_map<std::string, uint32_t> ids_;            // content -> id
  std::unordered_map<uint32_t, AddedToken> tokens_;          // id -> token
  std::vector<uint32_t> order_;                              // ids, in the order first given out
  std::unordered_map<uint32_t, std::string> normalized_forms_;  // id -> content once normalized, where it differs
  std::unordered_set<std::string> special_;                  // contents ever added as special
  TokenMatcher split_;             // the tokens found in the original text
  TokenMatcher split_normalized_;  // the tokens found in normalized text
};

}  // namespace corvane
