#include "models/bpe/merge_table.h"

namespace corvane {

// Symbols 0..255 are the single bytes, so a piece of one byte needs no lookup.
void MergeTable::intern_bytes() {
  for (int b = 0; b < 256; ++b) {
    const char c = static_cast<char>(b);
    intern(std::string_view(&c, 1));
  }
}

int32_t MergeTable::intern(std::string_view text) { return static_cast<int32_t>(symbols_.intern(text)); }

void MergeTable::grow() {
  const std::size_t cap = slots_.empty() ? 1024 : slots_.size() * 2;
  std::vector<Slot> fresh(cap, Slot{kEmpty, 0, 0});
  const std::size_t mask = cap - 1;
  for (const Slot& s : slots_) {
    if (s.key == kEmpty) continue;
    std::size_t i = slot_of(s.key) & mask;
    while (fresh[i].key != kEmpty) i = (i + 1) & mask;
    fresh[i] = s;
  }
  slots_.swap(fresh);
}

void MergeTable::add(std::string_view left, std::string_view right, int32_t rank) {
  if (symbols_.empty()) intern_bytes();
  scratch_.assign(left);
  scratch_.append(right);
  const int32_t l = intern(left);
  const int32_t r = intern(right);
  const int32_t j = intern(scratch_);
  const uint64_t key = pair_key(l, r);
  if ((size_ + 1) * 2 > slots_.size()) grow();
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = slot_of(key) & mask;
  while (slots_[i].key != kEmpty && slots_[i].key != key) i = (i + 1) & mask;
  if (slots_[i].key == kEmpty) ++size_;
  slots_[i] = Slot{key, rank, j};
}

void MergeTable::finish(const Vocabulary& vocab) {
  if (symbols_.empty()) intern_bytes();
  symbols_.finish();
  symbol_ids_.resize(symbols_.size());
  for (std::size_t s = 0; s < symbols_.size(); ++s) {
    const int32_t* id = vocab.find(symbols_.text_at(s));
    symbol_ids_[s] = id ? *id : 0;
  }
  scratch_.clear();
  scratch_.shrink_to_fit();
}

}  // namespace corvane
