#pragma once

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <type_traits>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/cancellation.h"
#include "models/bpe/pair_queue.h"

namespace corvane {

// The byte-pair merge loop shared by both kinds of BPE tokenizer.
//
// A word starts as one piece per byte. While some adjacent pair of pieces is ranked, the
// pair with the lowest rank is joined; among equal ranks the leftmost pair wins. The loop
// stops when no adjacent pair is ranked, and each remaining piece is turned into an id.
//
// What a "rank" is comes from the Ranker:
//   static constexpr bool kSymbols;   whether pieces carry symbols (else 0 is passed)
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
// O(n log n) at worst. The scratch buffers live in a Workspace owned by the caller, so a call
// allocates nothing once the buffers have grown.
class PieceMerger {
 public:
  static constexpr std::size_t kShortWord = 32;

  struct Workspace {
    std::vector<uint32_t> end;     // end of the piece starting here; 0 when no piece starts here
    std::vector<uint32_t> prev;    // start of the previous piece
    std::vector<int32_t> sym;      // symbol of the piece starting here
    std::vector<int64_t> rank;     // rank of the pair starting here (kNone: not ranked)
    std::vector<int32_t> joined;   // symbol of that pair's joined piece
    PairQueue queue;
  };

  template <class Ranker, class Emit>
  static void merge(std::string_view word, const Ranker& ranker, Workspace& ws, Emit&& emit) {
    if (word.empty()) return;
    // Piece positions are 32-bit; a single pre-token of 4 GiB is refused rather than
    // silently mangled.
    if (word.size() >= UINT32_MAX) throw std::length_error("pre-token too long (4 GiB or more)");
    if (word.size() <= kShortWord) {
      merge_short(word, ranker, emit);
    } else {
      merge_long(word, ranker, ws, emit);
    }
  }

 private:
  // Outside the 32-bit range, so that no real rank (INT32_MAX included) is mistaken for it.
  static constexpr int64_t kNone = INT64_MAX;

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
      // Remove boundary b+1: pieces after b move one place to the left, and so do the
      // pairs after b (pair k exists for k + 1 < count; the last slot is never valid).
      for (uint32_t k = b + 1; k + 1 < count; ++k) sym[k] = sym[k + 1];
      for (uint32_t k = b + 1; k + 2 < count; ++k) {
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
    const auto* s = reinterpret_cast<const unsigned char*>(word.data());
    const uint32_t n = static_cast<uint32_t>(word.size());
    ws.end.resize(n + 1);
    ws.prev.resize(n + 1);
    constexpr bool kSymbols = std::decay_t<Ranker>::kSymbols;
    if constexpr (kSymbols) {
      ws.sym.resize(n + 1);
      ws.joined.resize(n + 1);
    }
    ws.rank.resize(n + 1);
    ws.queue.clear();
    for (uint32_t i = 0; i < n; ++i) {
      ws.end[i] = i + 1;
      ws.prev[i] = i - 1;  // wraps for i == 0; never read there
      if constexpr (kSymbols) ws.sym[i] = ranker.byte_symbol(s[i]);
    }
    ws.end[n] = 0;
    // Ranks the pair of pieces starting at a (ending at b) and at b (ending at c), and
    // queues it when ranked. A pair is identified by its start: the queue may hold keys of
    // pairs that have since changed, and a popped key counts only if the pair now starting
    // there still has that rank (a different pair at the same start with the same rank
    // would be joined at the same point of the order, to the same result).
    auto consider = [&](uint32_t a, uint32_t b, uint32_t c) {
      int32_t r = 0, j = 0;
      const int32_t left = kSymbols ? ws.sym[a] : 0;
      const int32_t right = kSymbols ? ws.sym[b] : 0;
      if (ranker.pair(word, a, b, c, left, right, r, j)) {
        ws.rank[a] = r;
        if constexpr (kSymbols) ws.joined[a] = j;
        ws.queue.push(r, a);
      } else {
        ws.rank[a] = kNone;
      }
    };
    // A long word may take seconds (a pre-token of megabytes): work started for a batch
    // can be stopped in the middle of one.
    Cancellation::Poller poll;
    for (uint32_t i = 0; i + 1 < n; ++i) {
      consider(i, i + 1, i + 2);
      poll.tick();
    }
    ws.rank[n - 1] = kNone;
    while (!ws.queue.empty()) {
      poll.tick();
      int32_t r;
      uint32_t a;
      ws.queue.pop(r, a);
      if (ws.end[a] == 0 || ws.rank[a] != r) continue;  // stale
      const uint32_t b = ws.end[a];
      const uint32_t c = ws.end[b];
      ws.end[a] = c;
      ws.end[b] = 0;
      ws.rank[b] = kNone;
      if constexpr (kSymbols) ws.sym[a] = ws.joined[a];
      if (c < n) {
        ws.prev[c] = a;
        consider(a, c, ws.end[c]);
      } else {
        ws.rank[a] = kNone;
      }
      if (a > 0) {
        const uint32_t p = ws.prev[a];
        consider(p, a, c);
      }
    }
    for (uint32_t a = 0; a < n; a = ws.end[a]) {
      emit(ranker.piece_id(word, a, ws.end[a], kSymbols ? ws.sym[a] : 0));
    }
  }
};

}  // namespace corvane
