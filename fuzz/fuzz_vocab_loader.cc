// vocab.txt loader from arbitrary bytes. A file either loads exactly as the plain loader
// reads it (every id decodes as it should; encoding gives the same ids as the plain
// greedy procedure) or fails with the same exception type and message.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "reference_loaders.h"
#include "reference_wordpiece.h"
#include "models/wordpiece/wordpiece_tokenizer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static const fuzzsupport::ScratchFile file("vocab");
  file.write(data, size);
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  std::unique_ptr<corvane::WordPieceTokenizer> t;
  const fuzzsupport::Outcome got =
      fuzzsupport::capture([&] { t = std::make_unique<corvane::WordPieceTokenizer>(file.path()); });
  fuzzref::WordPieceModel ref;
  const fuzzsupport::Outcome want =
      fuzzsupport::capture([&] { ref = fuzzref::load_vocab_txt(bytes, file.path()); });
  FUZZ_CHECK(got == want, "load: engine " + got.describe() + ", plain loader " + want.describe());
  if (got.threw) return 0;

  const auto compare = [&](std::string_view text, bool also_count_and_decode = false) {
    fuzzsupport::compare_encode(
        *t, text, also_count_and_decode, [&](std::string_view s) { return fuzzref::wordpiece_encode(ref, s); },
        [&](const std::vector<int32_t>& ids) { return fuzzref::wordpiece_decode(ref, ids); });
  };

  std::size_t n = 0;
  for (const auto& [id, token] : ref.id_to_token) {
    if (++n > fuzzsupport::kDecodeChecks) break;
    FUZZ_CHECK(t->decode({id}) == fuzzref::wordpiece_decode(ref, {id}), "decode of id " + std::to_string(id));
  }
  std::vector<int32_t> edge(std::begin(fuzzsupport::kEdgeIds), std::end(fuzzsupport::kEdgeIds));
  FUZZ_CHECK(t->decode(edge) == fuzzref::wordpiece_decode(ref, edge), "decode of the edge ids");

  compare(std::string_view("unaffable  un\taff ##able [UNK] \xC2\xA0x\xFF\x00y", 37), true);
  n = 0;
  std::string text;
  for (const auto& [token, id] : ref.vocab) {
    if (++n > fuzzsupport::kEncodeChecks) break;
    compare(token);
    text += token;
    // Continuation pieces glued to a word, and the token as a word of its own.
    text += (token.size() > 2 && token[0] == '#' && token[1] == '#') ? "" : " ";
  }
  compare(text, true);
  return 0;
}
