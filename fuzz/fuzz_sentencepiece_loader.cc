// SentencePiece .model files and compiled normalization maps from arbitrary bytes: each is
// refused with std::invalid_argument or loads, and a loaded one encodes and decodes a few
// texts (and its own pieces) without a fault.
//
// The first input byte picks what the rest is: a whole .model file (even), or a
// precompiled_charsmap for the tokenizer.json Precompiled normalizer (odd).

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "formats/sentencepiece_model.h"
#include "fuzz_support.h"
#include "normalizers/precompiled.h"
#include "pipeline/pipeline.h"

namespace {

const char* const kTexts[] = {
    "Hello world, this is a test.", "  leading  and  trailing  ", "\xEF\xAC\x81 \xE2\x91\xA0 \xEF\xBD\xB6",
    "e\xCC\x81 \xE2\x96\x81\xE2\x96\x81 <unk> <s>", "\xF0\x9F\x98\x80\xF0\x9F\x98\x80 \xC3\xA9\t\n", "",
    "a b  c\x7f",
};

void exercise(const corvane::Pipeline& p) {
  corvane::Pipeline::Scratch scratch = p.new_scratch();
  const corvane::Pipeline::Settings settings;
  std::vector<uint32_t> all;
  for (const char* t : kTexts) {
    const corvane::EncodingRecord r = p.encode(t, std::nullopt, false, settings, scratch);
    FUZZ_CHECK(p.count(t, false, scratch) == r.ids.size(), "count differs from encode");
    for (uint32_t id : r.ids) {
      FUZZ_CHECK(p.id_to_token(id).has_value(), "an encoded id has no token");
      all.push_back(id);
    }
    p.decode(r.ids.data(), r.ids.size(), false);
  }
  // Every piece of the model, decoded one by one and all together, ids past the end too.
  const std::size_t n = p.model().vocab_size();
  for (uint32_t id = 0; id < n && id < 2048; ++id) {
    all.push_back(id);
    p.decode(&id, 1, false);
  }
  all.push_back(static_cast<uint32_t>(n));
  all.push_back(UINT32_MAX);
  p.decode(all.data(), all.size(), false);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool charsmap = data[0] & 1;
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  if (charsmap) {
    try {
      const corvane::Precompiled normalizer(bytes);
      for (const char* t : kTexts) {
        corvane::NormalizedText text(t);
        normalizer.normalize(text);
      }
      std::string all;
      for (int c = 1; c < 0x800; ++c) corvane::NormalizedText::append_utf8(all, static_cast<char32_t>(c));
      corvane::NormalizedText text(all);
      normalizer.normalize(text);
    } catch (const std::invalid_argument& e) {
      FUZZ_CHECK(std::string_view(e.what()).substr(0, 30) == "invalid precompiled_charsmap: ",
                 std::string("unexpected message: ") + e.what());
    }
    return 0;
  }
  try {
    const corvane::Pipeline p(corvane::sentencepiece_components(bytes));
    exercise(p);
  } catch (const std::invalid_argument& e) {
    const std::string_view m(e.what());
    FUZZ_CHECK(m.substr(0, 29) == "invalid SentencePiece model: " || m.substr(0, 35) == "unsupported SentencePiece model typ",
               std::string("unexpected message: ") + e.what());
  }
  return 0;
}
