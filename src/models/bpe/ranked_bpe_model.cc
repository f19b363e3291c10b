#include "models/bpe/ranked_bpe_model.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <unordered_map>
#include <utility>

namespace corvane {

RankedBpeModel::RankedBpeModel(const RankedTokens& tokens, Repeats repeats) {
  const std::size_t n = tokens.size();
  for (std::size_t k = 0; k < n; ++k) {
    if (tokens.ends[k] == (k ? tokens.ends[k - 1] : 0)) {
      throw std::invalid_argument("a token must have at least one byte (rank " + std::to_string(tokens.ranks[k]) + ")");
    }
    if (tokens.ranks[k] < 0) throw std::invalid_argument("rank " + std::to_string(tokens.ranks[k]) + " is negative");
    max_rank_ = std::max(max_rank_, tokens.ranks[k]);
  }
  int64_t twice = vocab_.assign_all(tokens.bytes, tokens.ends.data(), tokens.ranks.data(), n, kTableSpread);
  if (twice >= 0 && repeats == Repeats::kLastWins) {
    // Rare: keep each token once, at its first place, with its last rank.
    std::unordered_map<std::string_view, std::size_t> place;
    place.reserve(n);
    RankedTokens once;
    for (std::size_t k = 0; k < n; ++k) {
      const auto [it, fresh] = place.emplace(tokens.token(k), once.size());
      if (fresh) {
        once.push(tokens.token(k), tokens.ranks[k]);
      } else {
        once.ranks[it->second] = tokens.ranks[k];
      }
    }
    max_rank_ = -1;
    for (int32_t rank : once.ranks) max_rank_ = std::max(max_rank_, rank);
    twice = vocab_.assign_all(once.bytes, once.ends.data(), once.ranks.data(), once.size(), kTableSpread);
  }
  if (twice >= 0) {
    throw std::invalid_argument("the token of rank " + std::to_string(tokens.ranks[static_cast<std::size_t>(twice)]) +
                                " is given twice");
  }
  finish();
}

RankedBpeModel RankedBpeModel::as_loaded(Vocabulary vocab, std::optional<MergeTable> merges) {
  RankedBpeModel m;
  m.vocab_ = std::move(vocab);
  m.vocab_.finish();
  m.lenient_ = true;
  for (std::size_t e = 0; e < m.vocab_.size(); ++e) {
    m.max_rank_ = std::max(m.max_rank_, m.vocab_.id_at(e));
    if (m.vocab_.id_at(e) < 0) m.negative_ids_ = true;
  }
  m.fill_byte_ids(0);
  if (!merges) {
    // A piece that is itself a vocabulary key is that one token.
    for (std::size_t e = 0; e < m.vocab_.size(); ++e) m.vocab_.set_mark(e, true);
    return m;
  }
  m.merges_ = std::move(*merges);
  m.merges_.finish(m.vocab_);
  m.merge_list_ = true;
  PieceMerger::Workspace ws;
  const MergeListRanker ranker{m.merges_};
  for (std::size_t e = 0; e < m.vocab_.size(); ++e) {
    std::size_t pieces = 0;
    PieceMerger::merge(m.vocab_.text_at(e), ranker, ws, [&](int32_t) { ++pieces; });
    m.vocab_.set_mark(e, pieces == 1);
  }
  return m;
}

void RankedBpeModel::finish() {
  vocab_.finish();
  for (std::size_t e = 0; e < vocab_.size(); ++e) vocab_.set_mark(e, true);
  std::size_t ids = 0;
  vocab_.for_each_id([&](int32_t, uint32_t) { ++ids; });
  if (ids != vocab_.size()) {
    // Some rank belongs to two tokens: name the lowest such rank.
    std::vector<int32_t> ranks;
    ranks.reserve(vocab_.size());
    for (std::size_t e = 0; e < vocab_.size(); ++e) ranks.push_back(vocab_.id_at(e));
    std::sort(ranks.begin(), ranks.end());
    const auto twice = std::adjacent_find(ranks.begin(), ranks.end());
    throw std::invalid_argument("rank " + std::to_string(*twice) + " is given to more than one token");
  }
  fill_byte_ids(-1);
}

void RankedBpeModel::fill_byte_ids(int32_t missing) {
  all_bytes_ = true;
  for (int b = 0; b < 256; ++b) {
    const char c = static_cast<char>(b);
    const int32_t* id = vocab_.find(std::string_view(&c, 1));
    byte_ids_[static_cast<std::size_t>(b)] = id ? *id : missing;
    if (!id) all_bytes_ = false;
  }
}

void RankedBpeModel::missing_byte(std::string_view piece, const int32_t* ids, std::size_t n,
                                  const RankedBpeModel& model) {
  // Walk the pieces: the one without a token is a single byte.
  std::size_t at = 0;
  for (std::size_t i = 0; i < n; ++i) {
    std::string_view bytes;
    if (ids[i] >= 0 && model.token_bytes(ids[i], bytes)) {
      at += bytes.size();
      continue;
    }
    break;
  }
  const unsigned char b = at < piece.size() ? static_cast<unsigned char>(piece[at]) : 0;
  char hex[8];
  std::snprintf(hex, sizeof hex, "0x%02x", b);
  throw std::domain_error(std::string("cannot encode the text: the byte ") + hex +
                          " is not a token and joins into no token here");
}

// Layout: the number of tokens, then for each token in rank order its rank (as a step from
// the previous rank: one byte for dense ranks) and its length, then all token bytes as one
// string in the same order. Ranks strictly increase, so no rank can repeat.
void RankedBpeModel::save(StateWriter& w) const {
  if (lenient_) throw std::logic_error("tables taken as loaded are saved by their owner");
  const std::size_t n = vocab_.size();
  std::vector<uint32_t> order(n);
  for (std::size_t e = 0; e < n; ++e) order[e] = static_cast<uint32_t>(e);
  auto by_rank = [this](uint32_t a, uint32_t b) { return vocab_.id_at(a) < vocab_.id_at(b); };
  if (!std::is_sorted(order.begin(), order.end(), by_rank)) std::sort(order.begin(), order.end(), by_rank);
  w.varint(n);
  int64_t prev = -1;
  std::string arena;
  for (uint32_t e : order) {
    const int32_t rank = vocab_.id_at(e);
    w.next_i32(rank, prev);
    prev = rank;
    const std::string_view text = vocab_.text_at(e);
    w.varint(text.size());
    arena.append(text);
  }
  w.bytes(arena);
}

void RankedBpeModel::restore(StateReader& r) {
  const std::size_t n = r.count(2);  // a rank byte and a length byte at least
  RankedTokens tokens;
  tokens.ends.reserve(n);
  tokens.ranks.reserve(n);
  int64_t prev = -1;
  uint64_t total = 0;
  for (std::size_t k = 0; k < n; ++k) {
    const int32_t rank = r.next_i32(prev);
    if (rank <= prev) r.fail("ranks out of order");
    prev = rank;
    const uint64_t len = r.varint();
    if (len == 0 || len > r.remaining()) r.fail("bad token length");
    total += len;
    tokens.ends.push_back(static_cast<uint32_t>(total));
    tokens.ranks.push_back(rank);
  }
  const std::string_view arena = r.bytes();
  if (arena.size() != total) r.fail("token bytes do not match their lengths");
  if (vocab_.assign_all(arena, tokens.ends.data(), tokens.ranks.data(), n, kTableSpread) >= 0) r.fail("repeated token");
  max_rank_ = n ? tokens.ranks.back() : -1;
  finish();
}

}  // namespace corvane
