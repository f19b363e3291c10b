// The added tokens of a tokenizer.json pipeline against the plain reference of
// reference_added_tokens.h: a few tokens with random options (and a normalizer) are added
// over a tiny model, and every text must be cut into the same pieces: normalized text,
// token id, original range and the original range of every normalized byte. Where the peer
// fails to cut ("AddedVocabulary bad split") both must fail. The token tables must agree,
// and the tokens must read back from their tokenizer.json form.
//
// Input: byte 0 picks the normalizer; byte 1 the number of tokens; then per token an options
// byte (bits: single_word, lstrip, rstrip, normalized, special) and a length byte followed
// by that many symbol bytes; the rest is the text. Each symbol byte stands for one entry of
// a small alphabet (letters that lowercase in odd ways, word marks, many kinds of
// whitespace, multi-character pieces), so tokens meet the text often.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "added_tokens/added_vocabulary.h"
#include "formats/normalizer_json.h"
#include "fuzz_support.h"
#include "reference_added_tokens.h"

using fuzzsupport::show;

namespace {

const char* const kAlphabet[] = {
    "a", "b", "A", "B", " ", "\u3000", "\t", "\n", "\u00e9", "x", "_", "1", "\u00a0", "\u00df", "\u0130", "\u0301",
    "-", "ab", "<s>", "\u2028", "\u216b", "  ", "\u0085", "e", "\u200d", "\u00c9",
};
constexpr std::size_t kAlphabetSize = sizeof kAlphabet / sizeof kAlphabet[0];

const char* const kNormalizers[] = {
    "",
    R"({"type":"Lowercase"})",
    R"({"type":"NFKC"})",
    R"({"type":"NFD"})",
    R"({"type":"Sequence","normalizers":[{"type":"Strip","strip_left":true,"strip_right":true},{"type":"Lowercase"}]})",
    R"({"type":"Prepend","prepend":"\u2581"})",
    R"({"type":"Replace","pattern":{"String":" "},"content":"\u2581"})",
    R"({"type":"Replace","pattern":{"String":"b"},"content":""})",
};
constexpr std::size_t kNormalizerCount = sizeof kNormalizers / sizeof kNormalizers[0];

// A model of a few entries, one of them past the vocabulary size (ids 0..2 and 6, size 4),
// so that ids given to added tokens run into it.
class TinyModel : public corvane::Model {
 public:
  void tokenize(std::string_view, Scratch*, std::vector<corvane::PieceToken>&) const override {}
  std::optional<uint32_t> token_to_id(std::string_view t) const override {
    for (std::size_t i = 0; i < 4; ++i) {
      if (t == kTokens[i]) return kIds[i];
    }
    return std::nullopt;
  }
  std::optional<std::string_view> id_to_token(uint32_t id) const override {
    for (std::size_t i = 0; i < 4; ++i) {
      if (id == kIds[i]) return std::string_view(kTokens[i]);
    }
    return std::nullopt;
  }
  std::size_t vocab_size() const override { return 4; }
  void for_each_token(const std::function<void(std::string_view, uint32_t)>& fn) const override {
    for (std::size_t i = 0; i < 4; ++i) fn(kTokens[i], kIds[i]);
  }

 private:
  static constexpr const char* kTokens[4] = {"a", "b", "<s>", "ab"};
  static constexpr uint32_t kIds[4] = {0, 1, 2, 6};
};

std::string describe(const std::vector<corvane::AddedToken>& tokens, std::size_t normalizer, const std::string& text) {
  std::string out = "normalizer " + std::to_string(normalizer) + ", tokens [";
  for (const auto& t : tokens) {
    out += show(t.content) + (t.single_word ? " sw" : "") + (t.lstrip ? " l" : "") + (t.rstrip ? " r" : "") +
           (t.normalized ? " n" : "") + (t.special ? " sp" : "") + ", ";
  }
  return out + "], text " + show(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t which = data[0] % kNormalizerCount;
  const std::size_t count = 1 + data[1] % 6;
  std::size_t at = 2;
  std::vector<corvane::AddedToken> tokens;
  for (std::size_t k = 0; k < count && at + 2 <= size; ++k) {
    corvane::AddedToken t;
    const uint8_t opts = data[at++];
    t.single_word = opts & 1;
    t.lstrip = opts & 2;
    t.rstrip = opts & 4;
    t.normalized = opts & 8;
    t.special = opts & 16;
    const std::size_t len = data[at++] % 5;
    for (std::size_t i = 0; i < len && at < size; ++i) t.content += kAlphabet[data[at++] % kAlphabetSize];
    tokens.push_back(t);
  }
  std::string text;
  for (; at < size; ++at) text += kAlphabet[data[at] % kAlphabetSize];
  const std::string what = describe(tokens, which, text);

  std::unique_ptr<corvane::Normalizer> normalizer;
  if (*kNormalizers[which]) normalizer = corvane::normalizer_from_json_text(kNormalizers[which]);
  const TinyModel model;

  // The tokenizer.json form reads back to the same tokens.
  nlohmann::json array = nlohmann::json::array();
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const auto& t = tokens[i];
    array.push_back({{"id", i}, {"content", t.content}, {"single_word", t.single_word}, {"lstrip", t.lstrip},
                     {"rstrip", t.rstrip}, {"normalized", t.normalized}, {"special", t.special}});
  }
  FUZZ_CHECK(corvane::AddedVocabulary::tokens_from_json(array) == tokens, "tokens_from_json: " + what);

  const corvane::AddedVocabulary vocab(tokens, model, normalizer.get());
  const fuzzref::RefAddedTokens ref(
      tokens, [&](const std::string& s) { return model.token_to_id(s); }, 4, normalizer.get());

  // The tables.
  FUZZ_CHECK(vocab.size() == ref.ids.size(), "size: " + what);
  for (const auto& [content, id] : ref.ids) {
    FUZZ_CHECK(vocab.token_to_id(content) == id, "token_to_id " + show(content) + ": " + what);
    FUZZ_CHECK(vocab.is_special(content) == (ref.specials.count(content) != 0), "is_special: " + what);
  }
  std::vector<uint32_t> order;
  vocab.for_each([&](const corvane::AddedToken& t, uint32_t id) {
    order.push_back(id);
    FUZZ_CHECK(ref.by_id.at(id) == t, "for_each token of id " + std::to_string(id) + ": " + what);
    const std::string expect = ref.cache.count(id) ? ref.cache.at(id) : t.content;
    FUZZ_CHECK(vocab.id_to_token(id) == std::optional<std::string_view>(expect), "id_to_token: " + what);
  });
  FUZZ_CHECK(order == ref.order, "for_each order: " + what);

  // The pieces.
  std::vector<fuzzref::RefPiece> expect;
  bool ref_failed = false;
  try {
    expect = ref.extract(text, normalizer.get());
  } catch (const fuzzref::RefBadSplit&) {
    ref_failed = true;
  }
  try {
    const corvane::hf::PreTokenizedText got = vocab.extract_and_normalize(text, normalizer.get());
    FUZZ_CHECK(!ref_failed, "cut where the peer fails: " + what);
    FUZZ_CHECK(got.original() == text, "original: " + what);
    FUZZ_CHECK(got.size() == expect.size(), "piece count " + std::to_string(got.size()) + " != " +
                                                std::to_string(expect.size()) + ": " + what);
    for (std::size_t i = 0; i < expect.size(); ++i) {
      const auto& p = got.pieces()[i];
      const auto& e = expect[i];
      const std::string where = "piece " + std::to_string(i) + ": " + what;
      FUZZ_CHECK(got.normalized(p) == e.normalized,
                 "text " + show(got.normalized(p)) + " != " + show(e.normalized) + ", " + where);
      FUZZ_CHECK(p.token == e.token, "token " + std::to_string(p.token) + " != " + std::to_string(e.token) + ", " + where);
      FUZZ_CHECK(p.original.start == e.original.start && p.original.end == e.original.end,
                 "original [" + std::to_string(p.original.start) + ", " + std::to_string(p.original.end) + ") != [" +
                     std::to_string(e.original.start) + ", " + std::to_string(e.original.end) + "), " + where);
      const auto* spans = got.spans(p);
      for (std::size_t k = 0; k < e.spans.size(); ++k) {
        FUZZ_CHECK(spans[k].start == e.spans[k].start && spans[k].end == e.spans[k].end,
                   "span of byte " + std::to_string(k) + ", " + where);
      }
    }
  } catch (const std::runtime_error& e) {
    FUZZ_CHECK(ref_failed && std::string(e.what()) == "AddedVocabulary bad split",
               std::string("unexpected failure \"") + e.what() + "\": " + what);
  }
  return 0;
}
