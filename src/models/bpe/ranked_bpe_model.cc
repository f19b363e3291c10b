#include "models/bpe/ranked_bpe_model.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <utility>

namespace corvane {

void RankedBpeModel::add(std::string_view token, int64_t rank) {
  if (rank < 0 || rank > std::numeric_limits<int32_t>::max()) {
    throw std::invalid_argument("rank " + std::to_string(rank) + " is out of range (0 to 2147483647)");
  }
  if (token.empty()) throw std::invalid_argument("a token must have at least one byte");
  if (vocab_.find(token)) throw std::invalid_argument("a token is given twice");
  vocab_.assign(token, static_cast<int32_t>(rank));
  max_rank_ = std::max(max_rank_, static_cast<int32_t>(rank));
}

void RankedBpeModel::finish() {
  vocab_.finish();
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
  all_bytes_ = true;
  for (int b = 0; b < 256; ++b) {
    const char c = static_cast<char>(b);
    const int32_t* id = vocab_.find(std::string_view(&c, 1));
    byte_ids_[static_cast<std::size_t>(b)] = id ? *id : -1;
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
  std::vector<std::pair<int32_t, uint32_t>> items;
  items.reserve(n);
  int64_t prev = -1;
  uint64_t total = 0;
  for (std::size_t k = 0; k < n; ++k) {
    const int32_t rank = r.next_i32(prev);
    if (rank <= prev) r.fail("ranks out of order");
    prev = rank;
    const uint64_t len = r.varint();
    if (len == 0 || len > r.remaining()) r.fail("bad token length");
    total += len;
    items.emplace_back(rank, static_cast<uint32_t>(len));
  }
  const std::string_view arena = r.bytes();
  if (arena.size() != total) r.fail("token bytes do not match their lengths");
  vocab_.reserve(n);
  std::size_t at = 0;
  for (const auto& [rank, len] : items) {
    const std::string_view token = arena.substr(at, len);
    at += len;
    if (vocab_.find(token)) r.fail("repeated token");
    vocab_.assign(token, rank);
    max_rank_ = rank;
  }
  finish();
}

}  // namespace corvane
