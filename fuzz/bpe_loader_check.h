#pragma once

// The check shared by the two BPE loader targets. The input is written to a scratch file
// and loaded by the engine; the same bytes go to a plain loader. Either both fail with the
// same exception type and message (and the engine leaves no loaded tokenizer behind), or
// the engine's tables are the plain loader's: every id decodes to the same token, and
// encoding texts made of the vocabulary (and of the merge rules, when the file has them)
// gives the ids of the plain merge procedure.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "reference_loaders.h"
#include "reference_merge.h"
#include "models/bpe/bpe_tokenizer.h"

namespace fuzzsupport {

// engine_load(path) -> corvane::BPETokenizer; plain_load(bytes) -> fuzzref::Model.
template <class EngineLoad, class PlainLoad>
int check_bpe_loader(const ScratchFile& file, const uint8_t* data, std::size_t size,
                     EngineLoad engine_load, PlainLoad plain_load) {
  file.write(data, size);
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  corvane::BPETokenizer t;
  const Outcome got = capture([&] { t = engine_load(file.path()); });
  fuzzref::Model ref;
  const Outcome want = capture([&] { ref = plain_load(bytes); });
  FUZZ_CHECK(got == want, "load: engine " + got.describe() + ", plain loader " + want.describe());
  if (got.threw) {
    FUZZ_CHECK(!t.is_loaded(), "a failed load left a loaded tokenizer");
    return 0;
  }
  FUZZ_CHECK(t.is_loaded(), "loaded tokenizer is not loaded");

  const auto compare = [&](std::string_view text, bool also_count_and_decode = false) {
    compare_encode(
        t, text, also_count_and_decode, [&](std::string_view s) { return fuzzref::bpe_encode(ref, s); },
        [&](const std::vector<int32_t>& ids) { return fuzzref::bpe_decode(ref, ids); });
  };

  // The id -> token side, for every id the file names (and neighbours without a token).
  std::size_t n = 0;
  for (const auto& [id, token] : ref.id_to_token) {
    if (++n > kDecodeChecks) break;
    FUZZ_CHECK(t.decode({id}) == token, "decode of id " + std::to_string(id));
  }
  for (int32_t id : kEdgeIds) {
    const auto it = ref.id_to_token.find(id);
    FUZZ_CHECK(t.decode({id}) == (it == ref.id_to_token.end() ? std::string() : it->second),
          "decode of edge id " + std::to_string(id));
  }

  // The token -> id side and the merge rule, through encode.
  compare("Hello world, it's 2024!\n\tfoo_bar  baz \xC3\xA9\xFF  ", true);
  n = 0;
  std::string joined;
  for (const auto& [token, id] : ref.vocab) {
    if (++n > kEncodeChecks) break;
    compare(token);
    joined += token;
  }
  compare(joined, true);
  // Texts the merge rules can act on (a rank file has none).
  n = 0;
  for (const auto& [pair, rank] : ref.merges) {
    if (++n > kEncodeChecks) break;
    compare(pair.first + pair.second);
    compare(pair.first + pair.second + pair.first + pair.second + pair.first);
  }
  return 0;
}

}  // namespace fuzzsupport
