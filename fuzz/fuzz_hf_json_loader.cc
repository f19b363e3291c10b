// tokenizer.json loader from arbitrary bytes. A file either loads exactly as a plain
// loader over the JSON library's document tree reads it (every id decodes to the same
// token; encoding gives the same ids as the plain merge procedure) or fails with the same
// exception type and message.

#include <cstddef>
#include <cstdint>

#include "bpe_loader_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static const fuzzsupport::ScratchFile file("tokenizer-json");
  return fuzzsupport::check_bpe_loader(
      file, data, size, [](const std::string& path) { return corvane::BPETokenizer::from_hf_json(path); },
      [](std::string_view bytes) { return fuzzref::load_tokenizer_json(bytes); });
}
