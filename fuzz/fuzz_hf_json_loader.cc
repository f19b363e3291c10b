// tokenizer.json loader from arbitrary bytes. A file either loads exactly as a plain
// loader over the JSON library's document tree reads it (every id decodes to the same
// token; encoding gives the same ids as the plain merge procedure) or fails with the same
// exception type and message.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "reference_loaders.h"
#include "reference_merge.h"
#include "tokenizer/bpe_tokenizer.h"

using fuzzsupport::check;
using fuzzsupport::show;

namespace {

void compare_encode(const corvane::BPETokenizer& t, const fuzzref::Model& ref, std::string_view text) {
  const std::vector<int32_t> ids = t.encode(text);
  const std::vector<int32_t> want = fuzzref::bpe_encode(ref, text);
  check(ids == want, "encode " + show(text) + " gave " + show(ids) + ", expected " + show(want));
  check(t.count(text) == ids.size(), "count != encode().size() for " + show(text));
  check(t.decode(ids) == fuzzref::bpe_decode(ref, ids), "decode of the ids of " + show(text));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static const fuzzsupport::ScratchFile file("tokenizer-json");
  file.write(data, size);
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  corvane::BPETokenizer t;
  const fuzzsupport::Outcome got =
      fuzzsupport::capture([&] { t = corvane::BPETokenizer::from_hf_json(file.path()); });
  fuzzref::Model ref;
  const fuzzsupport::Outcome want = fuzzsupport::capture([&] { ref = fuzzref::load_tokenizer_json(bytes); });
  check(got == want, "load: engine " + got.describe() + ", plain loader " + want.describe());
  if (got.threw) {
    check(!t.is_loaded(), "a failed load left a loaded tokenizer");
    return 0;
  }
  check(t.is_loaded(), "loaded tokenizer is not loaded");

  std::size_t n = 0;
  for (const auto& [id, token] : ref.id_to_token) {
    if (++n > 512) break;
    check(t.decode({id}) == token, "decode of id " + std::to_string(id));
  }
  for (int32_t id : fuzzsupport::kEdgeIds) {
    const auto it = ref.id_to_token.find(id);
    check(t.decode({id}) == (it == ref.id_to_token.end() ? std::string() : it->second),
          "decode of edge id " + std::to_string(id));
  }

  compare_encode(t, ref, "Hello world, it's 2024!\n\tfoo_bar  baz \xC3\xA9\xFF  ");
  n = 0;
  std::string joined;
  for (const auto& [token, id] : ref.vocab) {
    if (++n > 16) break;
    compare_encode(t, ref, token);
    joined += token;
  }
  compare_encode(t, ref, joined);
  // Texts the merge rules can act on.
  n = 0;
  for (const auto& [pair, rank] : ref.merges) {
    if (++n > 16) break;
    compare_encode(t, ref, pair.first + pair.second);
    compare_encode(t, ref, pair.first + pair.second + pair.first + pair.second + pair.first);
  }
  return 0;
}
