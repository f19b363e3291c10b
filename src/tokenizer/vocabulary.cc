#include "tokenizer/vocabulary.h"

#include <limits>
#include <stdexcept>

namespace corvane {

void Vocabulary::reserve(std::size_t n) {
  std::size_t cap = slots_.empty() ? 1024 : slots_.size();
  while ((entries_.size() + n) * kSpread > cap) cap *= 2;
  if (cap > slots_.size()) grow(cap);
  entries_.reserve(entries_.size() + n);
  entry_slot_.reserve(entries_.size() + n);
}

void Vocabulary::grow(std::size_t cap) {
  std::vector<Slot> fresh(cap, Slot{0, kEmpty, 0});
  std::vector<uint32_t> fresh_entry(cap, 0);
  const std::size_t mask = cap - 1;
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    if (slots_[i].len_mark == kEmpty) continue;
    const uint32_t e = slot_entry_[i];
    const std::string_view text = text_at(e);
    std::size_t j = static_cast<std::size_t>(hash(text.data(), text.size())) & mask;
    while (fresh[j].len_mark != kEmpty) j = (j + 1) & mask;
    fresh[j] = slots_[i];
    fresh_entry[j] = e;
    entry_slot_[e] = static_cast<uint32_t>(j);
  }
  slots_.swap(fresh);
  slot_entry_.swap(fresh_entry);
}

uint32_t Vocabulary::insert_text(std::string_view token, uint64_t h) {
  if (arena_.size() + token.size() > std::numeric_limits<uint32_t>::max() ||
      token.size() >= kMarkBit || entries_.size() >= std::numeric_limits<int32_t>::max() - 1) {
    throw std::length_error("vocabulary too large");
  }
  if ((entries_.size() + 1) * kSpread > slots_.size()) grow(slots_.empty() ? 1024 : slots_.size() * 2);
  const uint32_t entry = static_cast<uint32_t>(entries_.size());
  entries_.push_back(Entry{static_cast<uint32_t>(arena_.size()), static_cast<uint32_t>(token.size()), 0});
  arena_.append(token.data(), token.size());
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = static_cast<std::size_t>(h) & mask;
  while (slots_[i].len_mark != kEmpty) i = (i + 1) & mask;
  slots_[i] = Slot{head(token.data(), token.size()), static_cast<uint32_t>(token.size()), 0};
  slot_entry_[i] = entry;
  entry_slot_.push_back(static_cast<uint32_t>(i));
  return entry;
}

uint32_t Vocabulary::intern(std::string_view token) {
  const uint64_t h = hash(token.data(), token.size());
  const int64_t s = find_slot(token, h);
  return s >= 0 ? slot_entry_[static_cast<std::size_t>(s)] : insert_text(token, h);
}

void Vocabulary::assign(std::string_view token, int32_t id) {
  const std::size_t entry = intern(token);
  entries_[entry].id = id;
  slots_[entry_slot_[entry]].id = id;
  pending_ids_.emplace_back(id, static_cast<uint32_t>(entry));
}

void Vocabulary::set_mark(std::size_t entry, bool mark) {
  Slot& s = slots_[entry_slot_[entry]];
  s.len_mark = mark ? (s.len_mark | kMarkBit) : (s.len_mark & ~kMarkBit);
}

void Vocabulary::finish() {
  dense_.clear();
  sparse_.clear();
  use_dense_ = true;
  dense_base_ = 0;
  if (!pending_ids_.empty()) {
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
  }
  pending_ids_.clear();
  pending_ids_.shrink_to_fit();
  arena_.shrink_to_fit();
  entries_.shrink_to_fit();
  entry_slot_.shrink_to_fit();
}

}  // namespace corvane
