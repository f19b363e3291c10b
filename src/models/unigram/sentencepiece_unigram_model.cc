#include "models/unigram/sentencepiece_unigram_model.h"

#include <algorithm>
#include <cfloat>
#include <limits>
#include <stdexcept>

#include "core/cancellation.h"
#include "models/unigram/token_cache.h"

namespace corvane {

namespace {

constexpr float kUnkPenalty = 10.0f;

inline std::size_t char_length(unsigned char b) { return b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4; }

}  // namespace

class SentencePieceUnigramModel::UnigramScratch : public Model::Scratch {
 public:
  std::vector<Best> best;
  TokenCache cache;
};

SentencePieceUnigramModel::SentencePieceUnigramModel(std::shared_ptr<const SentencePiecePieces> pieces)
    : shared_pieces_(std::move(pieces)), pieces_(*shared_pieces_) {
  auto entries = pieces_.segmentation_pieces();
  if (entries.empty()) throw std::invalid_argument("no pieces are loaded.");
  trie_ = PieceTrie(std::move(entries));
  // As SentencePiece starts them: the highest score from FLT_MIN, the smallest positive
  // float, so that it is never below that.
  min_score_ = FLT_MAX;
  max_score_ = FLT_MIN;
  for (std::size_t i = 0; i < pieces_.size(); ++i) {
    if (pieces_[i].type != SentencePiecePieces::Type::kNormal) continue;
    min_score_ = std::min(min_score_, pieces_[i].score);
    max_score_ = std::max(max_score_, pieces_[i].score);
  }
  // A user-defined piece of n bytes scores n times the highest score less 0.1, rounded to
  // float once, as SentencePiece computes it.
  candidates_.resize(pieces_.size());
  for (std::size_t i = 0; i < pieces_.size(); ++i) {
    const auto& pc = pieces_[i];
    const auto len = static_cast<float>(pc.text.size());
    candidates_[i].usable = pc.type != SentencePiecePieces::Type::kUnused;
    candidates_[i].score = pc.type == SentencePiecePieces::Type::kUserDefined
                               ? static_cast<float>(static_cast<double>(len * max_score_) - 0.1)
                               : pc.score;
  }
}

std::unique_ptr<Model::Scratch> SentencePieceUnigramModel::new_scratch() const {
  return std::make_unique<UnigramScratch>();
}

void SentencePieceUnigramModel::tokenize(std::string_view piece, Scratch* scratch, std::vector<PieceToken>& out) const {
  if (piece.empty()) return;
  auto* s = static_cast<UnigramScratch*>(scratch);
  if (s == nullptr) {
    std::vector<Best> best;
    tokenize_uncached(piece, best, out);
    return;
  }
  if (s->cache.find(piece, out)) return;
  const std::size_t first = out.size();
  tokenize_uncached(piece, s->best, out);
  s->cache.insert(piece, out, first);
}

void SentencePieceUnigramModel::tokenize_uncached(std::string_view piece, std::vector<Best>& best,
                                                  std::vector<PieceToken>& out) const {
  const auto* p = reinterpret_cast<const unsigned char*>(piece.data());
  const std::size_t n = piece.size();
  if (n >= static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) {
    throw std::length_error("text is too long for the Unigram model (2 GiB or more)");
  }
  best.assign(n + 1, Best{0.0f, -1, -1});
  const float unk_score = min_score_ - kUnkPenalty;
  const auto unk = static_cast<int32_t>(pieces_.unk_id());
  Cancellation::Poller poll;
  for (std::size_t start = 0; start < n;) {
    const float here = best[start].score;
    const std::size_t mblen = std::min(char_length(p[start]), n - start);
    bool has_single = false;
    trie_.for_each_prefix(p + start, n - start, [&](std::size_t len, int32_t id) {
      const Candidate c = candidates_[static_cast<std::size_t>(id)];
      if (!c.usable) return;
      const float candidate = c.score + here;  // in float, as SentencePiece adds
      Best& target = best[start + len];
      if (target.start < 0 || candidate > target.score) {
        target = Best{candidate, static_cast<int32_t>(start), id};
      }
      has_single = has_single || len == mblen;
    });
    if (!has_single) {
      Best& target = best[start + mblen];
      const float candidate = unk_score + here;
      if (target.start < 0 || candidate > target.score) {
        target = Best{candidate, static_cast<int32_t>(start), unk};
      }
    }
    start += mblen;
    poll.tick(mblen);
  }
  // The path, backwards (the start of each token is found from its end), then its tokens
  // in order.
  std::size_t count = 0;
  for (std::size_t end = n; end > 0; end = static_cast<std::size_t>(best[end].start)) ++count;
  const std::size_t first = out.size();
  out.resize(first + count);
  for (std::size_t end = n, k = count; end > 0; end = static_cast<std::size_t>(best[end].start)) {
    out[first + --k] = PieceToken{static_cast<uint32_t>(best[end].id), static_cast<uint32_t>(best[end].start),
                                  static_cast<uint32_t>(end)};
  }
  // Then unknown runs joined or spelled in bytes (most texts have none).
  const uint32_t unk_id = pieces_.unk_id();
  bool any_unknown = false;
  for (std::size_t k = first; k < out.size() && !any_unknown; ++k) any_unknown = out[k].id == unk_id;
  if (!any_unknown) return;
  std::vector<PieceToken> raw(out.begin() + static_cast<std::ptrdiff_t>(first), out.end());
  out.resize(first);
  bool prev_unknown = false;
  for (const PieceToken& t : raw) pieces_.emit(t.id, t.begin, t.end, piece, prev_unknown, out);
}

}  // namespace corvane
