// The public patterns' scanners against the regex engine on the same patterns, over the
// shared corpora: MB/s (per second of the thread's CPU time) of cutting each corpus into pre-tokens
// (PreTokenizer::split with a counting callback, best of several runs), and whether both cut it the same.
// Build and run from the repository root after a cmake build in build/scan:
//   g++ -O2 -std=c++20 -Isrc -Ibuild/scan/generated bench/scanner_throughput.cc build/scan/libcorvane_engine.a -lpcre2-8 -o /tmp/scanner_throughput && /tmp/scanner_throughput ../shared/data/corpus
#include <algorithm>
#include <ctime>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "pre_tokenizers/patterns.h"
#include "pre_tokenizers/pre_tokenizer.h"

namespace {

std::string read(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// CPU time of this thread: on a shared machine, wall time mostly measures the neighbours.
double cpu_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Best MB/s of splitting `text` over `runs` runs; `pieces` gets the number of pieces and
// `hash` a digest of their lengths.
double mb_per_s(const corvane::PreTokenizer& p, const std::string& text, int runs,
                std::size_t& pieces, std::size_t& hash) {
  double best = 1e30;
  for (int r = 0; r < runs; ++r) {
    std::size_t count = 0, h = 0;
    const double t0 = cpu_seconds();
    p.split(text, [&](std::string_view piece) {
      ++count;
      h = h * 31 + piece.size();
    });
    const double s = cpu_seconds() - t0;
    best = std::min(best, s);
    pieces = count;
    hash = h;
  }
  return text.size() / 1e6 / best;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : "../shared/data/corpus";
  const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
  struct Pattern {
    const char* name;
    std::string_view pat;
  } patterns[] = {{"r50k", corvane::patterns::kR50k},
                  {"cl100k", corvane::patterns::kCl100k},
                  {"o200k", corvane::patterns::kO200k}};
  std::printf("%-7s %-13s %10s %12s %12s %7s %s\n", "pattern", "corpus", "pieces", "scanner MB/s",
              "regex MB/s", "ratio", "same");
  for (const char* corpus : {"prose", "code", "multilingual"}) {
    const std::string text = read(dir + "/" + corpus + ".txt");
    if (text.empty()) {
      std::fprintf(stderr, "cannot read %s/%s.txt\n", dir.c_str(), corpus);
      return 1;
    }
    for (const Pattern& p : patterns) {
      const auto scanner = corvane::PreTokenizer::from_pattern(p.pat);
      const auto regex = corvane::PreTokenizer::regex_only(p.pat);
      std::size_t n1, h1, n2, h2;
      const double a = mb_per_s(scanner, text, runs, n1, h1);
      const double b = mb_per_s(regex, text, runs, n2, h2);
      std::printf("%-7s %-13s %10zu %12.1f %12.1f %6.1fx %s\n", p.name, corpus, n1, a, b, a / b,
                  n1 == n2 && h1 == h2 ? "yes" : "NO");
    }
  }
}
