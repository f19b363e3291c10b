#include "models/bpe/sentencepiece_bpe_model.h"

#include <algorithm>
#include <functional>
#include <limits>
#include <queue>
#include <stdexcept>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "core/cancellation.h"
#include "models/token_cache.h"

namespace corvane {

namespace {

using Type = SentencePiecePieces::Type;

inline std::size_t char_length(unsigned char b) { return b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4; }

struct Symbol {
  int32_t prev;
  int32_t next;
  bool freeze;
  uint32_t begin;
  uint32_t size;  // 0 once merged into its left neighbour
};

struct Pair {
  int32_t left;
  int32_t right;
  float score;
  uint32_t size;
};

// The order of SentencePiece's agenda: the highest score on top, then the leftmost.
struct PairOrder {
  bool operator()(const Pair& a, const Pair& b) const {
    return a.score < b.score || (a.score == b.score && a.left > b.left);
  }
};

}  // namespace

class SentencePieceBpeModel::BpeScratch : public Model::Scratch {
 public:
  std::vector<Symbol> symbols;
  std::vector<Pair> heap;
  TokenCache cache;
};

SentencePieceBpeModel::SentencePieceBpeModel(std::shared_ptr<const SentencePiecePieces> pieces)
    : shared_pieces_(std::move(pieces)), pieces_(*shared_pieces_) {
  std::vector<std::pair<std::string_view, int32_t>> user;
  for (std::size_t i = 0; i < pieces_.size(); ++i) {
    if (pieces_[i].type == Type::kUserDefined) user.emplace_back(pieces_[i].text, static_cast<int32_t>(i));
    if (pieces_[i].type == Type::kUnused) has_unused_ = true;
  }
  user_defined_ = PieceTrie(std::move(user));
  // Texts are cut into words (see MetaspaceCuts) when "▁" is a piece of its own (so
  // that a word's first token is never an unknown one joined to the run before it), after
  // every piece that can be made (merged into, or matched as a user-defined symbol) has
  // been noted. Unused pieces are split back by halves seen anywhere in the text, so they
  // rule it out.
  for (const auto& [text, id] : pieces_.segmentation_pieces()) cuts_.note(text);
  cuts_.finish();
  split_at_metaspace_ = !has_unused_ && pieces_.find_normal(MetaspaceCuts::kMetaspace) >= 0 && cuts_.words_only();
}

std::unique_ptr<Model::Scratch> SentencePieceBpeModel::new_scratch() const { return std::make_unique<BpeScratch>(); }

void SentencePieceBpeModel::tokenize(std::string_view piece, Scratch* scratch, std::vector<PieceToken>& out) const {
  if (piece.empty()) return;
  auto* s = static_cast<BpeScratch*>(scratch);
  if (s == nullptr) {
    BpeScratch local;
    tokenize_uncached(piece, local, out);
    return;
  }
  // Cut into words, which recur, whatever the text's length (a line cached whole rarely
  // comes again).
  if (split_at_metaspace_) {
    cuts_.tokenize_words(piece, out, [&](std::string_view word, std::vector<PieceToken>& o) {
      tokenize_word(word, *s, o);
    });
    return;
  }
  tokenize_word(piece, *s, out);
}

void SentencePieceBpeModel::tokenize_word(std::string_view piece, BpeScratch& s, std::vector<PieceToken>& out) const {
  s.cache.tokens_of(piece, out, [&](std::vector<PieceToken>& o) { tokenize_uncached(piece, s, o); });
}

void SentencePieceBpeModel::tokenize_uncached(std::string_view text, BpeScratch& s, std::vector<PieceToken>& out) const {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  if (n >= static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) {
    throw std::length_error("text is too long for the BPE model (2 GiB or more)");
  }
  Cancellation::Poller poll;
  // The initial symbols.
  std::vector<Symbol>& symbols = s.symbols;
  symbols.clear();
  for (std::size_t i = 0; i < n;) {
    std::size_t len = 0;
    user_defined_.for_each_prefix(p + i, n - i, [&](std::size_t l, int32_t) { len = l; });
    const bool freeze = len > 0;
    if (!freeze) len = std::min(char_length(p[i]), n - i);
    const auto index = static_cast<int32_t>(symbols.size());
    symbols.push_back(Symbol{index - 1, i + len < n ? index + 1 : -1, freeze, static_cast<uint32_t>(i),
                             static_cast<uint32_t>(len)});
    i += len;
  }
  // An unused piece's last seen halves, by its text.
  std::unordered_map<std::string_view, std::pair<std::string_view, std::string_view>> halves;
  std::vector<Pair>& heap = s.heap;
  heap.clear();
  const PairOrder order;
  auto add_pair = [&](int32_t left, int32_t right) {
    if (left < 0 || right < 0) return;
    const Symbol& l = symbols[static_cast<std::size_t>(left)];
    const Symbol& r = symbols[static_cast<std::size_t>(right)];
    if (l.freeze || r.freeze) return;
    const std::string_view joined = text.substr(l.begin, l.size + r.size);
    const int32_t id = pieces_.find_normal(joined);
    if (id < 0) return;
    const auto& pc = pieces_[static_cast<std::size_t>(id)];
    heap.push_back(Pair{left, right, pc.score, static_cast<uint32_t>(joined.size())});
    std::push_heap(heap.begin(), heap.end(), order);
    if (pc.type == Type::kUnused) {
      halves[joined] = {text.substr(l.begin, l.size), text.substr(r.begin, r.size)};
    }
  };
  for (std::size_t i = 1; i < symbols.size(); ++i) add_pair(static_cast<int32_t>(i - 1), static_cast<int32_t>(i));
  while (!heap.empty()) {
    std::pop_heap(heap.begin(), heap.end(), order);
    const Pair top = heap.back();
    heap.pop_back();
    Symbol& l = symbols[static_cast<std::size_t>(top.left)];
    Symbol& r = symbols[static_cast<std::size_t>(top.right)];
    if (l.size == 0 || r.size == 0 || l.size + r.size != top.size) continue;
    l.size += r.size;
    l.next = r.next;
    if (r.next >= 0) symbols[static_cast<std::size_t>(r.next)].prev = top.left;
    r.size = 0;
    add_pair(l.prev, top.left);
    add_pair(top.left, l.next);
    poll.tick();
  }
  // The tokens: each symbol's piece, an unused one split back into its halves.
  bool prev_unknown = false;
  const uint32_t unk = pieces_.unk_id();
  std::function<void(std::string_view)> resegment = [&](std::string_view w) {
    const std::optional<uint32_t> found = pieces_.find(w);
    const uint32_t id = found ? *found : unk;
    const auto begin = static_cast<uint32_t>(w.data() - text.data());
    if (pieces_[id].type == Type::kUnused) {
      const auto it = halves.find(w);
      if (it != halves.end()) {
        resegment(it->second.first);
        resegment(it->second.second);
        return;
      }
    }
    pieces_.emit(id, begin, begin + static_cast<uint32_t>(w.size()), text, prev_unknown, out);
  };
  for (int32_t i = symbols.empty() ? -1 : 0; i >= 0; i = symbols[static_cast<std::size_t>(i)].next) {
    const Symbol& sym = symbols[static_cast<std::size_t>(i)];
    const std::string_view w = text.substr(sym.begin, sym.size);
    if (!has_unused_) {
      const std::optional<uint32_t> found = pieces_.find(w);
      pieces_.emit(found ? *found : unk, sym.begin, sym.begin + sym.size, text, prev_unknown, out);
    } else {
      resegment(w);
    }
  }
}

}  // namespace corvane
