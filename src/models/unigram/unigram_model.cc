#include "models/unigram/unigram_model.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "core/cancellation.h"
#include "models/token_cache.h"

namespace corvane {

namespace {

constexpr double kUnkPenalty = 10.0;

inline std::size_t char_length(unsigned char b) { return b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4; }

[[noreturn]] void missing_unk() {
  throw std::runtime_error("Encountered an unknown token but `unk_id` is missing");
}

const char kHex[] = "0123456789ABCDEF";

}  // namespace

class UnigramModel::UnigramScratch : public Model::Scratch {
 public:
  std::vector<Best> best;
  TokenCache cache;
};

UnigramModel::UnigramModel(std::vector<std::pair<std::string, double>> vocab, std::optional<std::size_t> unk_id,
                           bool byte_fallback)
    : unk_id_(unk_id), byte_fallback_(byte_fallback) {
  if (unk_id) {
    if (vocab.empty()) throw std::invalid_argument("The vocabulary is empty but at least <unk> is needed");
    if (*unk_id >= vocab.size()) throw std::invalid_argument("The `unk_id` is larger than vocabulary size");
  }
  if (vocab.size() > static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) {
    throw std::invalid_argument("The vocabulary has too many pieces");
  }
  pieces_.reserve(vocab.size());
  scores_.reserve(vocab.size());
  double min_score = std::numeric_limits<double>::infinity();
  token_ids_.reserve(vocab.size());
  for (std::size_t i = 0; i < vocab.size(); ++i) {
    if (vocab[i].second < min_score) min_score = vocab[i].second;
    pieces_.push_back(std::move(vocab[i].first));
    scores_.push_back(vocab[i].second);
  }
  for (std::size_t i = 0; i < pieces_.size(); ++i) token_ids_.assign(pieces_[i], static_cast<int32_t>(i));
  token_ids_.finish();
  // The trie finds each piece under its last id, as the peer's token -> id map does.
  std::vector<std::pair<std::string_view, int32_t>> entries;
  entries.reserve(pieces_.size());
  for (std::size_t i = 0; i < pieces_.size(); ++i) entries.emplace_back(pieces_[i], static_cast<int32_t>(i));
  trie_ = PieceTrie(std::move(entries));
  unk_score_ = min_score - kUnkPenalty;
  if (byte_fallback_) {
    byte_ids_.assign(256, -1);
    char name[7] = {'<', '0', 'x', 0, 0, '>', 0};
    for (int b = 0; b < 256; ++b) {
      name[3] = kHex[b >> 4];
      name[4] = kHex[b & 15];
      if (const int32_t* id = token_ids_.find(std::string_view(name, 6))) byte_ids_[b] = *id;
    }
  }
}

std::unique_ptr<Model::Scratch> UnigramModel::new_scratch() const { return std::make_unique<UnigramScratch>(); }

void UnigramModel::tokenize(std::string_view piece, Scratch* scratch, std::vector<PieceToken>& out) const {
  if (piece.empty()) return;
  auto* s = static_cast<UnigramScratch*>(scratch);
  if (s == nullptr) {
    std::vector<Best> best;
    tokenize_uncached(piece, best, out);
    return;
  }
  s->cache.tokens_of(piece, out, [&](std::vector<PieceToken>& o) { tokenize_uncached(piece, s->best, o); });
}

void UnigramModel::tokenize_uncached(std::string_view piece, std::vector<Best>& best,
                                     std::vector<PieceToken>& out) const {
  const auto* p = reinterpret_cast<const unsigned char*>(piece.data());
  const std::size_t n = piece.size();
  if (n >= static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) {
    throw std::length_error("text is too long for the Unigram model (2 GiB or more)");
  }
  best.assign(n + 1, Best{0.0, -1, 0});
  Cancellation::Poller poll;
  // Forward: the best path ending at each character boundary. A candidate replaces the
  // path found so far only when strictly better.
  for (std::size_t start = 0; start < n;) {
    const double here = best[start].score;
    const std::size_t mblen = char_length(p[start]);
    bool has_single = false;
    trie_.for_each_prefix(p + start, n - start, [&](std::size_t len, int32_t id) {
      Best& target = best[start + len];
      const double candidate = scores_[static_cast<std::size_t>(id)] + here;
      if (target.start < 0 || candidate > target.score) {
        target = Best{candidate, static_cast<int32_t>(start), id};
      }
      has_single = has_single || len == mblen;
    });
    if (!has_single) {
      // The unknown token is only needed (and only missed) where it would be taken.
      Best& target = best[start + mblen];
      const double candidate = unk_score_ + here;
      if (target.start < 0 || candidate > target.score) {
        if (!unk_id_) missing_unk();
        target = Best{candidate, static_cast<int32_t>(start), static_cast<int32_t>(*unk_id_)};
      }
    }
    start += mblen;
    poll.tick(mblen);
  }
  // Backward: the tokens of the best path, runs of unknown tokens joined, in reverse order.
  const std::size_t first = out.size();
  const int64_t unk = unk_id_ ? static_cast<int64_t>(*unk_id_) : -1;
  auto emit_run = [&](std::size_t b, std::size_t e) {
    // A joined run of unknown tokens: the piece it spells if there is one, else its bytes
    // (byte fallback), else the unknown token.
    const std::string_view text = piece.substr(b, e - b);
    if (const int32_t* id = token_ids_.find(text)) {
      out.push_back(PieceToken{static_cast<uint32_t>(*id), static_cast<uint32_t>(b), static_cast<uint32_t>(e)});
      return;
    }
    if (byte_fallback_) {
      bool all = true;
      for (unsigned char c : text) all = all && byte_ids_[c] >= 0;
      if (all) {
        // Pushed in reverse, like everything here.
        for (std::size_t k = text.size(); k-- > 0;) {
          out.push_back(PieceToken{static_cast<uint32_t>(byte_ids_[static_cast<unsigned char>(text[k])]),
                                   static_cast<uint32_t>(b), static_cast<uint32_t>(e)});
        }
        return;
      }
    }
    if (unk < 0) missing_unk();
    out.push_back(PieceToken{static_cast<uint32_t>(unk), static_cast<uint32_t>(b), static_cast<uint32_t>(e), true});
  };
  std::size_t end = n;
  std::size_t run_end = 0;  // end of the pending run of unknown tokens (0: none)
  bool in_run = false;
  while (end > 0) {
    const Best& node = best[end];
    const auto start = static_cast<std::size_t>(node.start);
    if (node.id == unk) {
      if (!in_run) {
        in_run = true;
        run_end = end;
      }
    } else {
      if (in_run) {
        emit_run(end, run_end);
        in_run = false;
      }
      out.push_back(PieceToken{static_cast<uint32_t>(node.id), static_cast<uint32_t>(start), static_cast<uint32_t>(end)});
    }
    end = start;
  }
  if (in_run) emit_run(0, run_end);
  std::reverse(out.begin() + static_cast<std::ptrdiff_t>(first), out.end());
}

std::optional<uint32_t> UnigramModel::token_to_id(std::string_view token) const {
  if (const int32_t* id = token_ids_.find(token)) return static_cast<uint32_t>(*id);
  return std::nullopt;
}

std::optional<std::string_view> UnigramModel::id_to_token(uint32_t id) const {
  if (id >= pieces_.size()) return std::nullopt;
  return std::string_view(pieces_[id]);
}

void UnigramModel::for_each_token(const std::function<void(std::string_view, uint32_t)>& fn) const {
  for (std::size_t e = 0; e < token_ids_.size(); ++e) fn(token_ids_.text_at(e), static_cast<uint32_t>(token_ids_.id_at(e)));
}

}  // namespace corvane
