#pragma once

#include <array>
#include <cstring>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/vocabulary.h"
#include "formats/state_reader.h"
#include "formats/state_writer.h"
#include "models/bpe/joined_token_ranker.h"
#include "models/bpe/merge_list_ranker.h"
#include "models/bpe/merge_table.h"
#include "models/bpe/piece_merger.h"
#include "models/bpe/word_cache.h"

namespace corvane {

// Ranked tokens as a loader gathers them: token k is bytes[ends[k-1], ends[k]) (from 0 for
// k = 0), of rank ranks[k].
struct RankedTokens {
  std::string bytes;
  std::vector<uint32_t> ends;
  std::vector<int32_t> ranks;

  std::size_t size() const { return ranks.size(); }
  std::string_view token(std::size_t k) const {
    const uint32_t b = k ? ends[k - 1] : 0;
    return std::string_view(bytes).substr(b, ends[k] - b);
  }
  // Appends a token; throws std::length_error past 4 GiB of token bytes.
  void push(std::string_view token, int32_t rank) {
    if (bytes.size() + token.size() > UINT32_MAX) throw std::length_error("too many token bytes");
    bytes.append(token);
    ends.push_back(static_cast<uint32_t>(bytes.size()));
    ranks.push_back(rank);
  }
};

// A byte-pair model over raw bytes. As a tiktoken encoding's model: ranked byte tokens, the
// rank being the id, and tiktoken's rule: start from single bytes, join the adjacent pair
// whose joined bytes have the lowest rank (leftmost on ties) while any pair joins into a
// token; a piece that is itself a token is that token at once.
//
// The same model serves BPETokenizer's tables taken as they were loaded (`as_loaded`): a
// rank file's, or a tokenizer.json file's vocabulary with its merge list, whose rules then
// rank the pairs. Nothing is refused there, and a piece no token covers becomes id 0.
//
// Built once (the constructor, as_loaded or restore), then only read: one model may serve
// several threads at once, each with its own Scratch.
class RankedBpeModel {
 public:
  // Scratch state of one call (or of one thread's share of a batch). Its word cache keys
  // point into the texts encoded with it, which must outlive it.
  struct Scratch {
    PieceMerger::Workspace ws;
    WordCache cache;
    std::vector<int32_t> ids;
    // What the short pre-tokens (two to sixteen bytes) met in this call are, direct-mapped
    // by hash: their id when they are a token, -1 when they must be merged (then the word
    // cache holds their ids). A few thousand distinct words make up most of a text, and
    // this small table stays in the CPU's near caches where the vocabulary's table
    // (megabytes) does not. A pre-token of up to sixteen bytes is known exactly by its
    // first and last eight bytes and its length. An entry with len 0 is empty.
    struct Hot {
      uint64_t head;
      uint64_t tail;
      uint32_t len;
      int32_t id;
    };
    std::vector<Hot> hot;
    // Sizes the hot table for about `bytes` of text (it only grows).
    void prepare(std::size_t bytes) {
      std::size_t want = 64;
      while (want < kMaxHot && want * 8 < bytes) want *= 2;
      if (want > hot.size()) hot.assign(want, Hot{0, 0, 0, 0});
    }
    static constexpr std::size_t kMaxHot = 8192;
  };

  // What a token given twice means: an error, or (as in a rank file read into a dict) the
  // rank of its last occurrence.
  enum class Repeats : uint8_t { kRefuse, kLastWins };

  // The model of these tokens. Throws std::invalid_argument when a token is empty, when a
  // token is given twice (unless the last occurrence wins) or when two tokens share a rank.
  explicit RankedBpeModel(const RankedTokens& tokens, Repeats repeats = Repeats::kRefuse);
  RankedBpeModel() = default;

  // The model of tables as a loader filled them, not yet finished: `vocab` maps token bytes
  // to ids (ids may repeat, be negative or be shared); `merges`, when given, is the merge
  // list that ranks pairs (else a pair is ranked by the id of its joined bytes). A piece
  // that no token covers becomes id 0.
  static RankedBpeModel as_loaded(Vocabulary vocab, std::optional<MergeTable> merges);

  bool has_merge_list() const { return merge_list_; }
  const MergeTable& merge_list() const { return merges_; }
  const Vocabulary& vocabulary() const { return vocab_; }

  std::size_t size() const { return vocab_.size(); }
  int32_t max_rank() const { return max_rank_; }
  // Whether every single byte is a token (then every piece of every text encodes).
  bool covers_all_bytes() const { return all_bytes_; }

  // The rank of exactly these bytes, or nullptr.
  const int32_t* find(std::string_view token) const { return vocab_.find(token); }
  // The bytes of a rank's token.
  bool token_bytes(int32_t rank, std::string_view& out) const { return vocab_.token_of(rank, out); }
  // Calls fn(bytes, rank) for every token, in no particular order.
  template <class Fn>
  void for_each_token(Fn&& fn) const {
    for (std::size_t e = 0; e < vocab_.size(); ++e) fn(vocab_.text_at(e), vocab_.id_at(e));
  }

  // Encodes one pre-token (non-empty); `text_end` is the end of the text it lies in (so
  // that its first eight bytes can be read at once when they are all inside the text).
  // A pre-token merged before with the same scratch reuses its ids.
  template <class Emit>
  void encode_word(std::string_view word, const char* text_end, Scratch& st, Emit&& emit) const;
  // Encodes one piece without the cache (for pieces that need not outlive the call).
  template <class Emit>
  void encode_piece(std::string_view piece, PieceMerger::Workspace& ws, Emit&& emit) const;

  // Writes the tokens (see ranked_bpe_model.cc); `restore` reads them into an empty model
  // and finishes it. Throws std::invalid_argument through `r` on a malformed block. Only a
  // model built from RankedTokens is saved so (std::logic_error otherwise): the tables of
  // `as_loaded` have their owner's form.
  void save(StateWriter& w) const;
  void restore(StateReader& r);

 private:
  void finish();
  // The id of each single byte (`missing` for a byte that is no token), and all_bytes_.
  void fill_byte_ids(int32_t missing);
  // Thrown when a piece ends with a byte that is no token (only possible when some single
  // bytes are not tokens, and never for tables taken as loaded).
  [[noreturn]] static void missing_byte(std::string_view piece, const int32_t* ids, std::size_t n,
                                        const RankedBpeModel& model);
  template <class Emit>
  void merge(std::string_view word, PieceMerger::Workspace& ws, Emit&& emit) const;

  // Two slots per token: half the vocabulary table's usual size (o200k: 8 MB rather than
  // 16), as merging looks up far more pairs than it finds and a smaller table keeps more of
  // them in the CPU's caches.
  static constexpr std::size_t kTableSpread = 2;

  // A token is marked when merging its own bytes ends in that one token: a piece that is a
  // marked token is that token at once (under tiktoken's rule every token is marked).
  Vocabulary vocab_;
  MergeTable merges_;
  bool merge_list_ = false;
  // Tables taken as loaded: a piece no token covers is id 0 rather than an error.
  bool lenient_ = false;
  int32_t max_rank_ = -1;
  bool all_bytes_ = false;
  // Some token's id is negative (tables taken as loaded): the hot table, which tells a
  // token from a merged piece by the sign of its id, is not used.
  bool negative_ids_ = false;
  // The rank of each single byte; when that byte is not a token, -1 (0 when lenient, where
  // a token's id may itself be negative).
  std::array<int32_t, 256> byte_ids_{};
};

template <class Emit>
void RankedBpeModel::merge(std::string_view word, PieceMerger::Workspace& ws, Emit&& emit) const {
  if (merge_list_) {
    PieceMerger::merge(word, MergeListRanker{merges_}, ws, emit);
    return;
  }
  if (all_bytes_ || lenient_) {
    PieceMerger::merge(word, JoinedTokenRanker{vocab_, 0}, ws, emit);
    return;
  }
  std::vector<int32_t> ids;
  PieceMerger::merge(word, JoinedTokenRanker{vocab_, -1}, ws, [&](int32_t id) { ids.push_back(id); });
  for (int32_t id : ids) {
    if (id < 0) missing_byte(word, ids.data(), ids.size(), *this);
  }
  for (int32_t id : ids) emit(id);
}

template <class Emit>
void RankedBpeModel::encode_word(std::string_view word, const char* text_end, Scratch& st,
                                 Emit&& emit) const {
  if (word.size() == 1) {
    const int32_t id = byte_ids_[static_cast<unsigned char>(word[0])];
    if (id < 0 && !lenient_) missing_byte(word, &id, 1, *this);
    emit(id);
    return;
  }
  const uint64_t hd = text_end - word.data() >= 8 ? Vocabulary::head_readable8(word.data(), word.size())
                                                  : Vocabulary::head(word.data(), word.size());
  const uint64_t h = Vocabulary::hash(word.data(), word.size(), hd);
  Scratch::Hot* hot = nullptr;
  uint64_t tail = 0;
  if (word.size() <= 16 && !st.hot.empty() && !negative_ids_) {
    if (word.size() > 8) std::memcpy(&tail, word.data() + word.size() - 8, 8);
    hot = &st.hot[(h >> 40) & (st.hot.size() - 1)];
    if (hot->len == word.size() && hot->head == hd && hot->tail == tail) {
      if (hot->id >= 0) {
        emit(hot->id);
        return;
      }
      hot = nullptr;  // not a token: its ids are in the word cache
    } else {
      const int64_t slot = vocab_.find_slot(word, h, hd);
      const int32_t id = slot >= 0 && vocab_.mark_at_slot(slot) ? vocab_.id_at_slot(slot) : -1;
      *hot = Scratch::Hot{hd, tail, static_cast<uint32_t>(word.size()), id};
      if (id >= 0) {
        emit(id);
        return;
      }
    }
  } else {
    const int64_t slot = vocab_.find_slot(word, h, hd);
    if (slot >= 0 && vocab_.mark_at_slot(slot)) {
      emit(vocab_.id_at_slot(slot));
      return;
    }
  }
  // Merging is the slow path; a word seen before with this scratch reuses its ids.
  const int32_t* cached;
  std::size_t n;
  if (st.cache.find(word, h, cached, n)) {
    for (std::size_t i = 0; i < n; ++i) emit(cached[i]);
    return;
  }
  st.ids.clear();
  merge(word, st.ws, [&](int32_t id) { st.ids.push_back(id); });
  st.cache.insert(word, h, st.ids.data(), st.ids.size());
  for (int32_t id : st.ids) emit(id);
}

template <class Emit>
void RankedBpeModel::encode_piece(std::string_view piece, PieceMerger::Workspace& ws, Emit&& emit) const {
  if (piece.empty()) return;
  const int64_t slot = vocab_.find_slot(piece);
  if (slot >= 0 && vocab_.mark_at_slot(slot)) {
    emit(vocab_.id_at_slot(slot));
    return;
  }
  merge(piece, ws, emit);
}

}  // namespace corvane
