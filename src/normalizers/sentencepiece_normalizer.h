#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "models/unigram/piece_trie.h"
#include "normalizers/normalizer.h"
#include "normalizers/precompiled_charsmap.h"

namespace corvane {

// The normalizer of a SentencePiece model, as SentencePiece normalizes a sentence: from
// each position, a user-defined piece (the longest) is kept as it is; else the longest rule
// of the compiled map replaces what it matches; else the character stays. Spaces are then
// handled: with remove_extra_whitespaces, leading spaces go, runs of spaces become one and
// trailing ones go; with add_dummy_prefix, a space is put in front (or behind, for a model
// that treats whitespace as a suffix) of a text that is not empty; with
// escape_whitespaces, every space is written U+2581.
//
// Each normalized byte keeps the span of the input it stands for, as sentencepiece maps a
// piece back to its input: from where the byte's source starts to where the next byte's
// starts (so the bytes of one character but its last have empty spans, and input that is
// dropped goes with the byte before it; the dummy space is empty where it is put).
class SentencePieceNormalizer final : public Normalizer {
 public:
  struct Options {
    bool add_dummy_prefix = true;
    bool remove_extra_whitespaces = true;
    bool escape_whitespaces = true;
    bool treat_whitespace_as_suffix = false;
  };

  // `charsmap` may be null (no rules); `user_defined` are the pieces kept as they are.
  SentencePieceNormalizer(std::shared_ptr<const PrecompiledCharsmap> charsmap, Options options,
                          const std::vector<std::string>& user_defined);

  void normalize(NormalizedText& text) const override;

  // The normalized text of `input` alone (well-formed UTF-8).
  std::string normalize_string(std::string_view input) const;

 private:
  // The normalized form of the prefix of `input` that comes first, and its length.
  std::pair<std::string_view, std::size_t> normalize_prefix(std::string_view input) const;
  using Source = NormalizedText::Span;
  // Returns whether every source starts and ends on a character boundary of `input` (a
  // malformed model's rule may match part of a character).
  bool run(std::string_view input, std::string& out, std::vector<Source>& source) const;

  std::shared_ptr<const PrecompiledCharsmap> charsmap_;
  Options options_;
  std::vector<std::string> user_defined_;
  PieceTrie matcher_;
  bool has_user_defined_;
  // For each ASCII byte that no user-defined piece and no longer rule starts with: what it
  // normalizes to on its own (most text is made of these).
  std::array<bool, 128> ascii_simple_{};
  std::array<std::string_view, 128> ascii_normalized_{};
  std::array<bool, 128> identity_{};  // simple, and normalized to itself
};

}  // namespace corvane
