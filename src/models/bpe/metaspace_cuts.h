#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/cancellation.h"
#include "models/model.h"

namespace corvane {

// Where a long piece of SentencePiece-style text ("▁" for each space) may be cut into words
// without changing what a BPE model makes of it.
//
// A BPE merge joins two symbols whose texts meet inside the merged piece's own text. So
// before a "▁" preceded by a character c, when no piece the model can merge into has c
// just before a "▁", no merge ever crosses that place: the tokens of the whole piece are
// the tokens of its words, which recur and can be cached. The model tells which pieces it
// can make (note), then asks for the words of a piece.
class MetaspaceCuts {
 public:
  static constexpr std::string_view kMetaspace = "\xE2\x96\x81";  // "▁"

  // Records the characters `piece` has just before a "▁" after its start.
  void note(std::string_view piece);
  // Sorts what was noted; call once, before words().
  void finish();
  // Whether pieces only join "▁" onto "▁" (runs of spaces), as in files trained on words:
  // then every word is cut apart. Files whose pieces span words leave few places to cut,
  // and the parts there (phrases) rarely recur, so caching them costs more than it saves.
  bool words_only() const;

  // Calls fn(begin, end) for each word of `text` (valid UTF-8), in order: each starts at
  // the start of the text or at a "▁" where a cut is safe.
  template <class Fn>
  void for_each_word(std::string_view text, Fn&& fn) const {
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t next = text.find(kMetaspace, start + 1);
      while (next != std::string_view::npos && joined(char_before(text, next))) {
        next = text.find(kMetaspace, next + 1);
      }
      if (next == std::string_view::npos) next = text.size();
      fn(start, next);
      start = next;
    }
  }

  // Appends the tokens of `text` word by word: tokenize_word(word, out) appends a word's
  // tokens with offsets in the word, which are moved to offsets in `text` here.
  template <class Fn>
  void tokenize_words(std::string_view text, std::vector<PieceToken>& out, Fn&& tokenize_word) const {
    Cancellation::Poller poll;
    for_each_word(text, [&](std::size_t begin, std::size_t end) {
      const std::size_t first = out.size();
      tokenize_word(text.substr(begin, end - begin), out);
      for (std::size_t k = first; k < out.size(); ++k) {
        out[k].begin += static_cast<uint32_t>(begin);
        out[k].end += static_cast<uint32_t>(begin);
      }
      poll.tick(end - begin);
    });
  }

 private:
  // The character that ends just before byte `at` (> 0) of valid UTF-8 text.
  static char32_t char_before(std::string_view text, std::size_t at);
  bool joined(char32_t c) const;

  std::vector<char32_t> before_metaspace_;  // sorted after finish()
};

}  // namespace corvane
