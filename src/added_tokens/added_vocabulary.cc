#include "added_tokens/added_vocabulary.h"

#include <algorithm>
#include <limits>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "core/utf8.h"
#include "pre_tokenizers/hf/char_classes.h"

namespace corvane {

namespace {

bool is_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t len = Utf8::char_length(p + i, s.size() - i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

// The character that ends at byte `end` of well-formed UTF-8 `s` (end > 0), and its start.
char32_t char_before(std::string_view s, std::size_t end, std::size_t& start) {
  start = end - 1;
  while (start > 0 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
  std::size_t i = start;
  return next_char(s, i);
}

char32_t char_at(std::string_view s, std::size_t at, std::size_t& next) {
  next = at;
  return next_char(s, next);
}

constexpr std::size_t kMaxOverlap = std::size_t{32} << 20;

[[noreturn]] void bad_entry(std::size_t index, const std::string& what) {
  throw std::invalid_argument("added_tokens[" + std::to_string(index) + "]: " + what);
}

}  // namespace

AddedVocabulary::AddedVocabulary(std::vector<AddedToken> tokens, const Model& model, const Normalizer* normalizer) {
  // As the peer's add_tokens on an empty vocabulary: new ids start past the model's.
  const std::size_t vocab_size = model.vocab_size();
  if (vocab_size > std::numeric_limits<uint32_t>::max()) throw std::length_error("vocabulary too large");
  uint64_t next_id = vocab_size;
  for (AddedToken& token : tokens) {
    if (token.content.empty()) continue;
    if (!is_utf8(token.content)) throw std::invalid_argument("added token content is not valid UTF-8");
    const auto known = ids_.find(token.content);
    if (known != ids_.end()) {
      const auto it = tokens_.find(known->second);
      if (it != tokens_.end() && it->second == token) continue;
    }
    uint32_t id;
    if (known != ids_.end()) {
      id = known->second;
    } else if (const auto model_id = model.token_to_id(token.content)) {
      id = *model_id;
    } else {
      if (next_id > std::numeric_limits<uint32_t>::max()) throw std::length_error("too many added tokens");
      id = static_cast<uint32_t>(next_id++);
    }
    if (token.normalized && normalizer != nullptr) {
      NormalizedText s(token.content);
      normalizer->normalize(s);
      if (s.normalized() != token.content) normalized_forms_[id] = s.normalized();
    }
    ids_[token.content] = id;
    if (token.special) special_.insert(token.content);
    const auto [it, inserted] = tokens_.insert_or_assign(id, std::move(token));
    (void)it;
    if (inserted) order_.push_back(id);
  }
  build_matchers();
}

void AddedVocabulary::build_matchers() {
  // The peer keeps its tokens in a hash map, so of two tokens with the same pattern it is
  // chance which one is found; here it is the one whose id was given out first.
  std::vector<std::pair<std::string_view, uint32_t>> plain, normalized;
  for (const uint32_t id : order_) {
    const AddedToken& token = tokens_.at(id);
    if (token.normalized) {
      const auto form = normalized_forms_.find(id);
      normalized.emplace_back(form != normalized_forms_.end() ? std::string_view(form->second)
                                                                : std::string_view(token.content),
                              id);
    } else {
      plain.emplace_back(token.content, id);
    }
  }
  split_ = TokenMatcher(plain);
  split_normalized_ = TokenMatcher(normalized);
}

std::vector<AddedToken> AddedVocabulary::tokens_from_json(const nlohmann::json& array) {
  std::vector<AddedToken> out;
  if (array.is_null()) return out;
  if (!array.is_array()) throw std::invalid_argument(std::string("added_tokens: expected a JSON array, got ") + array.type_name());
  out.reserve(array.size());
  for (std::size_t i = 0; i < array.size(); ++i) {
    const nlohmann::json& entry = array[i];
    if (!entry.is_object()) bad_entry(i, std::string("expected a JSON object, got ") + entry.type_name());
    auto field = [&](const char* name) -> const nlohmann::json& {
      const auto it = entry.find(name);
      if (it == entry.end()) bad_entry(i, std::string("missing field \"") + name + "\"");
      return *it;
    };
    // The id is read and checked as the peer does, then left alone: ids come from the order
    // the tokens are added in.
    const nlohmann::json& id = field("id");
    if (!id.is_number_integer() || (id.is_number_unsigned() ? id.get<uint64_t>() > std::numeric_limits<uint32_t>::max()
                                                              : id.get<int64_t>() < 0 ||
                                                                    id.get<int64_t>() > std::numeric_limits<uint32_t>::max())) {
      bad_entry(i, "field \"id\" must be an integer from 0 to 4294967295");
    }
    AddedToken token;
    const nlohmann::json& content = field("content");
    if (!content.is_string()) bad_entry(i, "field \"content\" must be a string");
    token.content = content.get<std::string>();
    auto flag = [&](const char* name, bool& value) {
      const nlohmann::json& v = field(name);
      if (!v.is_boolean()) bad_entry(i, std::string("field \"") + name + "\" must be a boolean");
      value = v.get<bool>();
    };
    flag("single_word", token.single_word);
    flag("lstrip", token.lstrip);
    flag("rstrip", token.rstrip);
    flag("normalized", token.normalized);
    flag("special", token.special);
    out.push_back(std::move(token));
  }
  return out;
}

void AddedVocabulary::find_matches(std::string_view sentence, const TokenMatcher& matcher, std::vector<Split>& out,
                                   std::size_t& overlap) const {
  out.clear();
  const std::size_t n = sentence.size();
  if (n == 0) return;  // the peer's one empty piece, which is dropped anyway
  std::size_t start_offset = 0;
  // The last whitespace run scanned for rstrip: [ws_from, ws_to) is all whitespace and
  // ws_to is the end of the text or a non-whitespace character. Match ends only grow, so
  // each byte is scanned once.
  std::size_t ws_from = 1, ws_to = 0;
  TokenMatcher::Match m;
  for (std::size_t pos = 0; matcher.find(sentence, pos, m); pos = m.end) {
    const AddedToken& token = tokens_.at(m.value);
    std::size_t start = m.begin, stop = m.end;
    if (token.single_word) {
      std::size_t at;
      const bool start_space = start == 0 || !hf::is_word(char_before(sentence, start, at));
      const bool stop_space = stop == n || !hf::is_word(char_at(sentence, stop, at));
      if (!start_space || !stop_space) continue;
    }
    if (token.lstrip) {
      // The start of the whitespace before the match, but never before what earlier pieces
      // took.
      std::size_t new_start = start;
      while (new_start > start_offset) {
        std::size_t at;
        if (!unicode::is_white_space(char_before(sentence, new_start, at))) break;
        new_start = at;
      }
      start = std::max(new_start, start_offset);
    }
    if (token.rstrip) {
      if (!(stop >= ws_from && stop <= ws_to)) {
        ws_from = stop;
        ws_to = stop;
        while (ws_to < n) {
          std::size_t next;
          if (!unicode::is_white_space(char_at(sentence, ws_to, next))) break;
          ws_to = next;
        }
      }
      stop = ws_to;
    }
    // A match that an earlier token's rstrip ran past: the peer fails to cut there.
    if (start > stop) throw std::runtime_error("AddedVocabulary bad split");
    // A whitespace token inside the whitespace an earlier rstrip took makes a piece that
    // repeats bytes of the one before, as the peer's do; a long run of them repeats the
    // text over and over, which is bounded here rather than left to exhaust memory.
    if (start < start_offset) {
      overlap += start_offset - start;
      if (overlap > kMaxOverlap) {
        throw std::length_error("added tokens overlap too much in this text (more than 32 MiB of repeated pieces)");
      }
    }
    if (start_offset < start) out.push_back(Split{-1, start_offset, start});
    out.push_back(Split{m.value, start, stop});
    start_offset = stop;
  }
  if (start_offset != n) out.push_back(Split{-1, start_offset, n});
}

hf::PreTokenizedText AddedVocabulary::extract_and_normalize(std::string_view text, const Normalizer* normalizer) const {
  hf::PreTokenizedText out{std::string(text)};
  if (!is_utf8(text)) throw std::invalid_argument("text is not valid UTF-8");
  std::vector<Split> outer, inner;
  std::size_t overlap = 0;
  // First the tokens matched in the original text; then each stretch between them is
  // normalized and the tokens matched in normalized text are found in it.
  find_matches(text, split_, outer, overlap);
  for (const Split& s : outer) {
    if (s.begin == s.end) continue;
    const auto shift = static_cast<uint32_t>(s.begin);
    NormalizedText part(text.substr(s.begin, s.end - s.begin));
    if (s.id >= 0) {
      out.add_piece(part, shift, s.id);
      continue;
    }
    if (normalizer != nullptr) normalizer->normalize(part);
    const std::string& normalized = part.normalized();
    const std::vector<NormalizedText::Span>& spans = part.alignments();
    find_matches(normalized, split_normalized_, inner, overlap);
    if (inner.size() == 1 && inner[0].begin == 0 && inner[0].end == normalized.size() && !normalized.empty()) {
      // The whole stretch is one piece (no added token in it): its buffers move over.
      const uint32_t first = spans.front().start, last = spans.back().end;
      const hf::PreTokenizedText::Span original{shift + first, shift + std::max(first, last)};
      out.add_whole(std::move(part), shift, original, inner[0].id);
      continue;
    }
    for (const Split& t : inner) {
      if (t.begin == t.end) continue;
      // As the peer slices normalized text: the original range runs from the first byte's
      // span to the last byte's, empty when those are out of order.
      const uint32_t first = spans[t.begin].start, last = spans[t.end - 1].end;
      const hf::PreTokenizedText::Span original{shift + first, shift + std::max(first, last)};
      out.add_piece(std::string_view(normalized).substr(t.begin, t.end - t.begin), spans.data() + t.begin, shift,
                    original, t.id);
    }
  }
  return out;
}

std::size_t AddedVocabulary::size() const { return ids_.size(); }

std::optional<uint32_t> AddedVocabulary::token_to_id(std::string_view content) const {
  const auto it = ids_.find(std::string(content));
  if (it == ids_.end()) return std::nullopt;
  return it->second;
}

std::optional<std::string_view> AddedVocabulary::id_to_token(uint32_t id) const {
  const auto form = normalized_forms_.find(id);
  if (form != normalized_forms_.end()) return std::string_view(form->second);
  const auto it = tokens_.find(id);
  if (it == tokens_.end()) return std::nullopt;
  return std::string_view(it->second.content);
}

bool AddedVocabulary::is_special(std::string_view content) const { return special_.count(std::string(content)) != 0; }

void AddedVocabulary::for_each(const std::function<void(const AddedToken&, uint32_t)>& fn) const {
  for (const uint32_t id : order_) fn(tokens_.at(id), id);
}

}  // namespace corvane
