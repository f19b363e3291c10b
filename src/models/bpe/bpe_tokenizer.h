#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/cancellation.h"
#include "models/bpe/joined_token_ranker.h"
#include "models/bpe/merge_table.h"
#include "models/bpe/piece_merger.h"
#include "pre_tokenizers/ascii_gpt2_scanner.h"
#include "core/vocabulary.h"
#include "models/bpe/word_cache.h"

namespace corvane {

// A byte-pair-encoding tokenizer, loaded from a tiktoken rank file or a HuggingFace
// tokenizer.json file. Immutable once loaded: every public method only reads the tables,
// so one tokenizer may serve several threads at once.
class BPETokenizer {
 public:
  BPETokenizer() = default;
  BPETokenizer(const BPETokenizer&) = default;
  BPETokenizer& operator=(const BPETokenizer&) = default;
  // Moving leaves the source empty (not loaded).
  BPETokenizer(BPETokenizer&& other) noexcept;
  BPETokenizer& operator=(BPETokenizer&& other) noexcept;
  ~BPETokenizer() = default;

  static BPETokenizer from_tiktoken_file(const std::string& path);
  static BPETokenizer from_hf_json(const std::string& path);

  bool is_loaded() const { return !vocab_.empty(); }

  std::vector<int32_t> encode(std::string_view text) const;
  std::string decode(const std::vector<int32_t>& ids) const;
  std::size_t count(std::string_view text) const;

  // Encodes `n` texts one after the other: appends the ids of texts[i] to `ids` and sets
  // ends[i] to the size of `ids` after them. Pre-tokens merged once are remembered across
  // the texts, so all of them must stay alive and unchanged for the whole call.
  void encode_many(const std::string_view* texts, std::size_t n, std::vector<int32_t>& ids,
                   std::size_t* ends) const;
  // The same for counting: counts[i] is count(texts[i]).
  void count_many(const std::string_view* texts, std::size_t n, std::size_t* counts) const;

  // The tables in a compact, versioned binary form (see bpe_tokenizer.cc), and back. The
  // restored tokenizer gives the same results as this one on every input.
  // `deserialize` throws std::invalid_argument "invalid BPETokenizer pickle state: ..." on
  // anything malformed, and takes time linear in the size of the state.
  std::string serialize() const;
  static BPETokenizer deserialize(std::string_view state);

  // Calls emit(int32_t id) for each id that `encode` would return, in order.
  template <class Emit>
  void encode_each(std::string_view text, Emit&& emit) const;

 private:
  // How adjacent pieces are ranked during merging.
  enum class PairRule : uint8_t {
    // tiktoken rank files: a pair is ranked when the joined text is a vocabulary key, its
    // rank being that key's id.
    kJoinedToken,
    // tokenizer.json: a pair is ranked by its position in the merge list.
    kMergeList,
  };

  using JoinedTokenRanker = corvane::JoinedTokenRanker;
  struct MergeListRanker;

  void load_tiktoken(const std::string& path);
  void load_hf_json(const std::string& path);
  void finish_load();
  static std::size_t base64_decode(std::string_view s, std::string& out);

  // Scratch state of one encode call.
  struct CallState {
    PieceMerger::Workspace ws;
    WordCache cache;
    std::vector<int32_t> ids;
  };

  template <class Emit>
  void bpe_word(std::string_view word, uint64_t hd, CallState& st, Emit&& emit) const;
  // Cuts `text` into pre-tokens and calls fn(word, head) for each, in order.
  template <class Fn>
  static void pre_tokenise(std::string_view text, Fn&& fn);
  template <class Emit>
  void naive_word_count(std::string_view text, Emit&& emit, Cancellation::Poller& poll) const;

  Vocabulary vocab_;   // token text <-> id, both directions
  MergeTable merges_;  // ranked pairs; filled only from tokenizer.json
  PairRule rule_ = PairRule::kJoinedToken;
  // The id of each single byte (0 when it is not a token): a one-byte pre-token's ids.
  std::array<int32_t, 256> byte_ids_{};
  // Each vocabulary token is marked when merging its own text ends in that one piece, so
  // that a pre-token equal to the token encodes to its id without running the merge loop.
};

struct BPETokenizer::MergeListRanker {
  static constexpr bool kSymbols = true;
  const MergeTable& merges;
  int32_t byte_symbol(unsigned char b) const { return merges.byte_symbol(b); }
  bool pair(std::string_view, uint32_t, uint32_t, uint32_t, int32_t l, int32_t r,
            int32_t& rank, int32_t& joined) const {
    return merges.find(l, r, rank, joined);
  }
  int32_t piece_id(std::string_view, uint32_t, uint32_t, int32_t sym) const {
    return merges.vocab_id(sym);
  }
};

template <class Emit>
void BPETokenizer::bpe_word(std::string_view word, uint64_t hd, CallState& st, Emit&& emit) const {
  // A one-byte pre-token (a quarter of ordinary text) is one piece whatever the rule.
  if (word.size() == 1) {
    emit(byte_ids_[static_cast<unsigned char>(word[0])]);
    return;
  }
  const uint64_t h = Vocabulary::hash(word.data(), word.size(), hd);
  const int64_t slot = vocab_.find_slot(word, h, hd);
  if (slot >= 0 && vocab_.mark_at_slot(slot)) {
    emit(vocab_.id_at_slot(slot));
    return;
  }
  // Merging is the slow path; a word seen before in this call reuses its ids.
  const int32_t* cached;
  std::size_t n;
  if (st.cache.find(word, h, cached, n)) {
    for (std::size_t i = 0; i < n; ++i) emit(cached[i]);
    return;
  }
  st.ids.clear();
  auto collect = [&](int32_t id) { st.ids.push_back(id); };
  if (rule_ == PairRule::kJoinedToken) {
    PieceMerger::merge(word, JoinedTokenRanker{vocab_}, st.ws, collect);
  } else {
    PieceMerger::merge(word, MergeListRanker{merges_}, st.ws, collect);
  }
  st.cache.insert(word, h, st.ids.data(), st.ids.size());
  for (int32_t id : st.ids) emit(id);
}

template <class Fn>
void BPETokenizer::pre_tokenise(std::string_view text, Fn&& fn) {
  // Each pre-token comes with its head (first eight bytes), which every lookup of it
  // needs. The head takes one load where eight bytes are left in the text.
  const char* const end = text.data() + text.size();
  AsciiGpt2Scanner::split(text, [&](std::string_view word) {
    fn(word, end - word.data() >= 8 ? Vocabulary::head_readable8(word.data(), word.size())
                                    : Vocabulary::head(word.data(), word.size()));
  });
}

template <class Emit>
void BPETokenizer::naive_word_count(std::string_view text, Emit&& emit, Cancellation::Poller& poll) const {
  int32_t k = 0;
  bool in_word = false;
  while (!text.empty()) {
    const std::string_view block = text.substr(0, Cancellation::kInterval);
    for (unsigned char c : block) {
      const bool space = AsciiGpt2Scanner::class_of(c) == AsciiGpt2Scanner::kSpace;
      if (!space && !in_word) emit(k++);
      in_word = !space;
    }
    text.remove_prefix(block.size());
    poll.tick(block.size());
  }
}

template <class Emit>
void BPETokenizer::encode_each(std::string_view text, Emit&& emit) const {
  if (!is_loaded()) {
    Cancellation::Poller poll;
    naive_word_count(text, emit, poll);
    return;
  }
  CallState st;
  pre_tokenise(text, [&](std::string_view word, uint64_t hd) { bpe_word(word, hd, st, emit); });
}

}  // namespace corvane
