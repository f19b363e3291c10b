#pragma once

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "models/bpe/metaspace_cuts.h"
#include "models/model.h"
#include "models/sentencepiece_pieces.h"
#include "models/unigram/piece_trie.h"

namespace corvane {

// The BPE model of a SentencePiece .model file, as SentencePiece encodes: the text starts
// as its characters (a user-defined piece found at a position, the longest one, is one
// symbol that never merges); then, while any two adjacent symbols join into a piece, the
// pair whose piece has the highest score joins, the leftmost on ties. A resulting unused
// piece is split back into the two symbols it was last seen joined from. Pieces that are
// not in the vocabulary are unknown: a run of them becomes one unknown token, or with
// byte fallback the byte tokens of each.
//
// There are no merge ranks here (the order is the pieces' scores), so tokenizer.json's
// merge-list BPE cannot express this model; it works on the whole text at once, cut into
// words where no piece crosses (see MetaspaceCuts).
class SentencePieceBpeModel final : public Model {
 public:
  explicit SentencePieceBpeModel(std::shared_ptr<const SentencePiecePieces> pieces);

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
  class BpeScratch;
  void tokenize_uncached(std::string_view piece, BpeScratch& s, std::vector<PieceToken>& out) const;
  void tokenize_word(std::string_view piece, BpeScratch& s, std::vector<PieceToken>& out) const;

  std::shared_ptr<const SentencePiecePieces> shared_pieces_;
  const SentencePiecePieces& pieces_;  // *shared_pieces_
  PieceTrie user_defined_;  // user-defined pieces, for the initial symbols
  bool has_unused_ = false;
  MetaspaceCuts cuts_;
  bool split_at_metaspace_ = false;  // long texts are cut into words before a "▁"
};

}  // namespace corvane
