#include "models/bpe/hf_bpe_model.h"

#include <algorithm>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "core/utf8.h"
#include "models/token_cache.h"

namespace corvane {

namespace {

// Pieces shorter than this many bytes are cached, as tokenizers caches them.
constexpr std::size_t kMaxCachedPiece = TokenCache::kMaxPieceBytes;

std::size_t char_length(unsigned char lead) { return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4; }

std::string byte_token(unsigned char b) {
  static const char* const kHex = "0123456789ABCDEF";
  std::string s = "<0x00>";
  s[3] = kHex[b >> 4];
  s[4] = kHex[b & 15];
  return s;
}

// A plain binary heap of (rank, position) keys, for pieces of few symbols: it pops in the
// same order as PairQueue, which is faster on long pieces but costs more to set up.
class SmallHeap {
 public:
  void clear() { keys_.clear(); }
  bool empty() const { return keys_.empty(); }
  void push(int32_t rank, uint32_t pos) {
    keys_.push_back((static_cast<uint64_t>(static_cast<uint32_t>(rank)) << 32) | pos);
    std::push_heap(keys_.begin(), keys_.end(), std::greater<uint64_t>());
  }
  void pop(int32_t& rank, uint32_t& pos) {
    std::pop_heap(keys_.begin(), keys_.end(), std::greater<uint64_t>());
    rank = static_cast<int32_t>(keys_.back() >> 32);
    pos = static_cast<uint32_t>(keys_.back());
    keys_.pop_back();
  }

 private:
  std::vector<uint64_t> keys_;
};

// Pieces of at most this many symbols are merged with a SmallHeap.
constexpr std::size_t kSmallPiece = 64;

}  // namespace

// Buffers of one tokenization, kept between calls by a scratch.
struct HfBpeModel::Work {
  std::vector<Symbol> symbols;
  // (rank, position), lowest rank first, then leftmost.
  SmallHeap small_queue;
  std::unique_ptr<PairQueue> queue;  // made for the first long piece
  std::string text;  // a character's text with prefix and suffix

  void add(uint32_t id, uint64_t len) {
    if (len > UINT32_MAX) throw std::length_error("piece too long (4 GiB or more)");
    if (symbols.size() >= static_cast<std::size_t>(INT32_MAX)) throw std::length_error("piece too long (2^31 symbols or more)");
    const auto n = static_cast<int32_t>(symbols.size());
    if (n > 0) symbols.back().next = n;
    symbols.push_back(Symbol{id, n - 1, -1, static_cast<uint32_t>(len)});
  }
};

// A thread's buffers and its cache of short pieces (as tokenizers caches them).
class HfBpeModel::BpeScratch : public Model::Scratch {
 public:
  Work work;
  TokenCache cache;
};

HfBpeModel::HfBpeModel(const std::vector<std::pair<std::string_view, uint32_t>>& vocab,
                       const std::vector<std::pair<std::string_view, std::string_view>>& merges, Options options)
    : options_(std::move(options)) {
  if (options_.dropout) {
    const float p = *options_.dropout;
    if (!(p >= 0.0f && p <= 1.0f)) throw std::invalid_argument("Dropout should be between 0 and 1, inclusive");
    if (p > 0.0f && p < 1.0f) {
      std::ostringstream text;
      text << "dropout " << p << " is not supported: it makes tokenization random (only null, 0 and 1 are)";
      throw std::invalid_argument(text.str());
    }
    merges_skipped_ = p == 1.0f;
  }

  vocab_.reserve(vocab.size());
  for (const auto& [token, id] : vocab) vocab_.assign(token, static_cast<int32_t>(id));
  vocab_.finish();

  // The joined text of a rule is the left text and the right text without as many leading
  // bytes as the prefix has (whatever they are), as tokenizers builds it.
  const std::size_t prefix_len = options_.continuing_subword_prefix ? options_.continuing_subword_prefix->size() : 0;
  if (merges.size() >= static_cast<std::size_t>(INT32_MAX)) throw std::invalid_argument("too many merges");
  std::size_t slots = 16;
  merge_shift_ = 60;
  while (slots < merges.size() * 2) {
    slots *= 2;
    --merge_shift_;
  }
  merges_.assign(slots, MergeSlot{0, kNoRank, 0});
  new_id_of_rank_.resize(merges.size());
  std::string joined;
  // Rules on the symbols of unknown characters ("<0xXX>" or the unknown token), whose text
  // is not the text of the piece.
  bool merge_joins_unknowns = false;
  auto is_byte_or_unk = [&](std::string_view t) {
    const bool byte = t.size() == 6 && t.substr(0, 3) == "<0x" && t[5] == '>';
    return byte || (options_.unk_token && t == *options_.unk_token);
  };
  for (std::size_t i = 0; i < merges.size(); ++i) {
    const auto& [left, right] = merges[i];
    const int64_t a = lookup(left);
    if (a == kMissing) throw std::invalid_argument("Token `" + Utf8::repair(left) + "` out of vocabulary");
    const int64_t b = lookup(right);
    if (b == kMissing) throw std::invalid_argument("Token `" + Utf8::repair(right) + "` out of vocabulary");
    if (right.size() < prefix_len) {
      // tokenizers fails here without a message of its own.
      throw std::invalid_argument("Merge `" + Utf8::repair(left) + " " + Utf8::repair(right) +
                                  "`: the right token is shorter than the continuing_subword_prefix");
    }
    joined.assign(left);
    joined.append(right.substr(prefix_len));
    if (is_byte_or_unk(left) || is_byte_or_unk(right)) merge_joins_unknowns = true;
    cuts_.note(joined);
    const int64_t c = lookup(joined);
    if (c == kMissing) throw std::invalid_argument("Token `" + Utf8::repair(joined) + "` out of vocabulary");
    new_id_of_rank_[i] = static_cast<uint32_t>(c);
    add_merge(static_cast<uint32_t>(a), static_cast<uint32_t>(b), static_cast<uint32_t>(i), static_cast<uint32_t>(c));
  }

  const std::string prefix = options_.continuing_subword_prefix.value_or("");
  const std::string suffix = options_.end_of_word_suffix.value_or("");
  for (int v = 0; v < 4; ++v) {
    const bool first = (v & 1) != 0, last = (v & 2) != 0;
    for (int ch = 0; ch < 128; ++ch) {
      std::string s = first ? "" : prefix;
      s.push_back(static_cast<char>(ch));
      if (last) s += suffix;
      ascii_ids_[v][ch] = lookup(s);
    }
  }
  for (int b = 0; b < 256; ++b) byte_ids_[b] = lookup(byte_token(static_cast<unsigned char>(b)));
  if (options_.unk_token) unk_id_ = lookup(*options_.unk_token);

  // A rule joins symbols whose texts meet inside the rule's own text. So where a piece has
  // a character c before a "▁" and no rule's text has c before a "▁", no merge crosses
  // that place, and a long piece (a whole text, as SentencePiece-style files hand it over)
  // gives the same tokens cut into words there, each one cached. That holds only when every
  // character makes a symbol of its own text and length (an unknown one included, and no
  // rule joins unknown characters' symbols), when "▁" is a token (so unknown tokens on both
  // sides of a cut are never fused), and without the options that treat a piece as a word.
  bool all_bytes = true;
  for (int64_t id : byte_ids_) all_bytes = all_bytes && id != kMissing;
  cuts_.finish();
  split_at_metaspace_ = cuts_.words_only() && !merge_joins_unknowns && !merges_skipped_ && !options_.ignore_merges &&
                        prefix.empty() && suffix.empty() && lookup(MetaspaceCuts::kMetaspace) != kMissing &&
                        (options_.unk_token.has_value() || (options_.byte_fallback && all_bytes));
}

HfBpeModel::~HfBpeModel() = default;

void HfBpeModel::add_merge(uint32_t left, uint32_t right, uint32_t rank, uint32_t new_id) {
  const uint64_t key = (static_cast<uint64_t>(left) << 32) | right;
  const std::size_t mask = merges_.size() - 1;
  for (std::size_t i = merge_slot(key);; i = (i + 1) & mask) {
    MergeSlot& s = merges_[i];
    if (s.rank == kNoRank) {
      s = MergeSlot{key, rank, new_id};
      ++merge_count_;
      return;
    }
    if (s.pair == key) {
      s.rank = rank;
      s.new_id = new_id;
      return;
    }
  }
}

std::unique_ptr<Model::Scratch> HfBpeModel::new_scratch() const { return std::make_unique<BpeScratch>(); }

void HfBpeModel::initial_symbols(std::string_view piece, Work& w) const {
  w.symbols.clear();
  w.symbols.reserve(piece.size());
  const auto* p = reinterpret_cast<const unsigned char*>(piece.data());
  const std::size_t n = piece.size();
  // (Views of the options' own strings: a conditional expression mixing std::string and
  // "" would make a temporary string.)
  std::string_view prefix, suffix;
  if (options_.continuing_subword_prefix) prefix = *options_.continuing_subword_prefix;
  if (options_.end_of_word_suffix) suffix = *options_.end_of_word_suffix;
  // A pending unknown token: its length so far, 0 when there is none.
  uint64_t unk_len = 0;
  auto need_unk = [&]() -> uint32_t {
    if (unk_id_ == kMissing) {
      throw std::runtime_error("Unk token `" + *options_.unk_token + "` not found in the vocabulary");
    }
    return static_cast<uint32_t>(unk_id_);
  };
  for (std::size_t i = 0; i < n;) {
    const std::size_t len = std::min(char_length(p[i]), n - i);
    const bool first = i == 0, last = i + len == n;
    int64_t id;
    if (len == 1 && p[i] < 0x80) {
      id = ascii_ids_[(first ? 1 : 0) + (last ? 2 : 0)][p[i]];
    } else {
      w.text.clear();
      if (!first) w.text.append(prefix);
      w.text.append(piece.substr(i, len));
      if (last) w.text.append(suffix);
      id = lookup(w.text);
    }
    if (id != kMissing) {
      if (unk_len != 0) {
        w.add(static_cast<uint32_t>(unk_id_), unk_len);
        unk_len = 0;
      }
      w.add(static_cast<uint32_t>(id), len);
      i += len;
      continue;
    }
    if (options_.byte_fallback) {
      // Every byte of the character's text, prefix and suffix included, or none.
      bool all = true;
      auto check = [&](std::string_view s) {
        for (unsigned char b : s) all = all && byte_ids_[b] != kMissing;
      };
      if (!first) check(prefix);
      check(piece.substr(i, len));
      if (last) check(suffix);
      if (all) {
        auto emit = [&](std::string_view s) {
          for (unsigned char b : s) w.add(static_cast<uint32_t>(byte_ids_[b]), 1);
        };
        if (!first) emit(prefix);
        emit(piece.substr(i, len));
        if (last) emit(suffix);
        i += len;
        continue;
      }
    }
    if (options_.unk_token) {
      if (unk_len != 0 && options_.fuse_unk) {
        unk_len += len;
      } else {
        if (unk_len != 0) w.add(static_cast<uint32_t>(unk_id_), unk_len);
        need_unk();
        unk_len = len;
      }
    }
    i += len;
  }
  if (unk_len != 0) w.add(static_cast<uint32_t>(unk_id_), unk_len);
}

// The merge loop of tokenizers' Word::merge_all, step for step. A queued merge is known by
// its rank, which names its rule and so its joined id; the queue pops in exactly the order
// of tokenizers' heap, lowest rank first and then leftmost, duplicates included.
void HfBpeModel::merge_all(Work& w) const {
  const std::size_t n = w.symbols.size();
  if (n < 2 || merges_skipped_) return;
  if (n <= kSmallPiece) {
    merge_all(w.symbols, w.small_queue);
  } else {
    if (!w.queue) w.queue = std::make_unique<PairQueue>();
    merge_all(w.symbols, *w.queue);
  }
}

template <class Queue>
void HfBpeModel::merge_all(std::vector<Symbol>& sym, Queue& queue) const {
  const std::size_t n = sym.size();
  queue.clear();
  for (std::size_t i = 0; i + 1 < n; ++i) {
    if (const MergeSlot* m = find_merge(sym[i].id, sym[i + 1].id)) {
      queue.push(static_cast<int32_t>(m->rank), static_cast<uint32_t>(i));
    }
  }
  while (!queue.empty()) {
    int32_t rank;
    uint32_t pos;
    queue.pop(rank, pos);
    const uint32_t new_id = new_id_of_rank_[static_cast<std::size_t>(rank)];
    Symbol& cur = sym[pos];
    if (cur.len == 0 || cur.next == -1) continue;
    const auto next_pos = static_cast<std::size_t>(cur.next);
    const Symbol right = sym[next_pos];
    const MergeSlot* m = find_merge(cur.id, right.id);
    if (m == nullptr || m->new_id != new_id) continue;
    cur.id = new_id;
    cur.len += right.len;
    cur.next = right.next;
    sym[next_pos].len = 0;
    if (right.next > -1) sym[static_cast<std::size_t>(right.next)].prev = static_cast<int32_t>(pos);
    if (cur.prev >= 0) {
      if (const MergeSlot* pm = find_merge(sym[static_cast<std::size_t>(cur.prev)].id, cur.id)) {
        queue.push(static_cast<int32_t>(pm->rank), static_cast<uint32_t>(cur.prev));
      }
    }
    if (cur.next >= 0) {
      if (const MergeSlot* nm = find_merge(cur.id, sym[static_cast<std::size_t>(cur.next)].id)) {
        queue.push(static_cast<int32_t>(nm->rank), pos);
      }
    }
  }
}

void HfBpeModel::tokenize_uncached(std::string_view piece, Work& w, std::vector<PieceToken>& out) const {
  initial_symbols(piece, w);
  merge_all(w);
  uint64_t pos = 0;
  for (const Symbol& s : w.symbols) {
    if (s.len == 0) continue;
    const uint64_t end = pos + s.len;
    if (end > UINT32_MAX) throw std::length_error("piece too long (4 GiB or more)");
    out.push_back(PieceToken{s.id, static_cast<uint32_t>(pos), static_cast<uint32_t>(end)});
    pos = end;
  }
}

void HfBpeModel::tokenize(std::string_view piece, Scratch* scratch, std::vector<PieceToken>& out) const {
  if (piece.empty()) return;
  if (piece.size() >= UINT32_MAX) throw std::length_error("piece too long (4 GiB or more)");
  // With dropout 1 tokenizers goes straight to the merge loop: no whole-piece lookup.
  if (options_.ignore_merges && !merges_skipped_) {
    const int64_t id = lookup(piece);
    if (id != kMissing) {
      out.push_back(PieceToken{static_cast<uint32_t>(id), 0, static_cast<uint32_t>(piece.size())});
      return;
    }
  }
  // Cut into words, which recur, whatever the piece's length (a line cached whole rarely
  // comes again).
  if (split_at_metaspace_) {
    cuts_.tokenize_words(piece, out, [&](std::string_view word, std::vector<PieceToken>& o) {
      tokenize_word(word, scratch, o);
    });
    return;
  }
  tokenize_word(piece, scratch, out);
}

void HfBpeModel::tokenize_word(std::string_view piece, Scratch* scratch, std::vector<PieceToken>& out) const {
  auto* s = static_cast<BpeScratch*>(scratch);
  if (s == nullptr) {
    Work w;
    tokenize_uncached(piece, w, out);
    return;
  }
  if (piece.size() >= kMaxCachedPiece) {
    tokenize_uncached(piece, s->work, out);
    return;
  }
  const uint64_t h = Vocabulary::hash(piece.data(), piece.size());
  s->cache.tokens_of(piece, h, out, [&](std::vector<PieceToken>& o) { tokenize_uncached(piece, s->work, o); });
}

std::optional<uint32_t> HfBpeModel::token_to_id(std::string_view token) const {
  const int64_t id = lookup(token);
  if (id == kMissing) return std::nullopt;
  return static_cast<uint32_t>(id);
}

std::optional<std::string_view> HfBpeModel::id_to_token(uint32_t id) const {
  std::string_view t;
  if (!vocab_.token_of(static_cast<int32_t>(id), t)) return std::nullopt;
  return t;
}

void HfBpeModel::for_each_token(const std::function<void(std::string_view, uint32_t)>& fn) const {
  for (std::size_t e = 0; e < vocab_.size(); ++e) fn(vocab_.text_at(e), static_cast<uint32_t>(vocab_.id_at(e)));
}

}  // namespace corvane
