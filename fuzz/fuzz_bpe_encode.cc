// BPE encode, count and decode of arbitrary bytes on small loaded vocabularies, both
// ranking rules, against the plain merge procedure.
//
// Four tokenizers are written to scratch files and loaded once, at start-up:
//   0  a rank file with all 256 single bytes and a few dozen longer tokens (unique ranks),
//   1  a rank file with extreme, negative, repeated ranks and repeated tokens,
//   2  a byte-level tokenizer.json whose merges all produce vocabulary tokens,
//   3  a plain tokenizer.json with merges that produce no token, spaces in merge parts
//      and repeated ids.
// The first input byte picks the tokenizer, and whether the rest is a text or an id list.
// For tokenizers 0 and 2 every piece is a token with its own id, so decoding the ids of
// any text must give the text back.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "reference_loaders.h"
#include "reference_merge.h"
#include "models/bpe/bpe_tokenizer.h"

using fuzzsupport::show;

namespace {

std::string base64(std::string_view s) {
  static const char* const a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 3 <= s.size(); i += 3) {
    const uint32_t v = (static_cast<uint8_t>(s[i]) << 16) | (static_cast<uint8_t>(s[i + 1]) << 8) | static_cast<uint8_t>(s[i + 2]);
    out += a[v >> 18];
    out += a[(v >> 12) & 63];
    out += a[(v >> 6) & 63];
    out += a[v & 63];
  }
  if (s.size() - i == 1) {
    const uint32_t v = static_cast<uint8_t>(s[i]) << 16;
    out += a[v >> 18];
    out += a[(v >> 12) & 63];
    out += "==";
  } else if (s.size() - i == 2) {
    const uint32_t v = (static_cast<uint8_t>(s[i]) << 16) | (static_cast<uint8_t>(s[i + 1]) << 8);
    out += a[v >> 18];
    out += a[(v >> 12) & 63];
    out += a[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

// Longer tokens of the full vocabularies: common pieces, repetitive runs that stress the
// tie rules, whitespace runs, underscores, contractions, digits and UTF-8 fragments.
const std::vector<std::string>& long_tokens() {
  static const std::vector<std::string> t = {
      "th", "he", "the", " t", " th", " the", "in", "ing", " in", "er", "re", "on", " a", "an", "and",
      " and", "aa", "aaa", "aaaa", "aaaaaaaa", "ab", "ba", "abab", "ababab", "bab", "abc", "bc",
      "  ", "   ", "    ", "\n\n", " \n", "\t\t", "__", "___", "'s", "'t", "12", "123", "1234", "00",
      "\xC3\xA9", "\xE2\x80", "\xE2\x80\x99", "\x80\x99", "hello", " world", "wor", "ld", "orld",
      "!!", "...", "..", "--", "ll", "lo", "low", "lower", "er!", "x_y", "\xFF\xFE",
  };
  return t;
}

std::string rank_file_full() {
  std::string f;
  for (int b = 0; b < 256; ++b) {
    f += base64(std::string(1, static_cast<char>(b))) + " " + std::to_string((b * 167 + 13) % 256) + "\n";
  }
  int32_t rank = 256;
  for (const std::string& t : long_tokens()) f += base64(t) + " " + std::to_string(rank++) + "\n";
  return f;
}

std::string rank_file_extreme() {
  std::string f;
  const auto line = [&](std::string_view tok, const std::string& rank) { f += base64(tok) + " " + rank + "\r\n"; };
  for (char c = 'a'; c <= 'z'; ++c) line(std::string(1, c), std::to_string(c - 'a' + 1));
  line(" ", "0");
  line("ab", "2147483647");
  line("ba", "-2147483648");
  line("aa", "-1");
  line("aaa", "-5");
  line("aaaa", "-5");
  line("abc", "0");
  line("bc", "0");
  line("a", "40");  // repeated token: the later rank wins
  line("the", "2147483646");
  line("th", "+7");
  line("he", "7");
  line(" t", "-7");
  line("", "99");  // the empty token
  line("zz", "12abc");
  f += "not base64!! 55\n";
  f += "no-space-line\n";
  return f;
}

// The GPT-2 stand-in character of each byte.
std::string stand_in(unsigned char b) {
  int next = 0x100;
  for (unsigned k = 0; k < 256; ++k) {
    const bool itself = (k >= 0x21 && k <= 0x7E) || (k >= 0xA1 && k <= 0xAC) || (k >= 0xAE && k <= 0xFF);
    const int cp = itself ? static_cast<int>(k) : next++;
    if (k == b) return fuzzref::utf8_of(static_cast<char32_t>(cp));
  }
  return "";
}

std::string byte_level_text(std::string_view s) {
  std::string out;
  for (unsigned char c : s) out += stand_in(c);
  return out;
}

std::string json_byte_level() {
  nlohmann::json vocab = nlohmann::json::object();
  nlohmann::json merges = nlohmann::json::array();
  std::map<std::string, int32_t> ids;
  auto add = [&](const std::string& tok) {
    if (ids.count(tok)) return;
    const int32_t id = static_cast<int32_t>(ids.size());
    ids[tok] = id;
    vocab[byte_level_text(tok)] = id;
  };
  for (int b = 0; b < 256; ++b) add(std::string(1, static_cast<char>(b)));
  for (const std::string& t : long_tokens()) {
    for (std::size_t k = 2; k <= t.size(); ++k) {
      const std::string prefix = t.substr(0, k);
      if (ids.count(prefix)) continue;
      merges.push_back(byte_level_text(t.substr(0, k - 1)) + " " + byte_level_text(t.substr(k - 1, 1)));
      add(prefix);
    }
  }
  // Joins of two longer pieces, and a repeated rule (the later position wins).
  for (const auto& [l, r] : std::vector<std::pair<std::string, std::string>>{
           {"ab", "ab"}, {"aa", "aa"}, {" t", "he"}, {"lo", "w"}, {"ab", "ab"}}) {
    merges.push_back(byte_level_text(l) + " " + byte_level_text(r));
    add(l + r);
  }
  nlohmann::json doc = {{"version", "1.0"},
                        {"pre_tokenizer", {{"type", "Sequence"}, {"pretokenizers", {{{"type", "ByteLevel"}}}}}},
                        {"model", {{"type", "BPE"}, {"vocab", vocab}, {"merges", merges}}}};
  return doc.dump();
}

std::string json_plain() {
  return R"({"model": {"vocab": {"a": 1, "b": 2, "c": 3, "ab": 4, "abc": 5, "bc": 5, " ": 6,
    " a": 7, "t": 8.9, "h": true, "e": false, "the": -3, "x": 4294967301, "\u00e9": 9,
    "\u0000": 10, "aa": 11, "aaaa": 12, "1": 13, "12": 14, "_": 15, "'s": 16, "s": 17},
   "merges": ["a b", "ab c", "b c", "  a", "a a", "aa aa", "t h", "th e", "no-space",
              "x y z", "1 2", "c a", "a b", "' s", "\u00c3 \u00a9", "e  "]},
  "decoder": {"type": "WordPiece"}} trailing text is ignored)";
}

struct Loaded {
  std::unique_ptr<corvane::BPETokenizer> engine;
  fuzzref::Model ref;
  bool round_trip;
};

std::vector<Loaded> load_all() {
  const fuzzsupport::ScratchFile file("bpe-encode");
  std::vector<Loaded> out;
  auto rank_file = [&](const std::string& content, bool round_trip) {
    file.write(content);
    out.push_back({std::make_unique<corvane::BPETokenizer>(corvane::BPETokenizer::from_tiktoken_file(file.path())),
                   fuzzref::load_tiktoken(content), round_trip});
  };
  auto hf_json = [&](const std::string& content, bool round_trip) {
    file.write(content);
    out.push_back({std::make_unique<corvane::BPETokenizer>(corvane::BPETokenizer::from_hf_json(file.path())),
                   fuzzref::load_tokenizer_json(content), round_trip});
  };
  rank_file(rank_file_full(), true);
  rank_file(rank_file_extreme(), false);
  hf_json(json_byte_level(), true);
  hf_json(json_plain(), false);
  return out;
}

// The plain procedure re-merges from scratch on every pass; beyond this pre-token length
// it would dominate the run time, so such texts are only checked for self-consistency.
constexpr std::size_t kReferenceLimit = 128;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static const std::vector<Loaded> tokenizers = load_all();
  if (size == 0) return 0;
  const Loaded& tk = tokenizers[data[0] % tokenizers.size()];
  const corvane::BPETokenizer& t = *tk.engine;
  const bool ids_mode = (data[0] >> 2) & 1;
  ++data;
  --size;

  if (ids_mode) {
    const std::vector<int32_t> ids = fuzzsupport::ids_from_bytes(data, size);
    FUZZ_CHECK(t.decode(ids) == fuzzref::bpe_decode(tk.ref, ids), "decode of " + show(ids));
    return 0;
  }

  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::vector<int32_t> ids = t.encode(text);
  FUZZ_CHECK(t.count(text) == ids.size(), "count != encode().size() for " + show(text));
  const std::string back = t.decode(ids);
  if (tk.round_trip) FUZZ_CHECK(back == text, "decode(encode(text)) != text for " + show(text));

  bool small = true;
  for (std::string_view w : fuzzref::pre_tokens(text)) small = small && w.size() <= kReferenceLimit;
  if (small) {
    const std::vector<int32_t> want = fuzzref::bpe_encode(tk.ref, text);
    FUZZ_CHECK(ids == want, "encode " + show(text) + " gave " + show(ids) + ", expected " + show(want));
    FUZZ_CHECK(back == fuzzref::bpe_decode(tk.ref, ids), "decode of the ids of " + show(text));
  }
  return 0;
}
