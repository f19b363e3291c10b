#include "models/wordlevel/word_level_model.h"

#include <stdexcept>

namespace corvane {

WordLevelModel::WordLevelModel(const std::vector<std::pair<std::string_view, uint32_t>>& vocab, std::string unk_token)
    : unk_token_(std::move(unk_token)) {
  vocab_.reserve(vocab.size());
  for (const auto& [token, id] : vocab) vocab_.assign(token, static_cast<int32_t>(id));
  vocab_.finish();
  if (const int32_t* id = vocab_.find(unk_token_)) unk_id_ = static_cast<uint32_t>(*id);
}

void WordLevelModel::tokenize(std::string_view piece, Scratch*, std::vector<PieceToken>& out) const {
  if (piece.size() >= UINT32_MAX) throw std::length_error("piece too long (4 GiB or more)");
  const auto end = static_cast<uint32_t>(piece.size());
  if (const int32_t* id = vocab_.find(piece)) {
    out.push_back(PieceToken{static_cast<uint32_t>(*id), 0, end});
    return;
  }
  if (unk_id_ < 0) throw std::runtime_error("WordLevel error: Missing [UNK] token from the vocabulary");
  out.push_back(PieceToken{static_cast<uint32_t>(unk_id_), 0, end});
}

std::optional<uint32_t> WordLevelModel::token_to_id(std::string_view token) const {
  const int32_t* id = vocab_.find(token);
  if (id == nullptr) return std::nullopt;
  return static_cast<uint32_t>(*id);
}

std::optional<std::string_view> WordLevelModel::id_to_token(uint32_t id) const {
  std::string_view t;
  if (!vocab_.token_of(static_cast<int32_t>(id), t)) return std::nullopt;
  return t;
}

void WordLevelModel::for_each_token(const std::function<void(std::string_view, uint32_t)>& fn) const {
  for (std::size_t e = 0; e < vocab_.size(); ++e) fn(vocab_.text_at(e), static_cast<uint32_t>(vocab_.id_at(e)));
}

}  // namespace corvane
