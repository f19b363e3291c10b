#include "pre_tokenizers/regex_splitter.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <new>
#include <optional>
#include <utility>

#include "core/unicode.h"

namespace corvane {

namespace {

using unicode::Range;
using Ranges = std::vector<Range>;

// ---------------------------------------------------------------------------------------
// Unicode sets

// Every code point's category as runs (first code point, category), computed once: sets
// of categories are then a short walk instead of a pass over all code points.
const std::vector<std::pair<char32_t, unicode::Category>>& category_runs() {
  static const auto runs = [] {
    std::vector<std::pair<char32_t, unicode::Category>> r;
    for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
      const unicode::Category c = unicode::category(cp);
      if (r.empty() || r.back().second != c) r.emplace_back(cp, c);
    }
    return r;
  }();
  return runs;
}

Ranges ranges_of(unicode::CategoryMask m) {
  const auto& runs = category_runs();
  Ranges out;
  for (std::size_t k = 0; k < runs.size(); ++k) {
    if (!((m >> runs[k].second) & 1u)) continue;
    const char32_t lo = runs[k].first;
    const char32_t hi = k + 1 < runs.size() ? runs[k + 1].first - 1 : 0x10FFFF;
    if (!out.empty() && out.back().hi + 1 == lo) {
      out.back().hi = hi;
    } else {
      out.push_back({lo, hi});
    }
  }
  return out;
}

const Ranges& white_space() {
  static const Ranges r = unicode::white_space_ranges();
  return r;
}

// ---------------------------------------------------------------------------------------
// Names

// A property name or value compared the way Rust's regex does (UAX #44 LM3): ASCII only,
// case, blanks, underscores and hyphens ignored, and an "is" prefix dropped.
std::string loose_name(std::string_view s) {
  bool is_prefix = s.size() >= 2 && (s[0] == 'i' || s[0] == 'I') && (s[1] == 's' || s[1] == 'S');
  if (is_prefix) s.remove_prefix(2);
  std::string out;
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == ' ' || c == '_' || c == '-' || c >= 0x80) continue;
    out += static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
  }
  // "isc" is ISO_Comment in Rust, not the category C.
  if (is_prefix && out == "c") return "isc";
  return out;
}

// The set a \p{...} body names, already negated when `negated`; nothing for a name we leave
// to the engine (scripts, binary properties, anything unknown).
std::optional<Ranges> property_set(std::string_view body, bool negated) {
  std::string_view value = body;
  const std::size_t eq = body.find_first_of("=:");
  if (eq != std::string_view::npos) {
    std::string_view key = body.substr(0, eq);
    value = body.substr(eq + 1);
    if (body[eq] == '=' && !key.empty() && key.back() == '!') {
      key.remove_suffix(1);
      negated = !negated;
    }
    const std::string k = loose_name(key);
    if (k != "gc" && k != "generalcategory") return std::nullopt;
  }
  std::optional<Ranges> set = unicode::category_by_name(loose_name(value), true);
  if (!set) return std::nullopt;
  if (negated) set = unicode::complement(*set);
  set = unicode::without_surrogates(*set);
  if (set->empty()) return std::nullopt;  // \p{Cs}, \P{Any}: the engine's own never match
  return set;
}

Ranges ascii_ranges(std::initializer_list<Range> r) { return Ranges(r); }

// Rust's POSIX classes, which are ASCII-only whatever the flags.
std::optional<Ranges> posix_set(std::string_view name) {
  if (name == "alnum") return ascii_ranges({{'0', '9'}, {'A', 'Z'}, {'a', 'z'}});
  if (name == "alpha") return ascii_ranges({{'A', 'Z'}, {'a', 'z'}});
  if (name == "ascii") return ascii_ranges({{0, 0x7F}});
  if (name == "blank") return ascii_ranges({{'\t', '\t'}, {' ', ' '}});
  if (name == "cntrl") return ascii_ranges({{0, 0x1F}, {0x7F, 0x7F}});
  if (name == "digit") return ascii_ranges({{'0', '9'}});
  if (name == "graph") return ascii_ranges({{'!', '~'}});
  if (name == "lower") return ascii_ranges({{'a', 'z'}});
  if (name == "print") return ascii_ranges({{' ', '~'}});
  if (name == "punct") return ascii_ranges({{'!', '/'}, {':', '@'}, {'[', '`'}, {'{', '~'}});
  if (name == "space") return ascii_ranges({{'\t', '\r'}, {' ', ' '}});
  if (name == "upper") return ascii_ranges({{'A', 'Z'}});
  if (name == "word") return ascii_ranges({{'0', '9'}, {'A', 'Z'}, {'_', '_'}, {'a', 'z'}});
  if (name == "xdigit") return ascii_ranges({{'0', '9'}, {'A', 'F'}, {'a', 'f'}});
  return std::nullopt;
}

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

std::size_t utf8_length(unsigned char c) { return c < 0xC0 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4; }

// ---------------------------------------------------------------------------------------
// Translation

class Translator {
 public:
  Translator(std::string_view in, std::vector<std::size_t>* offsets) : in_(in), offsets_(offsets) {}

  std::string run() {
    while (i_ < in_.size()) {
      const char c = in_[i_];
      if (c == '\\') {
        escape(false);
      } else if (c == '[') {
        bracket_class();
      } else {
        copy_char();
      }
    }
    return std::move(out_);
  }

 private:
  [[noreturn]] void fail(const char* what, std::size_t at) const {
    throw std::invalid_argument(std::string("invalid pattern: ") + what + " at offset " +
                                std::to_string(char_offset(in_, at)));
  }

 public:
  static std::size_t char_offset(std::string_view s, std::size_t byte_offset) {
    std::size_t n = 0;
    for (std::size_t k = 0; k < byte_offset && k < s.size(); ++k) {
      if ((static_cast<unsigned char>(s[k]) & 0xC0) != 0x80) ++n;
    }
    return n;
  }

 private:
  void put(std::string_view s, std::size_t src) {
    out_ += s;
    if (offsets_) offsets_->insert(offsets_->end(), s.size(), src);
  }
  void copy(std::size_t from, std::size_t to) {
    to = std::min(to, in_.size());
    out_.append(in_.data() + from, to - from);
    if (offsets_) {
      for (std::size_t k = from; k < to; ++k) offsets_->push_back(k);
    }
    i_ = to;
  }
  void copy_char() { copy(i_, i_ + utf8_length(static_cast<unsigned char>(in_[i_]))); }

  void put_ranges(const Ranges& r, std::size_t src) {
    char buf[32];
    for (Range x : r) {
      if (x.lo == x.hi) {
        std::snprintf(buf, sizeof buf, "\\x{%X}", static_cast<unsigned>(x.lo));
      } else {
        std::snprintf(buf, sizeof buf, "\\x{%X}-\\x{%X}", static_cast<unsigned>(x.lo),
                      static_cast<unsigned>(x.hi));
      }
      put(buf, src);
    }
  }
  void put_set(const Ranges& r, std::size_t src, bool in_class) {
    if (!in_class) put("[", src);
    put_ranges(r, src);
    if (!in_class) put("]", src);
  }

  // At a backslash: a translated escape, \Q...\E, or the backslash and the character after
  // it as they are.
  void escape(bool in_class) {
    const std::size_t at = i_;
    if (at + 1 >= in_.size()) {
      copy(at, at + 1);  // the engine reports the trailing backslash
      return;
    }
    const char e = in_[at + 1];
    switch (e) {
      case 'p':
      case 'P': {
        std::size_t end;
        std::string_view body;
        if (at + 2 < in_.size() && in_[at + 2] == '{') {
          const std::size_t close = in_.find('}', at + 3);
          if (close == std::string_view::npos) break;
          body = in_.substr(at + 3, close - (at + 3));
          end = close + 1;
        } else if (at + 2 < in_.size() && static_cast<unsigned char>(in_[at + 2]) < 0x80) {
          body = in_.substr(at + 2, 1);
          end = at + 3;
        } else {
          break;
        }
        const std::optional<Ranges> set = property_set(body, e == 'P');
        if (!set) {
          copy(at, end);
          return;
        }
        put_set(*set, at, in_class);
        i_ = end;
        return;
      }
      case 'd':
      case 'D': {
        static const Ranges digits = ranges_of(unicode::mask_of(unicode::Nd));
        static const Ranges non_digits = unicode::without_surrogates(unicode::complement(digits));
        put_set(e == 'd' ? digits : non_digits, at, in_class);
        i_ = at + 2;
        return;
      }
      case 's':
      case 'S': {
        static const Ranges non_space = unicode::without_surrogates(unicode::complement(white_space()));
        put_set(e == 's' ? white_space() : non_space, at, in_class);
        i_ = at + 2;
        return;
      }
      case 'v':
        put("\\x{B}", at);
        i_ = at + 2;
        return;
      case 'u':
      case 'U': {
        // \u{h..} / \U{h..}, or exactly 4 (\u) or 8 (\U) hex digits.
        std::size_t digits_begin = at + 2, digits_end, end;
        if (digits_begin < in_.size() && in_[digits_begin] == '{') {
          ++digits_begin;
          digits_end = digits_begin;
          while (digits_end < in_.size() && is_hex(in_[digits_end])) ++digits_end;
          if (digits_end == digits_begin || digits_end >= in_.size() || in_[digits_end] != '}') break;
          end = digits_end + 1;
        } else {
          digits_end = digits_begin + (e == 'u' ? 4 : 8);
          if (digits_end > in_.size()) break;
          for (std::size_t k = digits_begin; k < digits_end; ++k) {
            if (!is_hex(in_[k])) return copy(at, at + 2);
          }
          end = digits_end;
        }
        put("\\x{", at);
        put(in_.substr(digits_begin, digits_end - digits_begin), at);
        put("}", at);
        i_ = end;
        return;
      }
      case 'Q': {
        // Quoted to the next \E (or the end): nothing inside is syntax.
        const std::size_t close = in_.find("\\E", at + 2);
        copy(at, close == std::string_view::npos ? in_.size() : close + 2);
        return;
      }
      default:
        break;
    }
    copy(at, at + 1 + utf8_length(static_cast<unsigned char>(e)));
  }

  void bracket_class() {
    const std::size_t open = i_;
    copy(i_, i_ + 1);
    if (i_ < in_.size() && in_[i_] == '^') copy(i_, i_ + 1);
    if (i_ < in_.size() && in_[i_] == ']') copy(i_, i_ + 1);  // a leading ] is literal
    while (i_ < in_.size()) {
      const char c = in_[i_];
      if (c == ']') {
        copy(i_, i_ + 1);
        return;
      }
      if (c == '\\') {
        escape(true);
        continue;
      }
      if (c == '[') {
        if (i_ + 1 < in_.size() && in_[i_ + 1] == ':') {
          const std::size_t close = in_.find(":]", i_ + 2);
          if (close != std::string_view::npos) {
            std::string_view name = in_.substr(i_ + 2, close - (i_ + 2));
            const bool negated = !name.empty() && name[0] == '^';
            if (negated) name.remove_prefix(1);
            if (std::optional<Ranges> set = posix_set(name)) {
              if (negated) set = unicode::without_surrogates(unicode::complement(*set));
              put_ranges(*set, i_);
              i_ = close + 2;
              continue;
            }
          }
        }
        fail("nested character classes are not supported", i_);
      }
      if ((c == '&' || c == '-' || c == '~') && i_ + 1 < in_.size() && in_[i_ + 1] == c) {
        fail("character class set operations (&&, --, ~~) are not supported", i_);
      }
      copy_char();
    }
    (void)open;  // unterminated: the engine reports it
  }

  std::string_view in_;
  std::vector<std::size_t>* offsets_;
  std::string out_;
  std::size_t i_ = 0;
};

// ---------------------------------------------------------------------------------------
// Per-thread match state

struct MatchState {
  pcre2_match_data* data = nullptr;
  pcre2_match_context* context = nullptr;
  pcre2_jit_stack* stack = nullptr;

  MatchState() {
    data = pcre2_match_data_create(1, nullptr);
    context = pcre2_match_context_create(nullptr);
    // The JIT stack grows on demand up to its maximum (address space is reserved, pages
    // are touched only when used).
    stack = pcre2_jit_stack_create(32 * 1024, 64 * 1024 * 1024, nullptr);
    if (!data || !context || !stack) {
      release();
      throw std::bad_alloc();
    }
    pcre2_jit_stack_assign(context, nullptr, stack);
  }
  ~MatchState() { release(); }
  MatchState(const MatchState&) = delete;
  MatchState& operator=(const MatchState&) = delete;

  void release() {
    pcre2_match_data_free(data);
    pcre2_match_context_free(context);
    pcre2_jit_stack_free(stack);
    data = nullptr;
    context = nullptr;
    stack = nullptr;
  }
};

MatchState& match_state() {
  thread_local MatchState state;
  return state;
}

constexpr std::size_t kMatchLimitBase = 10'000'000;
constexpr std::size_t kMatchLimitPerByte = 16;

std::string engine_message(int code) {
  PCRE2_UCHAR buf[256];
  if (pcre2_get_error_message(code, buf, sizeof buf) < 0) return "error " + std::to_string(code);
  return reinterpret_cast<const char*>(buf);
}

}  // namespace

std::string RegexSplitter::translate(std::string_view pat_str, std::vector<std::size_t>* offsets) {
  return Translator(pat_str, offsets).run();
}

RegexSplitter::RegexSplitter(std::string_view pat_str) {
  std::vector<std::size_t> offsets;
  translated_ = translate(pat_str, &offsets);

  pcre2_compile_context* cctx = pcre2_compile_context_create(nullptr);
  if (!cctx) throw std::bad_alloc();
  pcre2_set_newline(cctx, PCRE2_NEWLINE_LF);
  pcre2_set_bsr(cctx, PCRE2_BSR_UNICODE);
  int error = 0;
  PCRE2_SIZE error_offset = 0;
  // UCP: \w, \b and case folding by Unicode properties; DOLLAR_ENDONLY: $ is the end of the
  // text, as in Rust; NEVER_BACKSLASH_C: a match never splits a character.
  const uint32_t options = PCRE2_UTF | PCRE2_UCP | PCRE2_DOLLAR_ENDONLY | PCRE2_NEVER_BACKSLASH_C;
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(translated_.data()), translated_.size(),
                                   options, &error, &error_offset, cctx);
  pcre2_compile_context_free(cctx);
  if (!code) {
    const std::size_t at = error_offset < offsets.size() ? offsets[error_offset] : pat_str.size();
    throw std::invalid_argument("invalid pattern: " + engine_message(error) + " at offset " +
                                std::to_string(Translator::char_offset(pat_str, at)));
  }
  code_ = code;
  // Without the JIT (a platform without it, or a pattern too large for it) the interpreter
  // gives the same matches, slower.
  jit_ = pcre2_jit_compile(code, PCRE2_JIT_COMPLETE) == 0;
}

RegexSplitter::~RegexSplitter() { pcre2_code_free(static_cast<pcre2_code*>(code_)); }

bool RegexSplitter::find(std::string_view text, std::size_t pos, std::size_t& b, std::size_t& e) const {
  MatchState& st = match_state();
  // A backtracking budget that grows with the text, so that a long legitimate match (a
  // repeated group over megabytes) fits while a runaway pattern still stops.
  pcre2_set_match_limit(st.context, static_cast<uint32_t>(std::min<std::size_t>(
                                        kMatchLimitBase + kMatchLimitPerByte * text.size(), UINT32_MAX)));
  const auto* code = static_cast<const pcre2_code*>(code_);
  const auto* subject = reinterpret_cast<PCRE2_SPTR>(text.data());
  const int rc = jit_ ? pcre2_jit_match(code, subject, text.size(), pos, 0, st.data, st.context)
                      : pcre2_match(code, subject, text.size(), pos, PCRE2_NO_UTF_CHECK, st.data, st.context);
  if (rc == PCRE2_ERROR_NOMATCH) return false;
  // 0 means the match fitted but its groups did not: only the whole match is wanted.
  if (rc < 0) {
    throw std::runtime_error("pattern matching gave up on this text (" + engine_message(rc) +
                             "): the pattern needs too much backtracking or stack on this text");
  }
  const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(st.data);
  b = ov[0];
  e = ov[1];
  // \K can put the reported start past the end; such a match is taken as empty at its end.
  if (b > e) b = e;
  return true;
}

}  // namespace corvane
