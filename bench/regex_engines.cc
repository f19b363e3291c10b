// PCRE2 (JIT) against Oniguruma on the cl100k and o200k patterns, translated as
// RegexSplitter translates them, over the shared corpora: MB/s of finding every match.
// Build and run from the repository root after a cmake build in build/regex:
//   g++ -O2 -std=c++20 -Isrc -Ibuild/regex/generated bench/regex_engines.cc src/pre_tokenizers/regex_splitter.cc src/core/unicode.cc -lpcre2-8 -lonig -o /tmp/regex_engines && /tmp/regex_engines ../shared/data/corpus
#define PCRE2_CODE_UNIT_WIDTH 8
#include <oniguruma.h>
#include <pcre2.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "pre_tokenizers/patterns.h"
#include "pre_tokenizers/regex_splitter.h"

namespace {

std::string read(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

std::size_t next_char(const std::string& t, std::size_t p) {
  const auto c = static_cast<unsigned char>(t[p]);
  return p + (c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4);
}

// fancy-regex's find_iter over a search function; returns the number of matches.
template <class Find>
std::size_t count_matches(const std::string& text, Find&& find) {
  std::size_t pos = 0, count = 0, b, e;
  while (pos < text.size() && find(pos, b, e)) {
    if (b == e) {
      if (e >= text.size()) break;
      pos = next_char(text, e);
    } else {
      ++count;
      pos = e;
    }
  }
  return count;
}

template <class Fn>
double best_seconds(Fn&& fn, std::size_t& result) {
  double best = 1e9;
  for (int rep = 0; rep < 5; ++rep) {
    const auto t0 = std::chrono::steady_clock::now();
    result = fn();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  return best;
}

std::size_t run_pcre2(const std::string& pattern, const std::string& text, bool jit) {
  int err;
  PCRE2_SIZE off;
  pcre2_compile_context* cc = pcre2_compile_context_create(nullptr);
  pcre2_set_newline(cc, PCRE2_NEWLINE_LF);
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                   PCRE2_UTF | PCRE2_UCP | PCRE2_DOLLAR_ENDONLY, &err, &off, cc);
  if (!code) {
    std::fprintf(stderr, "pcre2 compile error %d at %zu\n", err, off);
    std::exit(1);
  }
  if (jit) pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
  pcre2_match_data* md = pcre2_match_data_create(1, nullptr);
  const std::size_t n = count_matches(text, [&](std::size_t pos, std::size_t& b, std::size_t& e) {
    const int rc = jit ? pcre2_jit_match(code, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), pos, 0, md, nullptr)
                       : pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), pos,
                                     PCRE2_NO_UTF_CHECK, md, nullptr);
    if (rc < 0) return false;
    b = pcre2_get_ovector_pointer(md)[0];
    e = pcre2_get_ovector_pointer(md)[1];
    return true;
  });
  pcre2_match_data_free(md);
  pcre2_code_free(code);
  pcre2_compile_context_free(cc);
  return n;
}

std::size_t run_onig(const std::string& pattern, const std::string& text) {
  regex_t* re;
  OnigErrorInfo info;
  OnigEncoding enc = ONIG_ENCODING_UTF8;
  onig_initialize(&enc, 1);
  const auto* p = reinterpret_cast<const OnigUChar*>(pattern.data());
  const int r = onig_new(&re, p, p + pattern.size(), ONIG_OPTION_SINGLELINE | ONIG_OPTION_CAPTURE_GROUP,
                         ONIG_ENCODING_UTF8, ONIG_SYNTAX_PERL, &info);
  if (r != ONIG_NORMAL) {
    OnigUChar msg[ONIG_MAX_ERROR_MESSAGE_LEN];
    onig_error_code_to_str(msg, r, &info);
    std::fprintf(stderr, "onig compile error: %s\n", msg);
    std::exit(1);
  }
  OnigRegion* region = onig_region_new();
  const auto* s = reinterpret_cast<const OnigUChar*>(text.data());
  const auto* end = s + text.size();
  const std::size_t n = count_matches(text, [&](std::size_t pos, std::size_t& b, std::size_t& e) {
    const int at = onig_search(re, s, end, s + pos, end, region, ONIG_OPTION_NONE);
    if (at < 0) return false;
    b = static_cast<std::size_t>(region->beg[0]);
    e = static_cast<std::size_t>(region->end[0]);
    return true;
  });
  onig_region_free(region, 1);
  onig_free(re);
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : "../shared/data/corpus";
  const struct {
    const char* name;
    std::string_view pattern;
  } pats[] = {{"cl100k", corvane::patterns::kCl100k}, {"o200k", corvane::patterns::kO200k}};
  for (const char* corpus : {"prose", "code", "multilingual"}) {
    const std::string text = read(dir + "/" + corpus + ".txt");
    const double mb = text.size() / 1e6;
    for (const auto& p : pats) {
      const std::string translated = corvane::RegexSplitter::translate(p.pattern);
      const std::string native(p.pattern);
      std::size_t n1, n2, n3, n4;
      const double t_jit = best_seconds([&] { return run_pcre2(translated, text, true); }, n1);
      const double t_jit_native = best_seconds([&] { return run_pcre2(native, text, true); }, n2);
      const double t_interp = best_seconds([&] { return run_pcre2(translated, text, false); }, n3);
      const double t_onig = best_seconds([&] { return run_onig(translated, text); }, n4);
      std::printf("%-12s %-7s %6.2f MB  pcre2-jit %7.1f MB/s  pcre2-jit(own \\p tables) %7.1f  "
                  "pcre2-interp %6.1f  oniguruma %6.1f   matches %zu %zu %zu %zu\n",
                  corpus, p.name, mb, mb / t_jit, mb / t_jit_native, mb / t_interp, mb / t_onig, n1, n2, n3, n4);
      std::fflush(stdout);
    }
  }
}
