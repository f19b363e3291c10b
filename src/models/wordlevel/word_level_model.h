#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/vocabulary.h"
#include "models/model.h"

namespace corvane {

// The "WordLevel" model of a tokenizer.json file: a piece is the one token of its whole
// text, or the unknown token.
class WordLevelModel : public Model {
 public:
  // `vocab` in source order (a later equal token replaces an earlier one's id).
  WordLevelModel(const std::vector<std::pair<std::string_view, uint32_t>>& vocab, std::string unk_token);

  // Throws std::runtime_error "WordLevel error: Missing [UNK] token from the vocabulary"
  // for a piece that is not in the vocabulary when the unknown token is not either. An
  // empty piece is looked up like any other.
  void tokenize(std::string_view piece, Scratch* scratch, std::vector<PieceToken>& out) const override;

  std::optional<uint32_t> token_to_id(std::string_view token) const override;
  std::optional<std::string_view> id_to_token(uint32_t id) const override;
  std::size_t vocab_size() const override { return vocab_.size(); }
  void for_each_token(const std::function<void(std::string_view, uint32_t)>& fn) const override;

  const std::string& unk_token() const { return unk_token_; }

 private:
  Vocabulary vocab_;
  std::string unk_token_;
  int64_t unk_id_ = -1;
};

}  // namespace corvane
