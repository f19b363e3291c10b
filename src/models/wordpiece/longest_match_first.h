#pragma once

#include <cstddef>
#include <cstdint>

#include "core/cancellation.h"
#include "models/wordpiece/double_array_trie.h"

namespace corvane {

// WordPiece's split of one word: from its start the longest vocabulary token, then, from
// where that ended, the longest continuation token (a walk from `continuation_root`, the
// node of the continuing-subword prefix, or DoubleArrayTrie::kDead when there is none), and
// so on to the end of the word. With CharBoundaries a token must end on a character
// boundary of the (UTF-8) word, as `tokenizers` splits text; without, at any byte, as the
// vocab.txt tokenizer reads its bytes.
//
// Calls emit(id, begin, end) for each token, in order, and returns true; returns false as
// soon as a position starts no token (the caller then drops what was emitted and uses its
// unknown token). An empty word gives no token. Linear in the word's length times the
// longest token's.
template <bool CharBoundaries, class Emit>
bool longest_match_first(const DoubleArrayTrie& trie, int32_t continuation_root, const unsigned char* word,
                         std::size_t len, Emit&& emit) {
  const DoubleArrayTrie::Cell* const t = trie.cells();
  // A word of megabytes is millions of tokens: work started for a batch can stop inside it.
  const Cancellation::Flag* const cancel = len > Cancellation::kInterval ? Cancellation::current() : nullptr;
  std::size_t tokens = 0;
  std::size_t start = 0;
  int32_t from = DoubleArrayTrie::kRoot;
  while (start < len) {
    if (cancel != nullptr && (tokens++ & 0xFFF) == 0) Cancellation::check(cancel);
    int32_t node = from;
    uint32_t base = t[node].base;
    int32_t best = -1;  // the deepest final node passed
    std::size_t best_end = start;
    for (std::size_t i = start; i < len; ++i) {
      const auto next = static_cast<int32_t>((base & DoubleArrayTrie::kBaseMask) + word[i]);
      if (t[next].check != node) break;
      node = next;
      base = t[node].base;
      if ((base & DoubleArrayTrie::kFinal) && (!CharBoundaries || i + 1 == len || (word[i + 1] & 0xC0) != 0x80)) {
        best = node;
        best_end = i + 1;
      }
    }
    if (best < 0) return false;
    emit(trie.id_at(best), start, best_end);
    start = best_end;
    from = continuation_root;
  }
  return true;
}

}  // namespace corvane
