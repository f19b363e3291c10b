#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/vocabulary.h"
#include "models/bpe/metaspace_cuts.h"
#include "models/bpe/pair_queue.h"
#include "models/model.h"

namespace corvane {

// The "BPE" model of a tokenizer.json file, as HuggingFace tokenizers runs it.
//
// A piece starts as one symbol per character: the character's text, with the
// continuing-subword prefix in front of every character but the first and the
// end-of-word suffix after the last. A character whose text is not in the vocabulary
// becomes its bytes' "<0xXX>" tokens (byte_fallback, when all of them exist), else the
// unknown token (one per character, or one per run of them with fuse_unk), else nothing
// at all when there is no unknown token. A pending unknown token is written only when
// the next character found in the vocabulary comes (or at the end), so it follows any
// byte tokens written meanwhile, as in tokenizers.
//
// Then, while some adjacent pair of symbols is a merge rule, the pair with the lowest
// rank is joined, the leftmost among equal ranks; the joined symbol's id is the one the
// rule's joined text (left + right without its prefix) has in the vocabulary. A queued
// pair is only joined when the pair now at its place still joins into the same id.
// With ignore_merges a piece that is itself a vocabulary token is that one token.
//
// Each token spans its symbols' byte lengths, laid end to end from 0: a character's
// length, one byte per "<0xXX>" token (the prefix and suffix bytes included, as in
// tokenizers, so such offsets may run past the piece).
//
// Immutable once built. Each thread's Scratch caches the tokens of short pieces. A long
// piece is cut into words before each "▁" that no rule can join onto what precedes it.
class HfBpeModel : public Model {
 public:
  struct Options {
    std::optional<std::string> unk_token;
    std::optional<std::string> continuing_subword_prefix;
    std::optional<std::string> end_of_word_suffix;
    bool fuse_unk = false;
    bool byte_fallback = false;
    bool ignore_merges = false;
    // Only 0 (no dropout) and 1 (every merge is skipped: tokenizers' random draw is
    // always below 1) are deterministic, and only they are accepted.
    std::optional<float> dropout;
  };

  // `vocab` in source order (a later equal token replaces an earlier one's id), `merges`
  // in rank order (a later rule for the same pair replaces the earlier one). Throws
  // std::invalid_argument with tokenizers' message when a merge's token or joined token
  // is not in the vocabulary, or when the dropout is out of [0, 1]; and when the dropout
  // is strictly between 0 and 1 (random tokenization is not supported).
  HfBpeModel(const std::vector<std::pair<std::string_view, uint32_t>>& vocab,
             const std::vector<std::pair<std::string_view, std::string_view>>& merges, Options options);
  ~HfBpeModel() override;

  std::unique_ptr<Scratch> new_scratch() const override;
  // Throws std::runtime_error "Unk token `<unk>` not found in the vocabulary" when an
  // unknown character needs the unknown token and the vocabulary lacks it. An empty
  // piece gives no token.
  void tokenize(std::string_view piece, Scratch* scratch, std::vector<PieceToken>& out) const override;

  std::optional<uint32_t> token_to_id(std::string_view token) const override;
  std::optional<std::string_view> id_to_token(uint32_t id) const override;
  std::size_t vocab_size() const override { return vocab_.size(); }
  void for_each_token(const std::function<void(std::string_view, uint32_t)>& fn) const override;

  const Options& options() const { return options_; }
  std::size_t merge_count() const { return merge_count_; }

 private:
  struct Work;
  class BpeScratch;
  // One symbol of a piece being merged, linked to its neighbours; a symbol joined into
  // its left neighbour keeps len 0.
  struct Symbol {
    uint32_t id;
    int32_t prev;
    int32_t next;
    uint32_t len;
  };

  struct MergeSlot {
    uint64_t pair;     // left id << 32 | right id
    uint32_t rank;     // kNoRank in an empty slot
    uint32_t new_id;
  };
  static constexpr uint32_t kNoRank = 0xFFFFFFFFu;
  static constexpr int64_t kMissing = -1;

  void add_merge(uint32_t left, uint32_t right, uint32_t rank, uint32_t new_id);
  const MergeSlot* find_merge(uint32_t left, uint32_t right) const {
    const uint64_t key = (static_cast<uint64_t>(left) << 32) | right;
    const std::size_t mask = merges_.size() - 1;
    for (std::size_t i = merge_slot(key);; i = (i + 1) & mask) {
      const MergeSlot& s = merges_[i];
      if (s.rank == kNoRank) return nullptr;
      if (s.pair == key) return &s;
    }
  }

  std::size_t merge_slot(uint64_t key) const {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> merge_shift_);
  }

  int64_t lookup(std::string_view text) const {
    const int32_t* id = vocab_.find(text);
    return id == nullptr ? kMissing : static_cast<int64_t>(static_cast<uint32_t>(*id));
  }
  // The symbols of `piece` into w.symbols; throws for a missing unknown token.
  void initial_symbols(std::string_view piece, Work& w) const;
  void merge_all(Work& w) const;
  template <class Queue>
  void merge_all(std::vector<Symbol>& symbols, Queue& queue) const;
  void tokenize_uncached(std::string_view piece, Work& w, std::vector<PieceToken>& out) const;
  // One word: from the scratch's cache when it is short.
  void tokenize_word(std::string_view piece, Scratch* scratch, std::vector<PieceToken>& out) const;

  Options options_;
  bool merges_skipped_ = false;  // dropout 1
  Vocabulary vocab_;
  std::vector<MergeSlot> merges_;  // open addressing, size a power of two
  int merge_shift_ = 60;           // 64 - log2(merges_.size())
  // The joined id of each rank's rule (a rule replaced by a later one for the same pair
  // keeps its entry, unused).
  std::vector<uint32_t> new_id_of_rank_;
  std::size_t merge_count_ = 0;
  // The id of each ASCII character's text (kMissing when none), by position in the
  // piece: [first + 2 * last].
  int64_t ascii_ids_[4][128];
  int64_t byte_ids_[256];  // "<0xXX>", kMissing when absent
  int64_t unk_id_ = kMissing;
  bool split_at_metaspace_ = false;  // long pieces are cut into words before a "▁"
  MetaspaceCuts cuts_;
};

}  // namespace corvane
