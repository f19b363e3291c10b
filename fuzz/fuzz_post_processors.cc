// Fuzz target: the post-processor JSON loader and what the loaded processors do.
//
// Input: one byte of options, then the JSON text of a post-processor. It must load or fail
// with std::invalid_argument; a loaded processor then processes a record (and a pair) built
// from the option byte. Invariants: the result is a consistent record; a processor that is
// not a Sequence adds exactly num_special_tokens_to_add tokens with special tokens on and
// none without, keeps the ids of the inputs in order, and marks what it adds as special;
// any failure is std::invalid_argument.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "formats/post_processor_json.h"
#include "fuzz_support.h"

namespace {

using corvane::EncodingRecord;

EncodingRecord make_record(std::size_t n, uint32_t first_id, uint8_t shape) {
  static const char* kTokens[] = {"\xC4\xA0" "a", "b", " ", "\xC4\xA0\xC4\xA0", "c\xC4\xA0", "\xE3\x80\x80", "", "\xFF"};
  EncodingRecord r;
  for (std::size_t i = 0; i < n; ++i) {
    r.ids.push_back(first_id + static_cast<uint32_t>(i));
    r.type_ids.push_back(static_cast<uint32_t>((shape >> 1) & 1));
    r.tokens.push_back(kTokens[(i + shape) % 8]);
    r.words.push_back(i % 3 == 2 ? std::nullopt : std::optional<uint32_t>(static_cast<uint32_t>(i)));
    const std::size_t start = (shape & 4) ? (i * 7) % 5 : i * 2;
    r.offsets.push_back(corvane::Offsets{start, start + (i % 4)});
    r.special_tokens_mask.push_back(0);
    r.attention_mask.push_back(1);
  }
  if (shape & 8) r.overflowing.push_back(make_record(n / 2, first_id + 500, shape & 7));
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const uint8_t opt = data[0];
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  std::unique_ptr<const corvane::PostProcessor> p;
  try {
    p = corvane::post_processor_from_json(text);
  } catch (const std::invalid_argument&) {
    return 0;
  }
  const bool is_sequence = text.find("\"Sequence\"") != std::string_view::npos &&
                           text.find("\"processors\"") != std::string_view::npos;
  for (int pair = 0; pair < 2; ++pair) {
    for (int special = 0; special < 2; ++special) {
      const EncodingRecord a = make_record(opt % 7, 1000, opt);
      const std::optional<EncodingRecord> b =
          pair ? std::optional<EncodingRecord>(make_record((opt >> 3) % 5, 2000, opt >> 2)) : std::nullopt;
      EncodingRecord out;
      try {
        out = p->process(a, b, special != 0);
      } catch (const std::invalid_argument&) {
        FUZZ_CHECK(is_sequence, "only a Sequence may refuse what it is given");
        continue;
      }
      FUZZ_CHECK(out.consistent(), "inconsistent record from " + fuzzsupport::show(text));
      if (is_sequence) continue;
      const std::size_t inputs = a.size() + (b ? b->size() : 0);
      const std::size_t added = special ? p->added_tokens(pair != 0) : 0;
      FUZZ_CHECK(out.size() == inputs + added, "processed size " + std::to_string(out.size()) + " for " +
                                                   std::to_string(inputs) + " + " + std::to_string(added) +
                                                   " tokens from " + fuzzsupport::show(text));
      // The inputs' ids appear in order among the tokens not marked special (a template
      // may repeat or drop a sequence, so only check processors that use each once).
      std::vector<uint32_t> kept;
      for (std::size_t i = 0; i < out.size(); ++i) {
        if (out.special_tokens_mask[i] == 0) kept.push_back(out.ids[i]);
      }
      std::vector<uint32_t> want = a.ids;
      if (b) want.insert(want.end(), b->ids.begin(), b->ids.end());
      if (text.find("TemplateProcessing") == std::string_view::npos) {
        FUZZ_CHECK(kept == want, "sequence ids lost or reordered by " + fuzzsupport::show(text));
      }
    }
  }
  return 0;
}
