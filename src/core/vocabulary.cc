#include "core/vocabulary.h"

#include <algorithm>
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

int64_t Vocabulary::assign_all(std::string_view bytes, const uint32_t* ends, const int32_t* ids, std::size_t n,
                               std::size_t spread) {
  if (!entries_.empty()) throw std::logic_error("Vocabulary::assign_all on a table in use");
  if (bytes.size() > std::numeric_limits<uint32_t>::max() || n >= std::numeric_limits<int32_t>::max() - 1) {
    throw std::length_error("vocabulary too large");
  }
  std::size_t cap = 1024;
  while (n * std::max<std::size_t>(spread, 2) > cap) cap *= 2;
  const std::size_t mask = cap - 1;
  arena_.assign(bytes.data(), bytes.size());
  entries_.resize(n);
  // Each token's slot contents, in token order (reading the arena in order), then the same
  // ordered by home slot with a counting sort on the home slot's top bits, so that the
  // table is then written front to back.
  struct Pending {
    uint64_t hash;
    uint64_t head;
    uint32_t entry;
    uint32_t len;
  };
  std::vector<Pending> pending(n);
  const int bits = __builtin_ctzll(cap);
  const int shift = bits > 16 ? bits - 16 : 0;
  std::vector<uint32_t> bucket_start((mask >> shift) + 2, 0);
  for (std::size_t k = 0; k < n; ++k) {
    const uint32_t b = k ? ends[k - 1] : 0;
    if (ends[k] < b || ends[k] > bytes.size()) throw std::invalid_argument("token ends out of order");
    const uint32_t len = ends[k] - b;
    if (len >= kMarkBit) throw std::length_error("vocabulary too large");
    entries_[k] = Entry{b, len, ids[k]};
    const uint64_t hd = head(arena_.data() + b, len);
    pending[k] = Pending{hash(arena_.data() + b, len, hd), hd, static_cast<uint32_t>(k), len};
    ++bucket_start[((pending[k].hash & mask) >> shift) + 1];
  }
  for (std::size_t i = 1; i < bucket_start.size(); ++i) bucket_start[i] += bucket_start[i - 1];
  std::vector<Pending> sorted(n);
  for (const Pending& p : pending) sorted[bucket_start[(p.hash & mask) >> shift]++] = p;
  std::vector<Pending>().swap(pending);
  slots_.assign(cap, Slot{0, kEmpty, 0});
  slot_entry_.assign(cap, 0);
  entry_slot_.resize(n);
  for (const Pending& p : sorted) {
    std::size_t i = static_cast<std::size_t>(p.hash) & mask;
    for (; slots_[i].len_mark != kEmpty; i = (i + 1) & mask) {
      // The cluster being walked holds every earlier token of the same home slot.
      const Slot& s = slots_[i];
      if (s.len_mark == p.len && s.head == p.head &&
          (p.len <= 8 || std::memcmp(arena_.data() + entries_[slot_entry_[i]].offset,
                                     arena_.data() + entries_[p.entry].offset, p.len) == 0)) {
        *this = Vocabulary();
        return static_cast<int64_t>(p.entry);
      }
    }
    slots_[i] = Slot{p.head, p.len, ids[p.entry]};
    slot_entry_[i] = p.entry;
    entry_slot_[p.entry] = static_cast<uint32_t>(i);
  }
  pending_ids_.resize(n);
  for (std::size_t k = 0; k < n; ++k) pending_ids_[k] = {ids[k], static_cast<uint32_t>(k)};
  return -1;
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

// Layout: the entries in ascending id order (text, then id as a step from the previous
// id), then the ids whose text is not the one that assigning the entries in that order
// would give them (a token on several lines keeps all its ids; of two tokens sharing an
// id, the later line owns it), as (id step, entry) pairs in ascending id order. For an
// ordinary vocabulary that second list is empty and each entry costs its text plus two
// bytes.
void Vocabulary::save(StateWriter& w, std::vector<uint32_t>* saved_index) const {
  const std::size_t n = entries_.size();
  // Saved order: by id, entries sharing an id in their own order. Rank files and
  // vocab.txt files are in id order already.
  std::vector<uint32_t> order(n);
  for (std::size_t e = 0; e < n; ++e) order[e] = static_cast<uint32_t>(e);
  auto by_id = [this](uint32_t a, uint32_t b) { return entries_[a].id < entries_[b].id; };
  if (!std::is_sorted(order.begin(), order.end(), by_id)) std::stable_sort(order.begin(), order.end(), by_id);
  std::vector<uint32_t> position(n);
  for (std::size_t k = 0; k < n; ++k) position[order[k]] = static_cast<uint32_t>(k);

  w.varint(n);
  int64_t prev = -1;
  for (uint32_t e : order) {
    w.bytes(text_at(e));
    w.next_i32(entries_[e].id, prev);
    prev = entries_[e].id;
  }
  // What restoring the entries alone maps each id to: the last entry holding it.
  std::vector<std::pair<int32_t, uint32_t>> extra;
  const int64_t lo = n ? entries_[order.front()].id : 0;
  const int64_t span = n ? entries_[order.back()].id - lo + 1 : 0;
  if (span <= static_cast<int64_t>(n) * 2 + 1024) {
    std::vector<int32_t> natural(static_cast<std::size_t>(span), -1);
    for (uint32_t e : order) natural[static_cast<std::size_t>(entries_[e].id - lo)] = static_cast<int32_t>(e);
    for_each_id([&](int32_t id, uint32_t entry) {
      const int64_t k = static_cast<int64_t>(id) - lo;
      if (k < 0 || k >= span || natural[static_cast<std::size_t>(k)] != static_cast<int32_t>(entry)) {
        extra.emplace_back(id, position[entry]);
      }
    });
  } else {
    std::unordered_map<int32_t, uint32_t> natural;
    natural.reserve(n);
    for (uint32_t e : order) natural[entries_[e].id] = e;
    for_each_id([&](int32_t id, uint32_t entry) {
      const auto it = natural.find(id);
      if (it == natural.end() || it->second != entry) extra.emplace_back(id, position[entry]);
    });
  }
  std::sort(extra.begin(), extra.end());
  w.varint(extra.size());
  prev = -1;
  for (const auto& [id, entry] : extra) {
    w.next_i32(id, prev);
    w.varint(entry);
    prev = id;
  }
  if (saved_index) *saved_index = std::move(position);
}

void Vocabulary::restore(StateReader& r) {
  const std::size_t n = r.count(2);  // a length byte and an id byte at least
  if (n > 0) reserve(n);
  int64_t prev = -1;
  for (std::size_t e = 0; e < n; ++e) {
    const std::string_view text = r.bytes();
    const int32_t id = r.next_i32(prev);
    prev = id;
    assign(text, id);
    if (entries_.size() != e + 1) r.fail("repeated token");
  }
  const std::size_t m = r.count(2);
  prev = -1;
  for (std::size_t k = 0; k < m; ++k) {
    const int32_t id = r.next_i32(prev);
    prev = id;
    const uint64_t entry = r.varint();
    if (entry >= n) r.fail("entry out of range");
    pending_ids_.emplace_back(id, static_cast<uint32_t>(entry));
  }
}

}  // namespace corvane
