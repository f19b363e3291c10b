// Fuzz target: the decoders against plain reference implementations.
//
// Input: one mode byte, four parameter bytes, then NUL-separated token strings (any bytes,
// so tokens that are not UTF-8 come up too). The first token is a parameter string (the
// WordPiece prefix, the BPE suffix, the Replace pattern, the CTC pad token). The mode picks
// one decoder, or a Sequence of two, or the JSON loader (the rest of the input is the JSON
// text, which must load or fail with std::invalid_argument only).
//
// The references work on a vector of characters (a byte that begins no well-formed UTF-8
// character is a character of its own that equals no real one), by the plainest means:
// quadratic searches, linear scans, a table built the way GPT-2's encoder.py builds it.

#include <cctype>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/utf8.h"
#include "decoders/bpe_decoder.h"
#include "decoders/byte_fallback.h"
#include "decoders/byte_level.h"
#include "decoders/ctc.h"
#include "decoders/fuse.h"
#include "decoders/metaspace.h"
#include "decoders/replace.h"
#include "decoders/sequence.h"
#include "decoders/strip.h"
#include "decoders/wordpiece.h"
#include "formats/decoder_json.h"
#include "fuzz_support.h"

namespace {

using fuzzsupport::show;
using Tokens = std::vector<std::string>;

// --- Characters ----------------------------------------------------------------------------

// A character: a code point, or -1 - b for a byte b that begins no character.
using Char = int64_t;

std::size_t utf8_len(const std::string& s, std::size_t i) {
  // Well-formed sequences by Table 3-7 of the Unicode standard.
  const auto b = [&](std::size_t k) -> int { return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : -1; };
  const int c = b(0);
  const auto in = [&](std::size_t k, int lo, int hi) { return b(k) >= lo && b(k) <= hi; };
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) return in(1, 0x80, 0xBF) ? 2 : 0;
  if (c == 0xE0) return in(1, 0xA0, 0xBF) && in(2, 0x80, 0xBF) ? 3 : 0;
  if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) return in(1, 0x80, 0xBF) && in(2, 0x80, 0xBF) ? 3 : 0;
  if (c == 0xED) return in(1, 0x80, 0x9F) && in(2, 0x80, 0xBF) ? 3 : 0;
  if (c == 0xF0) return in(1, 0x90, 0xBF) && in(2, 0x80, 0xBF) && in(3, 0x80, 0xBF) ? 4 : 0;
  if (c >= 0xF1 && c <= 0xF3) return in(1, 0x80, 0xBF) && in(2, 0x80, 0xBF) && in(3, 0x80, 0xBF) ? 4 : 0;
  if (c == 0xF4) return in(1, 0x80, 0x8F) && in(2, 0x80, 0xBF) && in(3, 0x80, 0xBF) ? 4 : 0;
  return 0;
}

std::vector<Char> chars_of(const std::string& s) {
  std::vector<Char> out;
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t n = utf8_len(s, i);
    if (n == 0) {
      out.push_back(-1 - static_cast<unsigned char>(s[i]));
      ++i;
      continue;
    }
    const auto u = [&](std::size_t k) { return static_cast<Char>(static_cast<unsigned char>(s[i + k])); };
    Char cp = u(0);
    if (n == 2) cp = ((u(0) & 0x1F) << 6) | (u(1) & 0x3F);
    if (n == 3) cp = ((u(0) & 0x0F) << 12) | ((u(1) & 0x3F) << 6) | (u(2) & 0x3F);
    if (n == 4) cp = ((u(0) & 0x07) << 18) | ((u(1) & 0x3F) << 12) | ((u(2) & 0x3F) << 6) | (u(3) & 0x3F);
    out.push_back(cp);
    i += n;
  }
  return out;
}

void put(std::string& out, Char c) {
  if (c < 0) {
    out.push_back(static_cast<char>(-1 - c));
  } else if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::string text_of(const std::vector<Char>& cs) {
  std::string out;
  for (Char c : cs) put(out, c);
  return out;
}

// Lossy UTF-8: a well-formed character is kept; otherwise the longest run of bytes that is
// still the start of some well-formed character (at least one byte) becomes one U+FFFD.
std::string lossy(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t n = utf8_len(s, i);
    if (n > 0) {
      out.append(s, i, n);
      i += n;
      continue;
    }
    std::size_t longest = 1;
    for (std::size_t k = 2; k <= 3 && i + k <= s.size(); ++k) {
      // Is s[i, i+k) a prefix of a well-formed character? Try every completion byte.
      bool prefix = false;
      for (int last = 0x80; last <= 0xBF && !prefix; ++last) {
        std::string probe = s.substr(i, k);
        while (probe.size() < 4) {
          probe.push_back(static_cast<char>(last));
          if (utf8_len(probe, 0) == probe.size()) prefix = true;
        }
      }
      if (prefix) longest = k;
      else break;
    }
    out += "\xEF\xBF\xBD";
    i += longest;
  }
  return out;
}

// --- Plain references ----------------------------------------------------------------------

// Non-overlapping leftmost occurrences of `from` replaced; an empty `from` at every
// character boundary, both ends included.
std::string replace_all(const std::string& s, const std::string& from, const std::string& to) {
  std::string out;
  if (from.empty()) {
    out = to;
    for (Char c : chars_of(s)) {
      put(out, c);
      out += to;
    }
    return out;
  }
  for (std::size_t i = 0; i < s.size();) {
    if (s.compare(i, from.size(), from) == 0) {
      out += to;
      i += from.size();
    } else {
      out += s[i++];
    }
  }
  return out;
}

std::map<Char, int> byte_alphabet() {
  // encoder.py's bytes_to_unicode, inverted.
  std::vector<int> bs;
  for (int b = '!'; b <= '~'; ++b) bs.push_back(b);
  for (int b = 0xA1; b <= 0xAC; ++b) bs.push_back(b);
  for (int b = 0xAE; b <= 0xFF; ++b) bs.push_back(b);
  std::vector<Char> cs(bs.begin(), bs.end());
  int n = 0;
  for (int b = 0; b < 256; ++b) {
    bool listed = false;
    for (int x : bs) listed = listed || x == b;
    if (!listed) {
      bs.push_back(b);
      cs.push_back(256 + n++);
    }
  }
  std::map<Char, int> out;
  for (std::size_t i = 0; i < bs.size(); ++i) out[cs[i]] = bs[i];
  return out;
}

Tokens ref_byte_level(const Tokens& tokens) {
  static const std::map<Char, int> table = byte_alphabet();
  std::string bytes;
  for (const std::string& t : tokens) {
    std::string mine;
    bool all = true;
    for (Char c : chars_of(t)) {
      const auto it = table.find(c);
      if (it == table.end()) {
        all = false;
        break;
      }
      mine.push_back(static_cast<char>(it->second));
    }
    bytes += all ? mine : t;
  }
  return {lossy(bytes)};
}

std::string ref_cleanup(std::string s) {
  const char* steps[][2] = {{" .", "."},     {" ?", "?"},     {" !", "!"},          {" ,", ","},
                            {" ' ", "'"},    {" n't", "n't"}, {" 'm", "'m"},        {" do not", " don't"},
                            {" 's", "'s"},   {" 've", "'ve"}, {" 're", "'re"}};
  for (const auto& st : steps) s = replace_all(s, st[0], st[1]);
  return s;
}

Tokens ref_wordpiece(Tokens tokens, const std::string& prefix, bool cleanup) {
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    if (i > 0) {
      if (tokens[i].size() >= prefix.size() && tokens[i].substr(0, prefix.size()) == prefix) {
        tokens[i] = tokens[i].substr(prefix.size());
      } else {
        tokens[i] = " " + tokens[i];
      }
    }
    if (cleanup) tokens[i] = ref_cleanup(tokens[i]);
  }
  return tokens;
}

Tokens ref_metaspace(Tokens tokens, Char rep, bool never) {
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    std::vector<Char> out;
    for (Char c : chars_of(tokens[i])) {
      if (c != rep) out.push_back(c);
      else if (i > 0 || never) out.push_back(' ');
    }
    tokens[i] = text_of(out);
  }
  return tokens;
}

Tokens ref_bpe(Tokens tokens, const std::string& suffix) {
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    tokens[i] = replace_all(tokens[i], suffix, i + 1 == tokens.size() ? "" : " ");
  }
  return tokens;
}

int ref_byte_of(const std::string& t) {
  if (t.size() != 6 || t.substr(0, 3) != "<0x" || t[5] != '>') return -1;
  std::string digits = t.substr(3, 2);
  if (digits[0] == '+') digits = digits.substr(1);
  if (digits.empty()) return -1;
  int v = 0;
  for (char c : digits) {
    const char* hex = "0123456789abcdef";
    const char* p = std::strchr(hex, c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
    if (!p || c == 0) return -1;
    v = v * 16 + static_cast<int>(p - hex);
  }
  return v;
}

Tokens ref_byte_fallback(const Tokens& tokens) {
  Tokens out;
  std::string run;
  const auto flush = [&] {
    if (run.empty()) return;
    bool ok = true;
    for (std::size_t i = 0; i < run.size() && ok;) {
      const std::size_t n = utf8_len(run, i);
      ok = n > 0;
      i += n;
    }
    if (ok) out.push_back(run);
    else out.insert(out.end(), run.size(), "\xEF\xBF\xBD");
    run.clear();
  };
  for (const std::string& t : tokens) {
    const int b = ref_byte_of(t);
    if (b >= 0) {
      run.push_back(static_cast<char>(b));
    } else {
      flush();
      out.push_back(t);
    }
  }
  flush();
  return out;
}

Tokens ref_fuse(const Tokens& tokens) {
  std::string all;
  for (const std::string& t : tokens) all += t;
  return {all};
}

Tokens ref_strip(Tokens tokens, Char content, uint64_t start, uint64_t stop) {
  for (std::string& t : tokens) {
    const std::vector<Char> cs = chars_of(t);
    std::size_t b = 0, e = cs.size();
    while (b < start && b < e && cs[b] == content) ++b;
    uint64_t removed = 0;
    while (removed < stop && e > b && cs[e - 1] == content) {
      --e;
      ++removed;
    }
    t = text_of(std::vector<Char>(cs.begin() + b, cs.begin() + e));
  }
  return tokens;
}

Tokens ref_ctc(const Tokens& tokens, const std::string& pad, const std::string& delim, bool cleanup) {
  Tokens out;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    if (i > 0 && tokens[i] == tokens[i - 1]) continue;
    std::string t = replace_all(tokens[i], pad, "");
    if (cleanup) t = replace_all(ref_cleanup(t), delim, " ");
    if (!t.empty()) out.push_back(t);
  }
  return out;
}

Tokens ref_replace(Tokens tokens, const std::string& from, const std::string& to) {
  for (std::string& t : tokens) {
    if (!t.empty()) t = replace_all(t, from, to);
  }
  return tokens;
}

// The literal `s` as an Oniguruma pattern: ASCII punctuation escaped.
std::string escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x80 && !std::isalnum(u) && u != ' ') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

// --- The harness ---------------------------------------------------------------------------

const Char kContents[] = {' ', 0x2581, 'a', 0x1F600, '#', 0x120};

struct Step {
  std::unique_ptr<const corvane::Decoder> decoder;
  std::function<Tokens(Tokens)> reference;
  std::string name;
};

Step make_step(uint8_t kind, const uint8_t* p, const std::string& param) {
  using namespace corvane;
  const Char content = kContents[p[0] % (sizeof kContents / sizeof kContents[0])];
  std::string content_text;
  put(content_text, content);
  const bool flag = p[1] & 1;
  const uint64_t start = p[2] % 5, stop = p[3] % 5;
  switch (kind % 11) {
    case 0:
      return {std::make_unique<ByteLevelDecoder>(), ref_byte_level, "ByteLevel"};
    case 1:
      return {std::make_unique<WordPieceDecoder>(param, flag),
              [=](Tokens t) { return ref_wordpiece(std::move(t), param, flag); }, "WordPiece"};
    case 2: {
      const auto scheme = static_cast<MetaspaceDecoder::PrependScheme>(p[1] % 3);
      const bool never = scheme == MetaspaceDecoder::PrependScheme::kNever;
      return {std::make_unique<MetaspaceDecoder>(static_cast<char32_t>(content), scheme),
              [=](Tokens t) { return ref_metaspace(std::move(t), content, never); }, "Metaspace"};
    }
    case 3:
      return {std::make_unique<BPEDecoder>(param), [=](Tokens t) { return ref_bpe(std::move(t), param); }, "BPEDecoder"};
    case 4:
      return {std::make_unique<ByteFallbackDecoder>(), ref_byte_fallback, "ByteFallback"};
    case 5:
      return {std::make_unique<FuseDecoder>(), ref_fuse, "Fuse"};
    case 6:
      return {std::make_unique<StripDecoder>(static_cast<char32_t>(content), start, stop),
              [=](Tokens t) { return ref_strip(std::move(t), content, start, stop); }, "Strip"};
    case 7:
      return {std::make_unique<ReplaceDecoder>(param, content_text),
              [=](Tokens t) { return ref_replace(std::move(t), param, content_text); }, "Replace"};
    case 8: {
      // A literal written as a regex matches exactly where the literal does.
      for (std::size_t i = 0; i < param.size();) {
        const std::size_t n = utf8_len(param, i);
        if (n == 0) return {nullptr, nullptr, ""};
        i += n;
      }
      return {ReplaceDecoder::regex(escape(param), content_text),
              [=](Tokens t) { return ref_replace(std::move(t), param, content_text); }, "Replace(regex)"};
    }
    case 9:
      return {std::make_unique<CTCDecoder>(param, content_text, flag),
              [=](Tokens t) { return ref_ctc(t, param, content_text, flag); }, "CTC"};
    case 10:
      return {std::make_unique<ByteFallbackDecoder>(), ref_byte_fallback, "ByteFallback"};
  }
  return {nullptr, nullptr, ""};
}

std::string show_tokens(const Tokens& t) {
  std::string out = "[";
  for (std::size_t i = 0; i < t.size(); ++i) out += (i ? ", " : "") + show(t[i]);
  return out + "]";
}

void run_json(const uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::unique_ptr<const corvane::Decoder> d;
  try {
    d = corvane::decoder_from_json(text);
  } catch (const std::invalid_argument&) {
    return;
  }
  // Whatever loaded decodes without failing on well-formed tokens.
  const Tokens tokens = {"\xC4\xA0" "a", "<0xE2>", "<0x82>", "##b", "\xE2\x96\x81" "c", "", "  ", "d</w>"};
  const std::string out = d->decode(tokens);
  FUZZ_CHECK(corvane::Utf8::repair(out) == out, "decode gave ill-formed UTF-8 " + show(out));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 5) return 0;
  const uint8_t mode = data[0];
  if (mode >= 0xF0) {
    run_json(data + 1, size - 1);
    return 0;
  }
  Tokens tokens;
  std::string current;
  for (std::size_t i = 5; i < size; ++i) {
    if (data[i] == 0) {
      tokens.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  tokens.push_back(current);
  const std::string param = tokens.front();
  tokens.erase(tokens.begin());

  std::vector<Step> steps;
  const uint8_t second[4] = {data[4], data[3], data[2], data[1]};
  steps.push_back(make_step(mode & 0x0F, data + 1, param));
  if (mode & 0x80) steps.push_back(make_step((mode >> 4) & 0x07, second, param));
  Tokens want = tokens;
  std::vector<std::unique_ptr<const corvane::Decoder>> parts;
  std::string names;
  for (Step& s : steps) {
    if (!s.decoder) return 0;
    want = s.reference(std::move(want));
    parts.push_back(std::move(s.decoder));
    names += s.name + " ";
  }
  const corvane::DecoderSequence chain(std::move(parts));
  const Tokens got = chain.decode_chain(tokens);
  FUZZ_CHECK(got == want, names + "on " + show_tokens(tokens) + " gave " + show_tokens(got) + ", expected " +
                              show_tokens(want));
  std::string joined;
  for (const std::string& t : want) joined += t;
  FUZZ_CHECK(chain.decode(tokens) == joined, names + "decode differs from the joined chain");
  return 0;
}
