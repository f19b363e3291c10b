#include "tokenizer/vocabulary.h"

#include <cstring>
#include <limits>
#include <stdexcept>

namespace corvane {

namespace {

inline uint64_t load64(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

inline uint64_t load32(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

inline uint64_t mix(uint64_t a, uint64_t b) {
  __uint128_t r = static_cast<__uint128_t>(a) * b;
  return static_cast<uint64_t>(r) ^ static_cast<uint64_t>(r >> 64);
}

constexpr uint64_t kP0 = 0xa0761d6478bd642full;
constexpr uint64_t kP1 = 0xe7037ed1a0b428dbull;
constexpr uint64_t kP2 = 0x8ebc6af09c88c6e3ull;

}  // namespace

// A multiply-mix hash in the style of wyhash: short keys (almost every token) take one or
// two loads and a single 128-bit multiply.
uint64_t Vocabulary::hash(const char* p, std::size_t n) {
  uint64_t seed = kP0 ^ (static_cast<uint64_t>(n) * kP2);
  uint64_t a, b;
  if (n <= 16) {
    if (n >= 8) {
      a = load64(p);
      b = load64(p + n - 8);
    } else if (n >= 4) {
      a = load32(p);
      b = load32(p + n - 4);
    } else if (n > 0) {
      const auto* u = reinterpret_cast<const unsigned char*>(p);
      a = (static_cast<uint64_t>(u[0]) << 16) | (static_cast<uint64_t>(u[n >> 1]) << 8) | u[n - 1];
      b = 0;
    } else {
      a = b = 0;
    }
  } else {
    std::size_t i = n;
    while (i > 16) {
      seed = mix(load64(p) ^ kP1, load64(p + 8) ^ seed);
      p += 16;
      i -= 16;
    }
    a = load64(p + i - 16);
    b = load64(p + i - 8);
  }
  return mix(kP1 ^ n, mix(a ^ kP1, b ^ seed));
}

int32_t Vocabulary::find_entry(std::string_view token) const {
  if (slots_.empty()) return -1;
  const uint64_t h = hash(token.data(), token.size());
  const uint32_t tag = static_cast<uint32_t>(h >> 32);
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = static_cast<std::size_t>(h) & mask;; i = (i + 1) & mask) {
    const Slot& s = slots_[i];
    if (s.entry_plus_one == 0) return -1;
    if (s.tag == tag) {
      const Entry& e = entries_[s.entry_plus_one - 1];
      if (e.len == token.size() &&
          (e.len == 0 || std::memcmp(arena_.data() + e.offset, token.data(), e.len) == 0)) {
        return static_cast<int32_t>(s.entry_plus_one - 1);
      }
    }
  }
}

void Vocabulary::grow() {
  const std::size_t cap = slots_.empty() ? 1024 : slots_.size() * 2;
  std::vector<Slot> fresh(cap, Slot{0, 0});
  const std::size_t mask = cap - 1;
  for (std::size_t e = 0; e < entries_.size(); ++e) {
    const Entry& en = entries_[e];
    const uint64_t h = hash(arena_.data() + en.offset, en.len);
    std::size_t i = static_cast<std::size_t>(h) & mask;
    while (fresh[i].entry_plus_one != 0) i = (i + 1) & mask;
    fresh[i] = Slot{static_cast<uint32_t>(e + 1), static_cast<uint32_t>(h >> 32)};
  }
  slots_.swap(fresh);
}

int32_t Vocabulary::insert_text(std::string_view token, uint64_t h) {
  if (arena_.size() + token.size() > std::numeric_limits<uint32_t>::max() ||
      entries_.size() >= std::numeric_limits<int32_t>::max() - 1) {
    throw std::length_error("vocabulary too large");
  }
  if ((entries_.size() + 1) * 2 > slots_.size()) grow();
  const uint32_t entry = static_cast<uint32_t>(entries_.size());
  entries_.push_back(Entry{static_cast<uint32_t>(arena_.size()),
                           static_cast<uint32_t>(token.size()), 0});
  arena_.append(token.data(), token.size());
  if (token.size() > max_len_) max_len_ = token.size();
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = static_cast<std::size_t>(h) & mask;
  while (slots_[i].entry_plus_one != 0) i = (i + 1) & mask;
  slots_[i] = Slot{entry + 1, static_cast<uint32_t>(h >> 32)};
  return static_cast<int32_t>(entry);
}

void Vocabulary::assign(std::string_view token, int32_t id) {
  int32_t e = find_entry(token);
  if (e < 0) e = insert_text(token, hash(token.data(), token.size()));
  entries_[static_cast<std::size_t>(e)].id = id;
  pending_ids_.emplace_back(id, static_cast<uint32_t>(e));
}

void Vocabulary::finish() {
  dense_.clear();
  sparse_.clear();
  if (pending_ids_.empty()) {
    use_dense_ = true;
    dense_base_ = 0;
    return;
  }
  int64_t lo = pending_ids_.front().first, hi = lo;
  for (const auto& [id, entry] : pending_ids_) {
    if (id < lo) lo = id;
    if (id > hi) hi = id;
  }
  const int64_t span = hi - lo + 1;
  use_dense_ = span <= static_cast<int64_t>(pending_ids_.size()) * 2 + 1024;
  if (use_dense_) {
    dense_base_ = static_cast<int32_t>(lo);
    dense_.assign(static_cast<std::size_t>(span), -1);
    for (const auto& [id, entry] : pending_ids_) {
      dense_[static_cast<std::size_t>(static_cast<int64_t>(id) - lo)] = static_cast<int32_t>(entry);
    }
  } else {
    sparse_.reserve(pending_ids_.size());
    for (const auto& [id, entry] : pending_ids_) sparse_[id] = entry;
  }
  pending_ids_.clear();
  pending_ids_.shrink_to_fit();
  arena_.shrink_to_fit();
  entries_.shrink_to_fit();
}

bool Vocabulary::token_of(int32_t id, std::string_view& out) const {
  int64_t entry = -1;
  if (use_dense_) {
    const int64_t k = static_cast<int64_t>(id) - dense_base_;
    if (k >= 0 && k < static_cast<int64_t>(dense_.size())) entry = dense_[static_cast<std::size_t>(k)];
  } else {
    auto it = sparse_.find(id);
    if (it != sparse_.end()) entry = it->second;
  }
  if (entry < 0) return false;
  out = text_at(static_cast<std::size_t>(entry));
  return true;
}

}  // namespace corvane
