#include "models/wordpiece/wordpiece_model.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <utility>

namespace corvane {

WordPieceModel::WordPieceModel(const std::vector<std::pair<std::string_view, uint32_t>>& vocab, std::string unk_token,
                               std::string continuing_subword_prefix, uint64_t max_input_chars_per_word)
    : unk_token_(std::move(unk_token)), prefix_(std::move(continuing_subword_prefix)), max_chars_(max_input_chars_per_word) {
  vocab_.reserve(vocab.size());
  for (const auto& [token, id] : vocab) vocab_.assign(token, static_cast<int32_t>(id));
  vocab_.finish();
  build_trie(false);
}

WordPieceModel::WordPieceModel(Vocabulary vocab, std::string unk_token, std::string prefix, uint64_t max_chars,
                               bool whitespace_free_keys)
    : vocab_(std::move(vocab)), unk_token_(std::move(unk_token)), prefix_(std::move(prefix)), max_chars_(max_chars) {
  build_trie(whitespace_free_keys);
}

WordPieceModel WordPieceModel::for_vocab_txt(Vocabulary vocab) {
  return WordPieceModel(std::move(vocab), std::string(), "##", UINT64_MAX, true);
}

void WordPieceModel::build_trie(bool whitespace_free_keys) {
  auto is_space = [](unsigned char c) { return c == ' ' || static_cast<unsigned>(c - '\t') < 5u; };
  std::vector<DoubleArrayTrie::Key> keys;
  keys.reserve(vocab_.size());
  for (std::size_t e = 0; e < vocab_.size(); ++e) {
    const std::string_view t = vocab_.text_at(e);
    const auto* text = reinterpret_cast<const unsigned char*>(t.data());
    if (whitespace_free_keys && std::any_of(text, text + t.size(), is_space)) continue;
    keys.push_back(DoubleArrayTrie::Key{text, static_cast<uint32_t>(t.size()), vocab_.id_at(e)});
  }
  trie_.build(std::move(keys));
  continuation_root_ = trie_.walk(DoubleArrayTrie::kRoot, prefix_);
  if (const int32_t* id = vocab_.find(unk_token_)) unk_id_ = static_cast<uint32_t>(*id);
}

void WordPieceModel::push_unk(std::size_t len, std::vector<PieceToken>& out) const {
  if (unk_id_ < 0) throw std::runtime_error("WordPiece error: Missing [UNK] token from the vocabulary");
  out.push_back(PieceToken{static_cast<uint32_t>(unk_id_), 0, static_cast<uint32_t>(len)});
}

void WordPieceModel::tokenize(std::string_view piece, Scratch*, std::vector<PieceToken>& out) const {
  const auto* p = reinterpret_cast<const unsigned char*>(piece.data());
  const std::size_t n = piece.size();
  if (n >= UINT32_MAX) throw std::length_error("piece too long (4 GiB or more)");
  uint64_t chars = 0;
  for (std::size_t i = 0; i < n; ++i) chars += (p[i] & 0xC0) != 0x80;
  if (chars > max_chars_) {
    push_unk(n, out);
    return;
  }
  const std::size_t mark = out.size();
  const bool whole = longest_match_first<true>(trie_, continuation_root_, p, n,
                                               [&](int32_t id, std::size_t begin, std::size_t end) {
                                                 out.push_back(PieceToken{static_cast<uint32_t>(id),
                                                                          static_cast<uint32_t>(begin),
                                                                          static_cast<uint32_t>(end)});
                                               });
  if (!whole) {
    out.resize(mark);
    push_unk(n, out);
  }
}

std::optional<uint32_t> WordPieceModel::token_to_id(std::string_view token) const {
  const int32_t* id = vocab_.find(token);
  if (id == nullptr) return std::nullopt;
  return static_cast<uint32_t>(*id);
}

std::optional<std::string_view> WordPieceModel::id_to_token(uint32_t id) const {
  std::string_view t;
  if (!vocab_.token_of(static_cast<int32_t>(id), t)) return std::nullopt;
  return t;
}

void WordPieceModel::for_each_token(const std::function<void(std::string_view, uint32_t)>& fn) const {
  for (std::size_t e = 0; e < vocab_.size(); ++e) fn(vocab_.text_at(e), static_cast<uint32_t>(vocab_.id_at(e)));
}

}  // namespace corvane
