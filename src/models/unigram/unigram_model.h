#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/vocabulary.h"
#include "models/model.h"
#include "models/unigram/piece_trie.h"

namespace corvane {

// The Unigram model of a tokenizer.json, as HuggingFace `tokenizers` runs it.
//
// The vocabulary is a list of (piece, score); the id of a piece is its index. A piece is
// cut into the sequence of vocabulary pieces with the highest total score (Viterbi over
// the byte positions of its characters). A character that starts no one-character piece
// may also be covered by the unknown token at the score of the lowest score less 10; a run
// of such tokens becomes one token. A run that is not a piece is then replaced, with byte
// fallback, by the <0xXX> tokens of its bytes when all of them exist, else by the unknown
// token. Ties go to the path found first: the end of a token is given to the first start
// (leftmost) and, from one start, to the shortest piece.
//
// A piece given twice is found under its last id (the earlier id still decodes).
//
// Immutable once built. Each thread's Scratch holds the work arrays and a cache of the
// tokens of short pieces.
class UnigramModel final : public Model {
 public:
  // Throws std::invalid_argument "The vocabulary is empty but at least <unk> is needed"
  // or "The `unk_id` is larger than vocabulary size" as the peer refuses such models.
  UnigramModel(std::vector<std::pair<std::string, double>> vocab, std::optional<std::size_t> unk_id,
               bool byte_fallback);

  std::unique_ptr<Scratch> new_scratch() const override;
  // Throws std::runtime_error "Encountered an unknown token but `unk_id` is missing" when a
  // character starts no one-character piece and the model has no unknown token.
  void tokenize(std::string_view piece, Scratch* scratch, std::vector<PieceToken>& out) const override;

  std::optional<uint32_t> token_to_id(std::string_view token) const override;
  std::optional<std::string_view> id_to_token(uint32_t id) const override;
  std::size_t vocab_size() const override { return pieces_.size(); }
  void for_each_token(const std::function<void(std::string_view, uint32_t)>& fn) const override;

  std::optional<std::size_t> unk_id() const { return unk_id_; }
  bool byte_fallback() const { return byte_fallback_; }
  double score(uint32_t id) const { return scores_[id]; }

 private:
  class UnigramScratch;
  struct Best {
    double score;
    int32_t start;  // -1 while no path ends here
    int32_t id;
  };
  void tokenize_uncached(std::string_view piece, std::vector<Best>& best, std::vector<PieceToken>& out) const;

  std::vector<std::string> pieces_;
  std::vector<double> scores_;
  Vocabulary token_ids_;  // piece -> its last id
  PieceTrie trie_;
  double unk_score_;
  std::optional<std::size_t> unk_id_;
  bool byte_fallback_;
  std::vector<int32_t> byte_ids_;  // id of <0xXX> for each byte, or -1 (with byte fallback)
};

}  // namespace corvane
