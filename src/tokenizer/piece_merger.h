#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace corvane {

// The byte-pair merge loop shared by both kinds of BPE tokenizer.
//
// A word starts as one piece per byte. While some adjacent pair of pieces is ranked, the
// pair with the lowest rank is joined; among equal ranks the leftmost pair wins. The loop
// stops when no adjacent pair is ranked, and each remaining piece is turned into an id.
//
// What a "rank" is comes from the Ranker:
//   int32_t byte_symbol(unsigned char b) const;
//   bool pair(std::string_view word, uint32_t a, uint32_t b, uint32_t c,
//             int32_t left_sym, int32_t right_sym, int32_t& rank, int32_t& joined_sym) const;
//       whether the pieces word[a,b) and word[b,c) are a ranked pair, its rank and the
//       symbol of the joined piece;
//   int32_t piece_id(std::string_view word, uint32_t a, uint32_t c, int32_t sym) const;
//       the id of the final piece word[a,c).
//
// Short words use the plain pass-by-pass procedure over cached pair ranks (fastest for the
// few bytes of a typical word); long words use a priority queue ordered by (rank, position)
// over linked pieces, which joins the very same pairs in the very same order in
// O(n log n). The scratch buffers live in a Workspace owned by the caller, so a call
// allocates nothing once the buffers have grown.
class PieceMerger {
 public:
  static constexpr std::size_t kShortWord = 32;

  struct Workspace {
    struct Item {
      int32_t rank;
      uint32_t start;
      uint32_t mid;
      uint32_t end;
      int32_t joined;
    };
    std::vector<uint32_t> end;    // end of the piece starting here; 0 when no piece starts here
    std::vector<uint32_t> prev;   // start of the previous piece
    std::vector<int32_t> sym;     // symbol of the piece starting here
    std::vector<Item> heap;
  };

  template <class Ranker, class Emit>
  static void merge(std::string_view word, const Ranker& ranker, Workspace& ws, Emit&& emit) {
    if (word.empty()) return;
    if (word.size() <= kShortWord) {
      merge_short(word, ranker, emit);
    } else {
      merge_long(word, ranker, ws, emit);
    }
  }

 private:
  static constexpr int32_t kNone = INT32_MAX;

  template <class Ranker, class Emit>
  static void merge_short(std::string_view word, const Ranker& ranker, Emit&& emit) {
    const auto* s = reinterpret_cast<const unsigned char*>(word.data());
    uint32_t n = static_cast<uint32_t>(word.size());
    // Piece k is word[bound[k], bound[k+1]); rank[k] is the rank of the pair (k, k+1).
    uint32_t bound[kShortWord + 1];
    int32_t sym[kShortWord];
    int32_t rank[kShortWord];
    int32_t joined[kShortWord];
    bool ranked[kShortWord];
    for (uint32_t i = 0; i < n; ++i) {
      bound[i] = i;
      sym[i] = ranker.byte_symbol(s[i]);
    }
    bound[n] = n;
    uint32_t count = n;
    auto rank_pair = [&](uint32_t k) {
      ranked[k] = ranker.pair(word, bound[k], bound[k + 1], bound[k + 2], sym[k], sym[k + 1],
                              rank[k], joined[k]);
    };
    for (uint32_t k = 0; k + 1 < count; ++k) rank_pair(k);
    while (count > 1) {
      int32_t best = -1;
      for (uint32_t k = 0; k + 1 < count; ++k) {
        if (ranked[k] && (best < 0 || rank[k] < rank[best])) best = static_cast<int32_t>(k);
      }
      if (best < 0) break;
      const uint32_t b = static_cast<uint32_t>(best);
      sym[b] = joined[b];
      // Remove boundary b+1: pieces after b move one place to the left.
      for (uint32_t k = b + 1; k + 1 < count; ++k) {
        sym[k] = sym[k + 1];
        rank[k] = rank[k + 1];
        joined[k] = joined[k + 1];
        ranked[k] = ranked[k + 1];
      }
      for (uint32_t k = b + 1; k < count; ++k) bound[k] = bound[k + 1];
      --count;
      if (b + 1 < count) rank_pair(b);
      if (b > 0) rank_pair(b - 1);
    }
    for (uint32_t k = 0; k < count; ++k) emit(ranker.piece_id(word, bound[k], bound[k + 1], sym[k]));
  }

  template <class Ranker, class Emit>
  static void merge_long(std::string_view word, const Ranker& ranker, Workspace& ws, Emit&& emit) {
    using Item = Workspace::Item;
    const auto* s = reinterpret_cast<const unsigned char*>(word.data());
    const uint32_t n = static_cast<uint32_t>(word.size());
    ws.end.resize(n + 1);
    ws.prev.resize(n + 1);
    ws.sym.resize(n + 1);
    ws.heap.clear();
    for (uint32_t i = 0; i < n; ++i) {
      ws.end[i] = i + 1;
      ws.prev[i] = i - 1;  // wraps for i == 0; never read there
      ws.sym[i] = ranker.byte_symbol(s[i]);
    }
    ws.end[n] = 0;
    // Heap order: lowest rank first, then leftmost start.
    auto later = [](const Item& x, const Item& y) {
      return x.rank != y.rank ? x.rank > y.rank : x.start > y.start;
    };
    auto consider = [&](uint32_t a, uint32_t b, uint32_t c) {
      Item it{0, a, b, c, 0};
      if (ranker.pair(word, a, b, c, ws.sym[a], ws.sym[b], it.rank, it.joined)) {
        ws.heap.push_back(it);
        return true;
      }
      return false;
    };
    for (uint32_t i = 0; i + 1 < n; ++i) consider(i, i + 1, i + 2);
    std::make_heap(ws.heap.begin(), ws.heap.end(), later);
    while (!ws.heap.empty()) {
      std::pop_heap(ws.heap.begin(), ws.heap.end(), later);
      const Item it = ws.heap.back();
      ws.heap.pop_back();
      // Stale entries: one of the two pieces has changed since the pair was queued.
      if (ws.end[it.start] != it.mid || ws.end[it.mid] != it.end) continue;
      ws.end[it.start] = it.end;
      ws.end[it.mid] = 0;
      ws.sym[it.start] = it.joined;
      if (it.end < n) ws.prev[it.end] = it.start;
      if (it.start > 0) {
        const uint32_t p = ws.prev[it.start];
        if (consider(p, it.start, it.end)) std::push_heap(ws.heap.begin(), ws.heap.end(), later);
      }
      if (it.end < n) {
        if (consider(it.start, it.end, ws.end[it.end])) {
          std::push_heap(ws.heap.begin(), ws.heap.end(), later);
        }
      }
    }
    for (uint32_t a = 0; a < n; a = ws.end[a]) emit(ranker.piece_id(word, a, ws.end[a], ws.sym[a]));
  }
};

}  // namespace corvane
