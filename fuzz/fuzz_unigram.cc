// The Unigram model of tokenizer.json files on small vocabularies built from the input
// (repeated pieces, tied scores, pieces equal to the unknown token, some byte pieces),
// against the plain reference segmentation: the same tokens and offsets, the same
// failures.
//
// Input: a header byte (unk id or none, byte fallback), then a vocabulary of up to 24
// pieces, each a length byte, piece bytes (from a small alphabet of multi-byte characters)
// and a score byte (a multiple of 0.5, so that segmentations tie), then the text.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "models/unigram/unigram_model.h"
#include "reference_unigram.h"

using fuzzsupport::show;

namespace {

// Characters of 1 to 4 bytes, and the unknown token's text.
const char* const kAlphabet[] = {"a", "b", "c", " ", "\xC3\xA9", "\xE2\x96\x81", "\xF0\x9F\x98\x80", "<unk>",
                                 "<0x61>", "<0xC3>", "<0xA9>", "\x00"};
constexpr std::size_t kLetters = sizeof kAlphabet / sizeof kAlphabet[0];

std::string word(const uint8_t*& p, const uint8_t* end, std::size_t count) {
  std::string s;
  for (std::size_t i = 0; i < count && p < end; ++i, ++p) {
    const std::size_t k = *p % kLetters;
    s += k == kLetters - 1 ? std::string(1, '\0') : std::string(kAlphabet[k]);
  }
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const uint8_t* p = data;
  const uint8_t* end = data + size;
  const uint8_t header = *p++;
  fuzzref::UnigramVocab v;
  v.byte_fallback = header & 1;
  const std::size_t count = std::min<std::size_t>(*p++ % 25, 24);
  for (std::size_t i = 0; i < count && p < end; ++i) {
    const std::size_t len = 1 + *p++ % 3;
    std::string piece = word(p, end, len);
    const double score = p < end ? -static_cast<double>(*p++ % 16) / 2.0 : -1.0;
    v.pieces.emplace_back(std::move(piece), score);
  }
  if ((header >> 1) & 1 && !v.pieces.empty()) v.unk_id = (header >> 2) % v.pieces.size();
  const std::string text = word(p, end, 64);

  std::optional<corvane::UnigramModel> model;
  try {
    model.emplace(v.pieces, v.unk_id, v.byte_fallback);
  } catch (const std::invalid_argument&) {
    FUZZ_CHECK(v.unk_id.has_value(), "a model without unk_id was refused");
    return 0;
  }
  std::vector<fuzzref::UnigramToken> want;
  bool want_error = false;
  try {
    want = fuzzref::unigram_encode(v, text);
  } catch (const std::runtime_error&) {
    want_error = true;
  }
  for (int cached = 0; cached < 2; ++cached) {
    const auto scratch = model->new_scratch();
    std::vector<corvane::PieceToken> got;
    bool error = false;
    try {
      if (!text.empty()) model->tokenize(text, cached ? scratch.get() : nullptr, got);
      if (cached && !text.empty()) {
        got.clear();
        model->tokenize(text, scratch.get(), got);  // from the cache this time
      }
    } catch (const std::runtime_error&) {
      error = true;
    }
    FUZZ_CHECK(error == want_error, "failure differs on " + show(text));
    if (error) continue;
    bool same = got.size() == want.size();
    for (std::size_t i = 0; same && i < got.size(); ++i) {
      same = got[i].id == want[i].id && got[i].begin == want[i].begin && got[i].end == want[i].end;
    }
    FUZZ_CHECK(same, "tokens differ on " + show(text) + " (" + std::to_string(got.size()) + " vs " +
                         std::to_string(want.size()) + " tokens)");
  }
  return 0;
}
