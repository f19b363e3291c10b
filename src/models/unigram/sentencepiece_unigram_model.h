#pragma once

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "models/bpe/metaspace_cuts.h"
#include "models/model.h"
#include "models/sentencepiece_pieces.h"
#include "models/unigram/piece_trie.h"
#include "models/unigram/word_paths.h"

namespace corvane {

// The Unigram model of a SentencePiece .model file, as SentencePiece encodes (its
// optimized Viterbi, in its float arithmetic): normal pieces score their score, a
// user-defined piece of n bytes n times the highest normal score (at least the smallest
// positive float) less 0.1, unused pieces are never chosen, and a character that starts
// no one-character piece may be the unknown token at the lowest normal score less 10.
// Ties keep the path found first. Runs of unknown characters become one unknown token, or
// with byte fallback the byte tokens of each.
//
// SentencePiece searches the whole text at once, adding scores in float, so a word's best
// path could in principle depend on the (rounded) total of everything before it. Texts are
// still cut into words where no piece crosses (see MetaspaceCuts), and each word's path is
// found once, with the smallest lead it has over any other choice at its token ends. Where
// that lead is wider than all rounding the running total can cause, the path is the one
// the whole-text search takes, and the total is carried on by adding its scores exactly as
// the search would; otherwise the word is searched from the running total itself.
class SentencePieceUnigramModel final : public Model {
 public:
  // Throws std::invalid_argument "no pieces are loaded." when no piece takes part in
  // segmentation.
  explicit SentencePieceUnigramModel(std::shared_ptr<const SentencePiecePieces> pieces);

  std::unique_ptr<Scratch> new_scratch() const override;
  void tokenize(std::string_view piece, Scratch* scratch, std::vector<PieceToken>& out) const override;

  std::optional<uint32_t> token_to_id(std::string_view token) const override { return pieces_.find(token); }
  std::optional<std::string_view> id_to_token(uint32_t id) const override {
    if (id >= pieces_.size()) return std::nullopt;
    return std::string_view(pieces_[id].text);
  }
  std::size_t vocab_size() const override { return pieces_.size(); }
  std::size_t id_bound() const override { return pieces_.size(); }
  void for_each_token(const std::function<void(std::string_view, uint32_t)>& fn) const override {
    pieces_.for_each_token(fn);
  }

  // Shared with the decoder, which looks tokens up the same way.
  const std::shared_ptr<const SentencePiecePieces>& pieces() const { return shared_pieces_; }

 private:
  class UnigramScratch;
  struct Best {
    float score;
    int32_t start;  // -1 while no path ends here
    int32_t id;
  };
  // The best path of `text` from the running total `total`, appended to `out` (unknown
  // characters as they are found); returns the total at its end.
  float search(std::string_view text, float total, std::vector<Best>& best, std::vector<PieceToken>& out) const;
  // Calls offer(start, end, id, score) for each candidate token of text p[0, n): by start,
  // the pieces found there shortest first, then the unknown character where no piece of
  // one character starts. A search reads its total at `start` when offered, which no
  // earlier offer changed (every candidate ends after it starts).
  template <class Offer>
  void for_each_candidate(const unsigned char* p, std::size_t n, Offer&& offer) const;
  // Joins or spells in bytes the unknown tokens of out[first, end), tokens of `text`.
  void finish_unknowns(std::string_view text, std::size_t first, std::vector<PieceToken>& out) const;
  // Appends the tokens of one word (or of a whole text that is not cut) from the running
  // total; returns the total after it.
  float tokenize_word(std::string_view word, float total, UnigramScratch& s, std::vector<PieceToken>& out) const;
  // Finds the path of `word` in exact arithmetic (double, far finer than the margins it
  // keeps) and caches it with its smallest lead; words with unknown characters, or whose
  // choices tie, are cached as never usable.
  WordPaths::Path analyse(std::string_view word, uint64_t hash, UnigramScratch& s) const;
  // The widest difference rounding can make between two candidate totals within a word of
  // `bytes` bytes searched from `total`.
  double rounding_bound(float total, std::size_t bytes) const;

  std::shared_ptr<const SentencePiecePieces> shared_pieces_;
  const SentencePiecePieces& pieces_;  // *shared_pieces_
  PieceTrie trie_;
  // What the search needs of each id, packed: its score as a candidate, and whether it
  // takes part at all (unused pieces do not).
  struct Candidate {
    float score;
    bool usable;
  };
  std::vector<Candidate> candidates_;
  float min_score_;
  float max_score_;
  float unk_score_;
  double max_abs_score_ = 0;  // of any candidate, the unknown one included
  MetaspaceCuts cuts_;
  bool split_words_ = false;
};

}  // namespace corvane
