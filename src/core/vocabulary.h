#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "formats/state_reader.h"
#include "formats/state_writer.h"

namespace corvane {

// The two token maps every tokenizer keeps: token text -> id and id -> token text.
//
// Token texts are raw bytes, stored once each in one contiguous arena. Lookups take a
// string_view, so a caller asking about a byte range of its input never builds a string.
// The text -> id side is an open-addressing hash table whose 16-byte slots hold the first
// eight bytes, the length and the id of their token: a lookup of a short token (nearly all
// of them) touches one cache line. The id -> text side is a flat array when the ids are
// dense (the normal case) and a hash map otherwise.
//
// Loading is append-only: `assign` is called once per source entry, in source order, and
// `finish` once at the end. After `finish` the object is only read, so any number of
// threads may look things up at once.
class Vocabulary {
 public:
  // Maps `token` to `id` (replacing the id of an earlier equal token), then maps `id` to
  // `token` (replacing the token of an earlier equal id).
  void assign(std::string_view token, int32_t id);

  // Entry index of `token`, adding it (with id 0 and no id -> token mapping) if absent.
  // For tables that only need to number distinct texts.
  uint32_t intern(std::string_view token);

  // Makes room for `n` more tokens without rehashing.
  void reserve(std::size_t n);

  // Fills an empty table at once with `n` distinct tokens: token k is
  // bytes[ends[k-1], ends[k]) (from 0 for k = 0) and gets ids[k]. Much faster than `assign`
  // one by one for a large table, as the slots are filled in address order. Returns -1, or
  // the index of a token equal to an earlier one (the table is then left empty). Call
  // `finish` afterwards.
  // `spread` is the number of slots per token at least (a power of two; fewer slots make a
  // smaller table, kinder to the CPU's caches, at the cost of longer probes).
  int64_t assign_all(std::string_view bytes, const uint32_t* ends, const int32_t* ids, std::size_t n,
                     std::size_t spread = kSpread);

  // Builds the id -> token index. Call once, after the last `assign`.
  void finish();

  // Writes both directions exactly (repeated tokens, repeated and sparse ids included).
  // Call after `finish`. The entries are written in id order, so a restored table numbers
  // them differently; when `saved_index` is given, it receives each entry's index in the
  // restored table.
  void save(StateWriter& w, std::vector<uint32_t>* saved_index = nullptr) const;
  // Fills an empty table from what `save` wrote; call `finish` afterwards. Throws
  // std::invalid_argument (through `r`) on a malformed block.
  void restore(StateReader& r);

  bool empty() const { return entries_.empty(); }
  // Number of distinct token texts.
  std::size_t size() const { return entries_.size(); }

  // Slot handle of `token` in the hash table, or -1 when `token` is not a key.
  int64_t find_slot(std::string_view token) const {
    return find_slot(token, hash(token.data(), token.size()));
  }
  // The same, for a caller that already has hash(token) and head(token).
  inline int64_t find_slot(std::string_view token, uint64_t h, uint64_t hd) const;
  int64_t find_slot(std::string_view token, uint64_t h) const {
    return find_slot(token, h, head(token.data(), token.size()));
  }
  int32_t id_at_slot(int64_t slot) const { return slots_[static_cast<std::size_t>(slot)].id; }
  // A per-token mark that the owner may set once loading is done (see `set_mark`).
  bool mark_at_slot(int64_t slot) const {
    return (slots_[static_cast<std::size_t>(slot)].len_mark & kMarkBit) != 0;
  }

  // Pointer to the id of `token`, or nullptr when `token` is not a key.
  const int32_t* find(std::string_view token) const {
    const int64_t s = find_slot(token);
    return s < 0 ? nullptr : &slots_[static_cast<std::size_t>(s)].id;
  }

  // Text and id of an entry; entries are numbered 0 to size() - 1 in order of first insertion.
  std::string_view text_at(std::size_t entry) const {
    const Entry& en = entries_[entry];
    return std::string_view(arena_.data() + en.offset, en.len);
  }
  int32_t id_at(std::size_t entry) const { return entries_[entry].id; }
  // Sets the mark of an entry's token (false for every token until set).
  void set_mark(std::size_t entry, bool mark);

  // Entry index of `token`, or -1 when it is not a key.
  int64_t entry_of(std::string_view token) const {
    const int64_t s = find_slot(token);
    return s < 0 ? -1 : static_cast<int64_t>(slot_entry_[static_cast<std::size_t>(s)]);
  }

  // Calls fn(id, entry) for every id that has a token text (after `finish`), in no
  // particular order.
  template <class Fn>
  void for_each_id(Fn&& fn) const {
    if (use_dense_) {
      for (std::size_t k = 0; k < dense_.size(); ++k) {
        if (dense_[k] >= 0) {
          fn(static_cast<int32_t>(static_cast<int64_t>(k) + dense_base_), static_cast<uint32_t>(dense_[k]));
        }
      }
    } else {
      for (const auto& [id, entry] : sparse_) fn(id, entry);
    }
  }

  // The token text of `id`, if `id` has one (after `finish`).
  bool token_of(int32_t id, std::string_view& out) const {
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

  // Fast 64-bit hash of a byte range; shared by the tokenizers' own tables.
  static uint64_t hash(const char* p, std::size_t n) { return hash(p, n, head(p, n)); }
  // The same, given head(p, n).
  static inline uint64_t hash(const char* p, std::size_t n, uint64_t hd);
  // The first eight bytes of a range, zero-padded.
  static inline uint64_t head(const char* p, std::size_t n);
  // The same, when at least eight bytes are readable from p: one load and a mask.
  static uint64_t head_readable8(const char* p, std::size_t n) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return n >= 8 ? v : v & ((uint64_t{1} << (8 * n)) - 1);
  }

 private:
  struct Entry {
    uint32_t offset;
    uint32_t len;
    int32_t id;
  };
  struct Slot {
    uint64_t head;      // first eight bytes of the token, zero-padded
    uint32_t len_mark;  // token length, plus kMarkBit; kEmpty for an empty slot
    int32_t id;
  };
  static constexpr uint32_t kMarkBit = 0x80000000u;
  static constexpr uint32_t kEmpty = 0xFFFFFFFFu;
  // Slots per token at most: a sparse table keeps most lookups to their first slot.
  static constexpr std::size_t kSpread = 4;

  void grow(std::size_t cap);
  uint32_t insert_text(std::string_view token, uint64_t h);

  std::string arena_;
  std::vector<Entry> entries_;
  std::vector<Slot> slots_;          // size is zero or a power of two, at most 1/kSpread full
  std::vector<uint32_t> slot_entry_;  // entry index of each occupied slot
  std::vector<uint32_t> entry_slot_;  // slot of each entry

  // id -> entry, in assignment order until `finish` turns it into an index.
  std::vector<std::pair<int32_t, uint32_t>> pending_ids_;
  int32_t dense_base_ = 0;
  std::vector<int32_t> dense_;  // entry per (id - dense_base_), -1 when the id has no text
  std::unordered_map<int32_t, uint32_t> sparse_;
  bool use_dense_ = true;
};

namespace vocabulary_detail {

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

}  // namespace vocabulary_detail

// A multiply-mix hash in the style of wyhash. Keys of up to eight bytes (most tokens) are
// hashed from their zero-padded head with a single 128-bit multiply.
inline uint64_t Vocabulary::hash(const char* p, std::size_t n, uint64_t hd) {
  using namespace vocabulary_detail;
  if (n <= 8) return mix(hd ^ kP1, static_cast<uint64_t>(n) ^ kP0);
  uint64_t seed = kP0 ^ (static_cast<uint64_t>(n) * kP2);
  if (n <= 16) return mix(load64(p) ^ kP1, load64(p + n - 8) ^ seed);
  std::size_t i = n;
  while (i > 16) {
    seed = mix(load64(p) ^ kP1, load64(p + 8) ^ seed);
    p += 16;
    i -= 16;
  }
  return mix(load64(p + i - 16) ^ kP1, load64(p + i - 8) ^ seed);
}

// Reads the bytes with at most two overlapping loads; overlapping bytes are equal, so
// or-ing them together is harmless.
inline uint64_t Vocabulary::head(const char* p, std::size_t n) {
  using namespace vocabulary_detail;
  if (n >= 8) return load64(p);
  if (n >= 4) return load32(p) | (load32(p + n - 4) << (8 * (n - 4)));
  if (n == 0) return 0;
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  return static_cast<uint64_t>(u[0]) | (static_cast<uint64_t>(u[n >> 1]) << (8 * (n >> 1))) |
         (static_cast<uint64_t>(u[n - 1]) << (8 * (n - 1)));
}

inline int64_t Vocabulary::find_slot(std::string_view token, uint64_t h, uint64_t hd) const {
  if (slots_.empty()) return -1;
  const char* p = token.data();
  const std::size_t n = token.size();
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = static_cast<std::size_t>(h) & mask;; i = (i + 1) & mask) {
    const Slot& s = slots_[i];
    if (s.len_mark == kEmpty) return -1;
    if ((s.len_mark & ~kMarkBit) == n && s.head == hd) {
      if (n <= 8) return static_cast<int64_t>(i);
      const char* t = arena_.data() + entries_[slot_entry_[i]].offset;
      // The first eight bytes are equal; up to sixteen, one load covers the rest.
      if (n <= 16 ? vocabulary_detail::load64(t + n - 8) == vocabulary_detail::load64(p + n - 8)
                  : std::memcmp(t + 8, p + 8, n - 8) == 0) {
        return static_cast<int64_t>(i);
      }
    }
  }
}

}  // namespace corvane
