#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/vocabulary.h"
#include "models/model.h"
#include "models/wordpiece/double_array_trie.h"
#include "models/wordpiece/longest_match_first.h"

namespace corvane {

// The "WordPiece" model of a tokenizer.json file, as HuggingFace tokenizers runs it.
//
// A piece of more than max_input_chars_per_word characters is the unknown token. Else it
// is split greedily from the left into the longest vocabulary tokens that end on a
// character boundary, each one after the first looked up with the continuing-subword
// prefix in front; when some position starts no token, the whole piece is the unknown
// token. Offsets are byte offsets into the piece.
//
// The same model read from a vocab.txt file (`for_vocab_txt`, WordPieceTokenizer's) splits
// a word at any byte rather than at character boundaries, has no length limit, and makes
// an unsplittable word the fixed id 100 whatever the vocabulary holds.
//
// The longest token at a position is found with one walk down a trie of the vocabulary,
// so a piece costs time linear in its length times the longest token's.
class WordPieceModel : public Model {
 public:
  // `vocab` in source order (a later equal token replaces an earlier one's id).
  WordPieceModel(const std::vector<std::pair<std::string_view, uint32_t>>& vocab, std::string unk_token,
                 std::string continuing_subword_prefix, uint64_t max_input_chars_per_word);

  // The id of an unsplittable word in the vocab.txt reading.
  static constexpr int32_t kVocabTxtUnknownId = 100;
  // The vocab.txt reading of `vocab` (finished): prefix "##", splits at any byte, no length
  // limit. Tokens holding one of the six ASCII whitespace bytes can never be a piece of a
  // word split at them, and stay out of the trie.
  static WordPieceModel for_vocab_txt(Vocabulary vocab);

  // Appends the ids of one word of the vocab.txt reading (a run of non-whitespace bytes)
  // to `ids` when kCollect, kVocabTxtUnknownId alone when the word cannot be split (the
  // pieces matched before are dropped). Returns how many ids the word yields.
  template <bool kCollect>
  std::size_t word_ids(const unsigned char* word, std::size_t len, std::vector<int32_t>& ids) const;

  const Vocabulary& vocabulary() const { return vocab_; }

  // Throws std::runtime_error "WordPiece error: Missing [UNK] token from the vocabulary"
  // when the piece is the unknown token and the vocabulary lacks it. An empty piece gives
  // no token.
  void tokenize(std::string_view piece, Scratch* scratch, std::vector<PieceToken>& out) const override;

  std::optional<uint32_t> token_to_id(std::string_view token) const override;
  std::optional<std::string_view> id_to_token(uint32_t id) const override;
  std::size_t vocab_size() const override { return vocab_.size(); }
  void for_each_token(const std::function<void(std::string_view, uint32_t)>& fn) const override;

  const std::string& unk_token() const { return unk_token_; }
  const std::string& continuing_subword_prefix() const { return prefix_; }
  uint64_t max_input_chars_per_word() const { return max_chars_; }

 private:
  WordPieceModel(Vocabulary vocab, std::string unk_token, std::string prefix, uint64_t max_chars,
                 bool whitespace_free_keys);
  void build_trie(bool whitespace_free_keys);
  void push_unk(std::size_t len, std::vector<PieceToken>& out) const;

  Vocabulary vocab_;
  DoubleArrayTrie trie_;
  std::string unk_token_;
  std::string prefix_;
  uint64_t max_chars_;
  int64_t unk_id_ = -1;
  int32_t continuation_root_;  // the trie node of the prefix (a dead node when none)
};

template <bool kCollect>
std::size_t WordPieceModel::word_ids(const unsigned char* word, std::size_t len, std::vector<int32_t>& ids) const {
  const std::size_t mark = ids.size();
  std::size_t pieces = 0;
  const bool whole = longest_match_first<false>(trie_, continuation_root_, word, len,
                                                [&](int32_t id, std::size_t, std::size_t) {
                                                  if constexpr (kCollect) ids.push_back(id);
                                                  ++pieces;
                                                });
  if (whole) return pieces;
  if constexpr (kCollect) {
    ids.resize(mark);
    ids.push_back(kVocabTxtUnknownId);
  }
  return 1;
}

}  // namespace corvane
