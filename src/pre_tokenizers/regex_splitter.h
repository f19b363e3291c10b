#pragma once

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// A tiktoken pattern (`pat_str`, Rust regex syntax as fancy-regex reads it) compiled once for
// PCRE2 with its JIT, and the matches of it in a text, found the way tiktoken finds them.
//
// Matching: leftmost-first backtracking with lookaround, possessive quantifiers, atomic
// groups and inline flags; `$` is the end of the text (not before a final newline) and `.`
// excludes only \n, as in Rust. Matches are reported like fancy-regex's find_iter: after a
// non-empty match the search goes on at its end; after an empty match at p it goes on one
// character past p, so an empty match never hides a longer one found from a later start.
// Empty matches themselves are not reported (they make no pre-token).
//
// Rust syntax is translated where PCRE2 reads it differently or knows older Unicode data:
//   * \p{..} / \P{..} / \pX / \PX with a general category, by short or long name in any
//     case, with or without `gc=` / `General_Category=` (also `!=`), and Any / ASCII /
//     Assigned, become explicit code-point ranges from our Unicode 16 tables (inside a
//     bracket class as ranges, outside as a class of their own).
//   * \s / \S (White_Space) and \d / \D (Nd) likewise.
//   * POSIX classes [[:alpha:]] etc. are ASCII-only in Rust: explicit ASCII ranges.
//   * \v is the vertical tab in Rust (PCRE2: any vertical white space): \x{0B}.
//   * \u007F, \u{7F}, \U0000007F, \U{7F}: \x{7F}.
// Not translated, so PCRE2 10.x decides with its own (older) Unicode tables: \w / \W / \b /
// \B (Rust: Alphabetic, M, Nd, Pc, Join_Control), scripts and binary properties such as
// \p{Greek} or \p{Alphabetic}, and case folding under (?i). Rust's nested classes and class
// set operations (&&, --, ~~) are rejected rather than read as PCRE2 would read them. Some
// syntax Rust rejects (\Q..\E, \h, \R, \X, recursion) is accepted. In (?x) mode comments
// and blanks are not skipped by the translation, so an escape written inside a # comment is
// still translated (harmlessly).
//
// Immutable after construction; split may run on one object from several threads at once
// (match data and the JIT stack are per thread).
class RegexSplitter {
 public:
  // Throws std::invalid_argument("invalid pattern: <message> at offset N") when the pattern
  // does not compile; N counts characters of `pat_str` from 0.
  explicit RegexSplitter(std::string_view pat_str);
  ~RegexSplitter();
  RegexSplitter(const RegexSplitter&) = delete;
  RegexSplitter& operator=(const RegexSplitter&) = delete;

  // Calls on_match(begin, end) with byte offsets of each non-empty match in `valid_utf8`
  // (which must be well-formed UTF-8), in order. Throws std::runtime_error when the engine
  // gives up on the text: the backtracking budget (10 million steps plus 16 per byte of
  // text, for each match) or the JIT stack (64 MB per thread) runs out. The budget stops
  // exponential patterns such as (a+)+$; a pattern that is merely quadratic on a text
  // (each start position scanning far ahead, as (a|b)*c on a long text without c) runs to
  // completion in quadratic time: the budget holds per start position. (tiktoken runs
  // patterns without lookaround on the regex crate's automata, in linear time.)
  template <class OnMatch>
  void split(std::string_view valid_utf8, OnMatch&& on_match) const {
    std::size_t pos = 0;
    const std::size_t n = valid_utf8.size();
    std::size_t b = 0, e = 0;
    while (pos < n && find(valid_utf8, pos, b, e)) {
      if (b == e) {
        if (e >= n) break;
        pos = next_char(valid_utf8, e);
      } else {
        on_match(b, e);
        pos = e;
      }
    }
  }

  // The pattern as handed to PCRE2 (for tests and diagnostics).
  const std::string& translated() const { return translated_; }

  // The translation alone; offsets[i] is the position in `pat_str` that byte i of the
  // result comes from (for error messages). Throws std::invalid_argument on syntax that is
  // rejected rather than translated.
  static std::string translate(std::string_view pat_str, std::vector<std::size_t>* offsets = nullptr);

 private:
  // The next match at or after `pos`: true and [b, e), or false when there is none.
  bool find(std::string_view text, std::size_t pos, std::size_t& b, std::size_t& e) const;
  static std::size_t next_char(std::string_view text, std::size_t pos) {
    const auto c = static_cast<unsigned char>(text[pos]);
    const std::size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    return pos + len;
  }

  std::string translated_;
  void* code_ = nullptr;  // pcre2_code_8*
  bool jit_ = false;
};

}  // namespace corvane
