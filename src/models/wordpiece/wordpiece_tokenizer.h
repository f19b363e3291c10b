#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/vocabulary.h"
#include "models/wordpiece/wordpiece_model.h"

namespace corvane {

// A WordPiece tokenizer loaded from a one-token-per-line vocab.txt file.
//
// Text is split at the six ASCII whitespace bytes into words, and each word greedily into
// the longest vocabulary pieces from the left; every piece after the first is looked up
// with "##" in front. A word that cannot be split completely becomes UNK_ID. That is the
// pipeline's WordPiece model in its vocab.txt reading (WordPieceModel::for_vocab_txt)
// behind a split at whitespace, with no normalizer.
//
// Immutable once constructed: every public method only reads the tables.
class WordPieceTokenizer {
 public:
  static constexpr int32_t UNK_ID = WordPieceModel::kVocabTxtUnknownId;

  explicit WordPieceTokenizer(const std::string& vocab_txt_path);

  std::vector<int32_t> encode(std::string_view text) const;
  std::string decode(const std::vector<int32_t>& ids) const;
  // The number of ids `encode` returns for `text`, without building them.
  std::size_t count(std::string_view text) const;

  // Encodes `n` texts one after the other: appends the ids of texts[i] to `ids` and sets
  // ends[i] to the size of `ids` after them.
  void encode_many(const std::string_view* texts, std::size_t n, std::vector<int32_t>& ids,
                   std::size_t* ends) const;
  // The same for counting: counts[i] is count(texts[i]).
  void count_many(const std::string_view* texts, std::size_t n, std::size_t* counts) const;

  // The vocabulary in a compact, versioned binary form, and back; the trie is rebuilt.
  // `deserialize` throws std::invalid_argument "invalid WordPieceTokenizer pickle state:
  // ..." on anything malformed, and takes time linear in the size of the state.
  std::string serialize() const;
  static WordPieceTokenizer deserialize(std::string_view state);

 private:
  explicit WordPieceTokenizer(Vocabulary vocab);

  static Vocabulary load_vocab(const std::string& path);

  // Appends the ids of one word (a non-empty run of non-whitespace bytes) to `ids` when
  // kCollect, and returns how many ids the word yields: the model's split of the word.
  template <bool kCollect>
  std::size_t wordpiece_tokenize(const unsigned char* word, std::size_t len, std::vector<int32_t>& ids) const {
    return model_.word_ids<kCollect>(word, len, ids);
  }
  template <bool kCollect>
  std::size_t encode_text(std::string_view text, std::vector<int32_t>& ids) const;

  WordPieceModel model_;  // its vocabulary is exactly as loaded: token text <-> id
};

}  // namespace corvane
