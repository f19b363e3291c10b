#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace corvane {

// The two token maps every tokenizer keeps: token text -> id and id -> token text.
//
// Token texts are raw bytes, stored once each in one contiguous arena. Lookups take a
// string_view, so a caller asking about a byte range of its input never builds a string.
// The text -> id side is an open-addressing hash table over the arena; the id -> text side
// is a flat array when the ids are dense (the normal case) and a hash map otherwise.
//
// Loading is append-only: `assign` is called once per source entry, in source order, and
// `finish` once at the end. After `finish` the object is only read, so any number of
// threads may look things up at once.
class Vocabulary {
 public:
  // Maps `token` to `id` (replacing the id of an earlier equal token), then maps `id` to
  // `token` (replacing the token of an earlier equal id).
  void assign(std::string_view token, int32_t id);

  // Builds the id -> token index. Call once, after the last `assign`.
  void finish();

  bool empty() const { return entries_.empty(); }
  // Number of distinct token texts.
  std::size_t size() const { return entries_.size(); }
  // Length in bytes of the longest token text.
  std::size_t max_token_length() const { return max_len_; }

  // Index of the entry holding `token`, or -1. Entry indexes run from 0 to size() - 1.
  int32_t find_entry(std::string_view token) const;
  // Pointer to the id of `token`, or nullptr when `token` is not a key.
  const int32_t* find(std::string_view token) const {
    int32_t e = find_entry(token);
    return e < 0 ? nullptr : &entries_[static_cast<std::size_t>(e)].id;
  }

  std::string_view text_at(std::size_t entry) const {
    const Entry& en = entries_[entry];
    return std::string_view(arena_.data() + en.offset, en.len);
  }
  int32_t id_at(std::size_t entry) const { return entries_[entry].id; }

  // The token text of `id`, if `id` has one (after `finish`).
  bool token_of(int32_t id, std::string_view& out) const;

  // Fast 64-bit hash of a byte range; shared by the tokenizers' own tables.
  static uint64_t hash(const char* p, std::size_t n);

 private:
  struct Entry {
    uint32_t offset;
    uint32_t len;
    int32_t id;
  };
  struct Slot {
    uint32_t entry_plus_one;  // 0: empty slot
    uint32_t tag;             // high half of the hash, to skip most byte comparisons
  };

  void grow();
  int32_t insert_text(std::string_view token, uint64_t h);

  std::string arena_;
  std::vector<Entry> entries_;
  std::vector<Slot> slots_;  // size is zero or a power of two, at most half full
  std::size_t max_len_ = 0;

  // id -> entry, in assignment order until `finish` turns it into an index.
  std::vector<std::pair<int32_t, uint32_t>> pending_ids_;
  int32_t dense_base_ = 0;
  std::vector<int32_t> dense_;  // entry per (id - dense_base_), -1 when the id has no text
  std::unordered_map<int32_t, uint32_t> sparse_;
  bool use_dense_ = true;
};

}  // namespace corvane
