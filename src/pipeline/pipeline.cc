#include "pipeline/pipeline.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>

#include "core/cancellation.h"
#include "core/utf8.h"

namespace corvane {
namespace {

// Byte offsets into a text turned into character offsets, as the peer converts them: a
// byte inside a character counts as that character; an end at the end of the text is one
// past the last character; a range that starts outside the text stays in bytes.
class CharOffsets {
 public:
  explicit CharOffsets(std::string_view text) : n_(text.size()) {
    bool ascii = true;
    for (unsigned char c : text) {
      if (c >= 0x80) {
        ascii = false;
        break;
      }
    }
    if (ascii) return;
    index_.resize(n_);
    uint32_t chars = 0;
    for (std::size_t i = 0; i < n_; ++chars) {
      const auto b = static_cast<unsigned char>(text[i]);
      const std::size_t len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
      for (std::size_t k = 0; k < len && i + k < n_; ++k) index_[i + k] = chars;
      i += len;
    }
  }

  Offsets convert(std::size_t start, std::size_t end) const {
    if (start >= n_) return Offsets{start, end};
    const std::size_t s = at(start);
    if (end < n_) return Offsets{s, at(end)};
    const std::size_t last = end - 1 < n_ ? at(end - 1) : s + 1;
    return Offsets{s, last + 1};
  }

 private:
  std::size_t at(std::size_t b) const { return index_.empty() ? b : index_[b]; }
  std::size_t n_;
  std::vector<uint32_t> index_;  // empty for ASCII text: offsets are the same
};

void check_utf8(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  for (std::size_t i = 0; i < text.size();) {
    if (s[i] < 0x80) {
      ++i;
      continue;
    }
    const std::size_t len = Utf8::char_length(s + i, text.size() - i);
    if (len == 0) throw std::invalid_argument("text is not valid UTF-8");
    i += len;
  }
}

}  // namespace

Pipeline::Pipeline(Components c)
    : normalizer_(std::move(c.normalizer)),
      pre_tokenizer_(std::move(c.pre_tokenizer)),
      model_(std::move(c.model)),
      post_processor_(std::move(c.post_processor)),
      decoder_(std::move(c.decoder)) {
  if (!model_) throw std::invalid_argument("tokenizer has no model");
  added_ = AddedVocabulary(std::move(c.added_tokens), *model_, normalizer_.get());
  if (c.truncation) check_truncation(*c.truncation);
  const std::size_t top = model_->id_bound();
  if (top <= 4 * model_->vocab_size() + 1024) {
    model_tokens_.assign(top, std::string_view());
    for (std::size_t id = 0; id < top; ++id) {
      // The model's own answer for each id (a vocabulary may give one id to two tokens).
      if (auto t = model_->id_to_token(static_cast<uint32_t>(id))) model_tokens_[id] = *t;
    }
  }
  defaults_.truncation = c.truncation;
  defaults_.padding = std::move(c.padding);
}

Pipeline::Scratch Pipeline::new_scratch() const {
  Scratch s;
  s.model = model_->new_scratch();
  return s;
}

std::size_t Pipeline::special_tokens_added(bool is_pair) const {
  return post_processor_ ? post_processor_->added_tokens(is_pair) : 0;
}

void Pipeline::check_truncation(const TruncationParams& params) const {
  const std::size_t added = special_tokens_added(false);
  // The peer computes max_length - added in unsigned arithmetic; a max_length below the
  // special tokens leaves no room at all.
  const std::size_t effective = params.max_length >= added ? params.max_length - added : 0;
  if (params.max_length < added || effective < params.stride) {
    throw std::invalid_argument("tokenizer stride set to " + std::to_string(params.stride) +
                                ", which is greater than or equal to its effective max length of " +
                                std::to_string(effective) + " (= " + std::to_string(params.max_length) +
                                " original max length - " + std::to_string(added) + " added special tokens)");
  }
}

hf::PreTokenizedText Pipeline::pieces_of(std::string_view text) const {
  check_utf8(text);
  hf::PreTokenizedText pieces = added_.extract_and_normalize(text, normalizer_.get());
  if (pre_tokenizer_) pre_tokenizer_->pre_tokenize(pieces);
  return pieces;
}

EncodingRecord Pipeline::encode_sequence(std::string_view text, uint32_t type_id, Scratch& scratch) const {
  const hf::PreTokenizedText pieces = pieces_of(text);
  const CharOffsets chars(text);
  EncodingRecord r;
  r.reserve(pieces.size() + pieces.size() / 4);
  Cancellation::Poller poll;
  uint32_t word = 0;
  for (const auto& piece : pieces.pieces()) {
    const std::string_view normalized = pieces.normalized(piece);
    const NormalizedText::Span* spans = pieces.spans(piece);
    // A token's original range: from the start of its first byte's span to the end of its
    // last byte's (an empty token keeps its piece-relative range shifted to the piece).
    auto push = [&](uint32_t id, std::string_view token, std::size_t begin, std::size_t end) {
      std::size_t s, e;
      if (begin < end) {
        s = spans[begin].start;
        e = spans[end - 1].end;
      } else {
        s = piece.original.start + begin;
        e = piece.original.start + end;
      }
      r.ids.push_back(id);
      r.tokens.push_back(token);
      r.offsets.push_back(chars.convert(s, e));
      r.words.push_back(word);
    };
    if (piece.token >= 0) {
      push(static_cast<uint32_t>(piece.token), normalized, 0, normalized.size());
    } else {
      scratch.tokens.clear();
      model_->tokenize(normalized, scratch.model.get(), scratch.tokens);
      // Room for them at once (a whole text may be one piece), still growing geometrically.
      const std::size_t need = r.ids.size() + scratch.tokens.size();
      if (need > r.ids.capacity()) r.reserve(std::max(need, 2 * r.ids.capacity()));
      for (const PieceToken& t : scratch.tokens) {
        if (t.surface) {
          // A token that is its own text (a run of unknown characters).
          const std::size_t b = std::min<std::size_t>(t.begin, normalized.size());
          const std::size_t e = std::min<std::size_t>(std::max<std::size_t>(t.end, b), normalized.size());
          push(t.id, normalized.substr(b, e - b), t.begin, t.end);
        } else if (t.id < model_tokens_.size()) {
          push(t.id, model_tokens_[t.id], t.begin, t.end);
        } else {
          const auto value = model_->id_to_token(t.id);
          push(t.id, value ? *value : std::string_view(), t.begin, t.end);
        }
      }
      poll.tick(normalized.size());
    }
    ++word;
  }
  const std::size_t n = r.ids.size();
  r.type_ids.assign(n, type_id);
  r.special_tokens_mask.assign(n, 0);
  r.attention_mask.assign(n, 1);
  return r;
}

EncodingRecord Pipeline::encode_unpadded(std::string_view sequence, std::optional<std::string_view> pair,
                                         bool add_special_tokens, const Settings& settings,
                                         Scratch& scratch) const {
  EncodingRecord first = encode_sequence(sequence, 0, scratch);
  std::optional<EncodingRecord> second;
  if (pair) second = encode_sequence(*pair, 1, scratch);
  if (settings.truncation) {
    TruncationParams params = *settings.truncation;
    const std::size_t added = special_tokens_added(second.has_value());
    if (add_special_tokens && added > 0) {
      if (params.max_length < added) check_truncation(params);
      params.max_length -= added;
    }
    truncate_records(first, second, params);
  }
  if (post_processor_) return post_processor_->process(std::move(first), std::move(second), add_special_tokens);
  return PostProcessor::without_processor(std::move(first), std::move(second));
}

EncodingRecord Pipeline::encode(std::string_view sequence, std::optional<std::string_view> pair,
                                bool add_special_tokens, const Settings& settings, Scratch& scratch) const {
  EncodingRecord r = encode_unpadded(sequence, pair, add_special_tokens, settings, scratch);
  if (settings.padding) {
    std::vector<EncodingRecord> one;
    one.push_back(std::move(r));
    pad_records(one, *settings.padding);
    r = std::move(one[0]);
  }
  return r;
}

std::size_t Pipeline::count(std::string_view text, bool add_special_tokens, Scratch& scratch) const {
  const hf::PreTokenizedText pieces = pieces_of(text);
  std::size_t n = 0;
  Cancellation::Poller poll;
  for (const auto& piece : pieces.pieces()) {
    if (piece.token >= 0) {
      ++n;
      continue;
    }
    const std::string_view normalized = pieces.normalized(piece);
    scratch.tokens.clear();
    model_->tokenize(normalized, scratch.model.get(), scratch.tokens);
    n += scratch.tokens.size();
    poll.tick(normalized.size());
  }
  if (add_special_tokens) n += special_tokens_added(false);
  return n;
}

std::string Pipeline::decode(const uint32_t* ids, std::size_t n, bool skip_special_tokens) const {
  std::vector<std::string> tokens;
  tokens.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    std::optional<std::string_view> token = added_.id_to_token(ids[i]);
    if (!token) token = model_->id_to_token(ids[i]);
    if (!token) continue;
    if (skip_special_tokens && added_.is_special(*token)) continue;
    tokens.emplace_back(*token);
  }
  if (decoder_) return decoder_->decode(std::move(tokens));
  std::string out;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    if (i) out += ' ';
    out += tokens[i];
  }
  return out;
}

std::optional<uint32_t> Pipeline::token_to_id(std::string_view token) const {
  if (auto id = added_.token_to_id(token)) return id;
  return model_->token_to_id(token);
}

std::optional<std::string> Pipeline::id_to_token(uint32_t id) const {
  if (auto t = added_.id_to_token(id)) return std::string(*t);
  if (auto t = model_->id_to_token(id)) return std::string(*t);
  return std::nullopt;
}

std::vector<std::pair<std::string, uint32_t>> Pipeline::vocab(bool with_added_tokens) const {
  std::unordered_map<std::string, uint32_t> all;
  all.reserve(model_->vocab_size() + (with_added_tokens ? added_.size() : 0));
  model_->for_each_token([&](std::string_view t, uint32_t id) { all.insert_or_assign(std::string(t), id); });
  if (with_added_tokens) {
    added_.for_each([&](const AddedToken& t, uint32_t id) { all.insert_or_assign(t.content, id); });
  }
  return {all.begin(), all.end()};
}

std::size_t Pipeline::vocab_size(bool with_added_tokens) const {
  std::size_t n = model_->vocab_size();
  if (!with_added_tokens) return n;
  added_.for_each([&](const AddedToken& t, uint32_t) {
    if (!model_->token_to_id(t.content)) ++n;
  });
  return n;
}

}  // namespace corvane
