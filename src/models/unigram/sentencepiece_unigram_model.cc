#include "models/unigram/sentencepiece_unigram_model.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "core/cancellation.h"
#include "models/token_cache.h"
#include "models/unigram/word_paths.h"

namespace corvane {

namespace {

constexpr float kUnkPenalty = 10.0f;

inline std::size_t char_length(unsigned char b) { return b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4; }

}  // namespace

class SentencePieceUnigramModel::UnigramScratch : public Model::Scratch {
 public:
  struct Lead {
    double best;
    double second;  // the best other candidate's total
    int32_t start;  // of the best, -1 while none ends here
    int32_t id;
  };

  std::vector<Best> best;
  std::vector<Lead> leads;
  std::vector<PieceToken> path;
  std::vector<float> scores;
  TokenCache cache;  // whole texts, when they are not cut into words
  WordPaths words;
};

SentencePieceUnigramModel::SentencePieceUnigramModel(std::shared_ptr<const SentencePiecePieces> pieces)
    : shared_pieces_(std::move(pieces)), pieces_(*shared_pieces_) {
  auto entries = pieces_.segmentation_pieces();
  if (entries.empty()) throw std::invalid_argument("no pieces are loaded.");
  for (const auto& [text, id] : entries) cuts_.note(text);
  cuts_.finish();
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
  unk_score_ = min_score_ - kUnkPenalty;
  // A user-defined piece of n bytes scores n times the highest score less 0.1, rounded to
  // float once, as SentencePiece computes it.
  candidates_.resize(pieces_.size());
  max_abs_score_ = std::fabs(static_cast<double>(unk_score_));
  for (std::size_t i = 0; i < pieces_.size(); ++i) {
    const auto& pc = pieces_[i];
    const auto len = static_cast<float>(pc.text.size());
    candidates_[i].usable = pc.type != SentencePiecePieces::Type::kUnused;
    candidates_[i].score = pc.type == SentencePiecePieces::Type::kUserDefined
                               ? static_cast<float>(static_cast<double>(len * max_score_) - 0.1)
                               : pc.score;
    // NaN stays NaN here, and then no bound is ever met.
    if (candidates_[i].usable && !(std::fabs(static_cast<double>(candidates_[i].score)) <= max_abs_score_)) {
      max_abs_score_ = std::fabs(static_cast<double>(candidates_[i].score));
    }
  }
  // Words are cut apart when "▁" is a piece of its own (a word's first token is then
  // never an unknown one that would join the run before it) and pieces stay within words.
  split_words_ = pieces_.find_normal(MetaspaceCuts::kMetaspace) >= 0 && cuts_.words_only();
}

std::unique_ptr<Model::Scratch> SentencePieceUnigramModel::new_scratch() const {
  return std::make_unique<UnigramScratch>();
}

void SentencePieceUnigramModel::tokenize(std::string_view piece, Scratch* scratch, std::vector<PieceToken>& out) const {
  if (piece.empty()) return;
  auto* s = static_cast<UnigramScratch*>(scratch);
  if (s == nullptr) {
    std::vector<Best> best;
    const std::size_t first = out.size();
    search(piece, 0.0f, best, out);
    finish_unknowns(piece, first, out);
    return;
  }
  if (!split_words_) {
    s->cache.tokens_of(piece, out, [&](std::vector<PieceToken>& o) {
      const std::size_t first = o.size();
      search(piece, 0.0f, s->best, o);
      finish_unknowns(piece, first, o);
    });
    return;
  }
  float total = 0.0f;
  cuts_.tokenize_words(piece, out, [&](std::string_view word, std::vector<PieceToken>& o) {
    total = tokenize_word(word, total, *s, o);
  });
}

double SentencePieceUnigramModel::rounding_bound(float total, std::size_t bytes) const {
  // A path of at most `bytes` tokens; every total on the way is at most |total| + bytes *
  // the largest score in size, and each float addition rounds it by at most 2^-24 of that.
  // Two candidates each stray that far at every step before them, so twice, with room to
  // spare (and for the double search's own rounding, 2^-29 as fine again).
  const double steps = static_cast<double>(bytes) + 1.0;
  const double size = std::fabs(static_cast<double>(total)) + steps * max_abs_score_ + 1.0;
  return 4.0 * steps * size * 0x1p-24;
}

float SentencePieceUnigramModel::tokenize_word(std::string_view word, float total, UnigramScratch& s,
                                               std::vector<PieceToken>& out) const {
  if (word.size() < WordPaths::kMaxWordBytes) {
    const uint64_t h = WordPaths::hash(word);
    WordPaths::Path w;
    if (!s.words.find(word, h, w)) w = analyse(word, h, s);
    if (w.margin > rounding_bound(total, word.size())) {
      out.insert(out.end(), w.tokens, w.tokens + w.count);
      for (uint32_t k = 0; k < w.count; ++k) total = w.scores[k] + total;  // as search adds
      return total;
    }
  }
  const std::size_t first = out.size();
  total = search(word, total, s.best, out);
  finish_unknowns(word, first, out);
  return total;
}

template <class Offer>
void SentencePieceUnigramModel::for_each_candidate(const unsigned char* p, std::size_t n, Offer&& offer) const {
  const auto unk = static_cast<int32_t>(pieces_.unk_id());
  Cancellation::Poller poll;
  for (std::size_t start = 0; start < n;) {
    const std::size_t mblen = std::min(char_length(p[start]), n - start);
    bool has_single = false;
    trie_.for_each_prefix(p + start, n - start, [&](std::size_t len, int32_t id) {
      const Candidate c = candidates_[static_cast<std::size_t>(id)];
      if (!c.usable) return;
      offer(start, start + len, id, c.score);
      has_single = has_single || len == mblen;
    });
    if (!has_single) offer(start, start + mblen, unk, unk_score_);
    start += mblen;
    poll.tick(mblen);
  }
}

WordPaths::Path SentencePieceUnigramModel::analyse(std::string_view word, uint64_t h, UnigramScratch& s) const {
  const auto* p = reinterpret_cast<const unsigned char*>(word.data());
  const std::size_t n = word.size();
  constexpr double kNone = -std::numeric_limits<double>::infinity();
  auto& leads = s.leads;
  leads.assign(n + 1, UnigramScratch::Lead{kNone, kNone, -1, -1});
  leads[0].best = 0.0;
  auto offer = [](UnigramScratch::Lead& t, double v, std::size_t start, int32_t id) {
    if (t.start < 0) {
      t = UnigramScratch::Lead{v, kNone, static_cast<int32_t>(start), id};
    } else if (v > t.best) {
      t.second = t.best;
      t.best = v;
      t.start = static_cast<int32_t>(start);
      t.id = id;
    } else if (v > t.second || v == t.best) {
      t.second = v;
    }
  };
  const auto unk = static_cast<int32_t>(pieces_.unk_id());
  for_each_candidate(p, n, [&](std::size_t start, std::size_t end, int32_t id, float score) {
    offer(leads[end], static_cast<double>(score) + leads[start].best, start, id);
  });
  // The path backwards, with its smallest lead; a NaN lead (from NaN scores) stays NaN.
  double margin = std::numeric_limits<double>::infinity();
  bool usable = true;
  std::size_t count = 0;
  for (std::size_t end = n; end > 0; end = static_cast<std::size_t>(leads[end].start)) {
    const auto& l = leads[end];
    const double lead = l.best - l.second;
    if (!(lead >= margin)) margin = lead;
    usable = usable && l.id != unk;
    ++count;
  }
  s.path.clear();
  s.scores.clear();
  if (!usable || !(margin > 0.0)) return s.words.insert(word, h, nullptr, nullptr, 0, -1.0);
  s.path.resize(count);
  s.scores.resize(count);
  for (std::size_t end = n, k = count; end > 0; end = static_cast<std::size_t>(leads[end].start)) {
    const auto& l = leads[end];
    --k;
    s.path[k] = PieceToken{static_cast<uint32_t>(l.id), static_cast<uint32_t>(l.start), static_cast<uint32_t>(end)};
    s.scores[k] = candidates_[static_cast<std::size_t>(l.id)].score;
  }
  return s.words.insert(word, h, s.path.data(), s.scores.data(), static_cast<uint32_t>(count), margin);
}

float SentencePieceUnigramModel::search(std::string_view piece, float total, std::vector<Best>& best,
                                        std::vector<PieceToken>& out) const {
  const auto* p = reinterpret_cast<const unsigned char*>(piece.data());
  const std::size_t n = piece.size();
  if (n >= static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) {
    throw std::length_error("text is too long for the Unigram model (2 GiB or more)");
  }
  best.assign(n + 1, Best{0.0f, -1, -1});
  best[0].score = total;
  for_each_candidate(p, n, [&](std::size_t start, std::size_t end, int32_t id, float score) {
    const float candidate = score + best[start].score;  // in float, as SentencePiece adds
    Best& target = best[end];
    if (target.start < 0 || candidate > target.score) target = Best{candidate, static_cast<int32_t>(start), id};
  });
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
  return best[n].score;
}

void SentencePieceUnigramModel::finish_unknowns(std::string_view text, std::size_t first,
                                                std::vector<PieceToken>& out) const {
  // Most texts have none.
  const uint32_t unk_id = pieces_.unk_id();
  bool any_unknown = false;
  for (std::size_t k = first; k < out.size() && !any_unknown; ++k) any_unknown = out[k].id == unk_id;
  if (!any_unknown) return;
  std::vector<PieceToken> raw(out.begin() + static_cast<std::ptrdiff_t>(first), out.end());
  out.resize(first);
  bool prev_unknown = false;
  for (const PieceToken& t : raw) pieces_.emit(t.id, t.begin, t.end, text, prev_unknown, out);
}

}  // namespace corvane
