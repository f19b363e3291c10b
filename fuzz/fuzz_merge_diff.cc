// The merge engine (PieceMerger, both its short-word pass and its priority-queue path for
// words over 32 bytes) against the plain join procedure, under both ranking rules.
//
// The input chooses the rule, a small alphabet, a vocabulary or merge list over it (ranks
// and ids drawn from extreme values, negative ones included where the format allows them)
// and a word over the same alphabet, so that ranked pairs are frequent and long words
// merge a lot.

#include <fuzzer/FuzzedDataProvider.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "reference_merge.h"
#include "models/bpe/merge_table.h"
#include "models/bpe/piece_merger.h"
#include "core/vocabulary.h"

using fuzzsupport::show;

namespace {

// Rank files: a pair is ranked when its joined text is a token, by that token's id.
struct JoinedTokenRanker {
  static constexpr bool kSymbols = false;
  const corvane::Vocabulary& vocab;
  int32_t byte_symbol(unsigned char) const { return 0; }
  bool pair(std::string_view word, uint32_t a, uint32_t, uint32_t c, int32_t, int32_t, int32_t& rank,
            int32_t&) const {
    const int32_t* id = vocab.find(word.substr(a, c - a));
    if (!id) return false;
    rank = *id;
    return true;
  }
  int32_t piece_id(std::string_view word, uint32_t a, uint32_t c, int32_t) const {
    const int32_t* id = vocab.find(word.substr(a, c - a));
    return id ? *id : 0;
  }
};

// tokenizer.json: a pair is ranked by its merge rule.
struct MergeListRanker {
  static constexpr bool kSymbols = true;
  const corvane::MergeTable& merges;
  int32_t byte_symbol(unsigned char b) const { return merges.byte_symbol(b); }
  bool pair(std::string_view, uint32_t, uint32_t, uint32_t, int32_t l, int32_t r, int32_t& rank,
            int32_t& joined) const {
    return merges.find(l, r, rank, joined);
  }
  int32_t piece_id(std::string_view, uint32_t, uint32_t, int32_t sym) const { return merges.vocab_id(sym); }
};

// Long words stay short enough for the plain procedure (quadratic) to keep up.
constexpr std::size_t kLongWord = 120;

constexpr int32_t kExtremes[] = {0, 1, -1, INT32_MAX, INT32_MIN, INT32_MAX - 1, INT32_MIN + 1, 2, 3, 1000};

std::string pick_text(FuzzedDataProvider& in, const std::string& alphabet, std::size_t max_len) {
  const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(1, max_len);
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s += alphabet[in.ConsumeIntegralInRange<std::size_t>(0, alphabet.size() - 1)];
  return s;
}

int32_t pick_id(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 2)) {
    case 0: return in.ConsumeIntegralInRange<int32_t>(0, 40);
    case 1: return kExtremes[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kExtremes) - 1)];
    default: return in.ConsumeIntegral<int32_t>();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const bool merge_list = in.ConsumeBool();
  // A small alphabet: two to four letters, sometimes a high byte or a NUL among them.
  static const char kPool[] = {'a', 'b', 'c', 'd', '\xFF', '\0', ' '};
  std::string alphabet;
  const std::size_t letters = in.ConsumeIntegralInRange<std::size_t>(1, 4);
  for (std::size_t i = 0; i < letters; ++i) alphabet += kPool[in.ConsumeIntegralInRange<std::size_t>(0, 6)];

  fuzzref::Model ref;
  ref.rule = merge_list ? fuzzref::Rule::kMergeList : fuzzref::Rule::kJoinedToken;
  corvane::Vocabulary vocab;
  corvane::MergeTable merges;

  // Up to 64 entries: enough distinct ranks to make the queue grow its rank index.
  const std::size_t entries = in.ConsumeIntegralInRange<std::size_t>(0, 64);
  // Merge-list ranks are list positions: increasing, with gaps for skipped elements, and
  // sometimes starting near the top of the 32-bit range (a position never reaches
  // INT32_MAX itself).
  int64_t position = in.ConsumeBool() ? 0 : in.ConsumeIntegralInRange<int64_t>(0, INT32_MAX - 200);
  for (std::size_t i = 0; i < entries; ++i) {
    if (merge_list && in.ConsumeBool()) {
      const std::string left = pick_text(in, alphabet, 4);
      const std::string right = pick_text(in, alphabet, 4);
      position += in.ConsumeIntegralInRange<int64_t>(0, 3);
      const int32_t rank = static_cast<int32_t>(position++);
      merges.add(left, right, rank);
      ref.merges[{left, right}] = rank;
      // Most joined pieces are tokens, as in a real file.
      if (in.ConsumeIntegralInRange<int>(0, 3) != 0) {
        const int32_t id = pick_id(in);
        vocab.assign(left + right, id);
        ref.assign(left + right, id);
      }
    } else {
      const std::string token = pick_text(in, alphabet, 6);
      const int32_t id = pick_id(in);
      vocab.assign(token, id);
      ref.assign(token, id);
    }
  }
  vocab.finish();
  if (merge_list) merges.finish(vocab);

  // The word: short (the pass-by-pass path) or long (the priority-queue path), either
  // drawn byte by byte or a repeated pattern (long runs of equal ranks).
  std::string word;
  const int shape = in.ConsumeIntegralInRange<int>(0, 2);
  if (shape == 0) {
    word = pick_text(in, alphabet, corvane::PieceMerger::kShortWord);
  } else if (shape == 1) {
    word = pick_text(in, alphabet, kLongWord);
  } else {
    const std::string unit = pick_text(in, alphabet, 5);
    const std::size_t reps = in.ConsumeIntegralInRange<std::size_t>(1, kLongWord / unit.size());
    for (std::size_t i = 0; i < reps; ++i) word += unit;
    word += pick_text(in, alphabet, 3);
  }

  std::vector<int32_t> got;
  corvane::PieceMerger::Workspace ws;
  auto collect = [&](int32_t id) { got.push_back(id); };
  if (merge_list) {
    corvane::PieceMerger::merge(word, MergeListRanker{merges}, ws, collect);
  } else {
    corvane::PieceMerger::merge(word, JoinedTokenRanker{vocab}, ws, collect);
  }
  const std::vector<int32_t> want = fuzzref::merge_ids(ref, word);
  FUZZ_CHECK(got == want, std::string(merge_list ? "merge-list" : "joined-token") + " merge of " + show(word) +
                         " gave " + show(got) + ", expected " + show(want));

  // The same workspace serves a second word of the call (as in encode).
  got.clear();
  const std::string second = word.substr(0, word.size() / 2);
  if (merge_list) {
    corvane::PieceMerger::merge(second, MergeListRanker{merges}, ws, collect);
  } else {
    corvane::PieceMerger::merge(second, JoinedTokenRanker{vocab}, ws, collect);
  }
  FUZZ_CHECK(got == fuzzref::merge_ids(ref, second), "second merge with a reused workspace of " + show(second));
  return 0;
}
