#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace corvane {

// A regular expression compiled by Oniguruma, the engine HuggingFace `tokenizers` uses for
// the patterns of tokenizer.json files (Oniguruma's default syntax, UTF-8, no options).
// Immutable after construction; searches from several threads at once are safe.
class OnigRegex {
 public:
  // Throws std::invalid_argument "Oniguruma error: <reason>" when the pattern does not
  // compile (or is not valid UTF-8).
  explicit OnigRegex(std::string_view pattern);
  ~OnigRegex();
  OnigRegex(const OnigRegex&) = delete;
  OnigRegex& operator=(const OnigRegex&) = delete;

  const std::string& pattern() const { return pattern_; }

  // The successive non-overlapping matches in valid UTF-8 `text`, as byte ranges: each
  // search starts where the last match ended; after an empty match the search moves on by
  // one character, and an empty match right at the end of a non-empty match is dropped.
  // Throws std::runtime_error "Oniguruma error: <reason>" when the engine gives up (its
  // backtracking limit).
  std::vector<std::pair<std::size_t, std::size_t>> find_all(std::string_view text) const;

  // Calls fn(start, end) for each of those matches, in order, without collecting them.
  template <class Fn>
  void for_each_match(std::string_view text, Fn&& fn) const {
    using F = std::remove_reference_t<Fn>;
    visit(text, [](void* ctx, std::size_t s, std::size_t e) { (*static_cast<F*>(ctx))(s, e); },
          const_cast<void*>(static_cast<const void*>(&fn)));
  }

 private:
  void visit(std::string_view text, void (*on_match)(void*, std::size_t, std::size_t), void* ctx) const;

  std::string pattern_;
  void* regex_ = nullptr;  // regex_t*
};

}  // namespace corvane
