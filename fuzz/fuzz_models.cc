// The models of tokenizer.json files (BPE, WordPiece) built by model_from_json from small
// vocabularies and merge lists that the input describes, against plain references of
// tokenizers' rules (reference_models.h): the load's outcome, and the tokens of a piece
// with and without a scratch (its cache used twice).
//
// Input: byte 0 the model kind and options, byte 1 the merge form and the load faults,
// byte 2 the number of tokens, then the tokens (a length byte and characters), a merge
// count and merges (two token numbers each), and the rest is the piece. Characters come
// from a small alphabet (ASCII, two- and four-byte characters, '#', '<'), so that pieces
// meet the vocabulary often.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "core/utf8.h"
#include "formats/model_json.h"
#include "fuzz_support.h"
#include "reference_models.h"

using fuzzsupport::capture;
using fuzzsupport::show;

namespace {

const char* const kAlphabet[] = {"a", "b", "c", "#", "\xC3\xA9", "\xF0\x9F\x98\x80", "z", "<", "0", "\xE2\x82\xAC"};
constexpr std::size_t kAlphabetSize = sizeof kAlphabet / sizeof kAlphabet[0];
constexpr std::size_t kMaxPiece = 200;

struct Reader {
  const uint8_t* p;
  std::size_t n;
  uint8_t next() {
    if (n == 0) return 0;
    --n;
    return *p++;
  }
};

std::string show_tokens(const std::vector<fuzzref::RefToken>& t) {
  std::string out = "[";
  for (const auto& x : t) out += "(" + std::to_string(x.id) + " " + std::to_string(x.begin) + "-" + std::to_string(x.end) + ")";
  return out + "]";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  Reader in{data, size};
  const uint8_t opts = in.next(), form = in.next();
  const bool wordpiece = opts & 1;
  const std::string prefix = (opts & 64) ? "##" : "";
  const std::string suffix = (opts & 128) ? "</w>" : "";

  // Tokens, numbered in order of first appearance.
  std::vector<std::string> tokens;
  std::map<std::string, uint32_t> vocab;
  auto add = [&](const std::string& t) {
    if (vocab.emplace(t, static_cast<uint32_t>(tokens.size())).second) tokens.push_back(t);
  };
  for (std::size_t i = 0; i < kAlphabetSize; ++i) {
    if ((form >> 4) & 1 && i % 3 == 0) continue;
    add(kAlphabet[i]);
    add(prefix + kAlphabet[i]);
  }
  const std::size_t n_tokens = in.next() % 24;
  for (std::size_t k = 0; k < n_tokens; ++k) {
    const uint8_t shape = in.next();
    std::string t = (shape & 0x80) ? prefix : "";
    for (int c = 0; c < 1 + (shape & 3); ++c) t += kAlphabet[in.next() % kAlphabetSize];
    if (shape & 0x40) t += suffix;
    add(t);
  }
  const bool has_unk = opts & 16;
  if (has_unk && !((form >> 2) & 1)) add("[UNK]");
  if (opts & 4) {
    for (int b = 0; b < 256; ++b) {
      if (b == 0x9F && ((form >> 3) & 1)) continue;
      char buf[8];
      std::snprintf(buf, sizeof buf, "<0x%02X>", b);
      add(buf);
    }
  }
  std::vector<std::pair<std::string, std::string>> merges;
  if (!wordpiece) {
    const std::size_t n_merges = in.next() % 32;
    const std::size_t p = prefix.size();
    for (std::size_t k = 0; k < n_merges && !tokens.empty(); ++k) {
      const std::string a = tokens[in.next() % tokens.size()], b = tokens[in.next() % tokens.size()];
      merges.emplace_back(a, b);
      // The joined token is added, except (sometimes) for the last rule: a load error.
      // (Cutting the prefix's length off a right token that does not start with it may cut
      // a character: such a joined text is no JSON string, hence never a token.)
      if (b.size() >= p && !(((form >> 1) & 1) && k + 1 == n_merges)) {
        const std::string joined = a + b.substr(p);
        if (corvane::Utf8::repair(joined) == joined) add(joined);
      }
    }
  }
  std::string piece;
  while (in.n > 0 && piece.size() < kMaxPiece) piece += kAlphabet[in.next() % kAlphabetSize];

  nlohmann::json j;
  j["vocab"] = nlohmann::json::object();
  for (const auto& [t, id] : vocab) j["vocab"][t] = id;
  fuzzref::RefBpe bpe;
  fuzzref::RefWordPiece wp;
  if (wordpiece) {
    j["type"] = "WordPiece";
    j["unk_token"] = "[UNK]";
    j["continuing_subword_prefix"] = prefix;
    j["max_input_chars_per_word"] = (form >> 4) * 3 + 1;
    wp.vocab = vocab;
    wp.unk = "[UNK]";
    wp.prefix = prefix;
    wp.max_chars = (form >> 4) * 3 + 1;
  } else {
    j["type"] = "BPE";
    j["merges"] = nlohmann::json::array();
    const bool strings = form & 1;
    for (const auto& [a, b] : merges) {
      if (strings) {
        j["merges"].push_back(a + " " + b);
      } else {
        j["merges"].push_back({a, b});
      }
    }
    j["fuse_unk"] = (opts & 2) != 0;
    j["byte_fallback"] = (opts & 4) != 0;
    j["ignore_merges"] = (opts & 8) != 0;
    j["unk_token"] = has_unk ? nlohmann::json("[UNK]") : nlohmann::json();
    if (!prefix.empty()) j["continuing_subword_prefix"] = prefix;
    if (!suffix.empty()) j["end_of_word_suffix"] = suffix;
    bpe.vocab = vocab;
    bpe.merges = merges;
    bpe.fuse_unk = opts & 2;
    bpe.byte_fallback = opts & 4;
    bpe.ignore_merges = opts & 8;
    if (has_unk) bpe.unk = "[UNK]";
    if (!prefix.empty()) bpe.prefix = prefix;
    if (!suffix.empty()) bpe.suffix = suffix;
  }
  const std::string text = j.dump();

  std::unique_ptr<const corvane::Model> model;
  const auto loaded = capture([&] { model = corvane::model_from_json(std::string_view(text)); });
  if (!wordpiece) {
    auto expected = capture([&] { bpe.rules(); });
    // Messages show texts that are not UTF-8 repaired.
    if (expected.threw) expected.message = "model BPE: " + corvane::Utf8::repair(expected.message);
    FUZZ_CHECK(loaded == expected, "load of " + show(text) + ": " + loaded.describe() + ", expected " + expected.describe());
  } else {
    FUZZ_CHECK(!loaded.threw, "load of " + show(text) + ": " + loaded.describe());
  }
  if (!model) return 0;

  std::vector<fuzzref::RefToken> want;
  const auto ref = capture([&] { want = wordpiece ? wp.tokenize(piece) : bpe.tokenize(piece); });
  auto scratch = model->new_scratch();
  for (int round = 0; round < 3; ++round) {
    std::vector<corvane::PieceToken> got;
    const auto ours = capture([&] { model->tokenize(piece, round == 2 ? nullptr : scratch.get(), got); });
    FUZZ_CHECK(ours == ref, "tokenize " + show(piece) + " with " + show(text) + ": " + ours.describe() + ", expected " +
                                ref.describe());
    if (ours.threw) continue;
    std::vector<fuzzref::RefToken> as_ref;
    for (const auto& t : got) as_ref.push_back({t.id, t.begin, t.end});
    FUZZ_CHECK(as_ref == want, "tokenize " + show(piece) + " with " + show(text) + " gave " + show_tokens(as_ref) +
                                   ", expected " + show_tokens(want));
  }
  return 0;
}
