// The tokenizer.json pipeline from arbitrary bytes: the input is a document, optionally
// followed by a NUL byte and a text. A document either loads or fails with a clear
// exception (std::invalid_argument, std::runtime_error or std::length_error, never
// anything else and never a crash); a loaded pipeline encodes, counts and decodes a few
// texts without crashing, its records are consistent, and count agrees with the length
// of encode without truncation or padding.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "core/utf8.h"
#include "formats/pipeline_json.h"
#include "fuzz_support.h"

namespace {

template <class Fn>
bool clear_failure(Fn&& fn) {
  try {
    fn();
    return true;
  } catch (const std::invalid_argument&) {
  } catch (const std::length_error&) {
  } catch (const std::runtime_error&) {
  }
  return false;
}

void exercise(const corvane::Pipeline& p, std::string_view text, std::string_view pair) {
  corvane::Pipeline::Scratch scratch = p.new_scratch();
  const corvane::Pipeline::Settings plain;
  for (bool special : {true, false}) {
    clear_failure([&] {
      const corvane::EncodingRecord r = p.encode(text, std::nullopt, special, plain, scratch);
      FUZZ_CHECK(r.consistent(), "inconsistent record");
      const std::size_t n = p.count(text, special, scratch);
      FUZZ_CHECK(n == r.size(), "count " + std::to_string(n) + " != encode " + std::to_string(r.size()) + " on " +
                                    fuzzsupport::show(text));
      const std::string decoded = p.decode(r.ids.data(), r.ids.size(), !special);
      (void)decoded;
    });
    clear_failure([&] {
      const corvane::EncodingRecord r = p.encode(text, pair, special, p.defaults(), scratch);
      FUZZ_CHECK(r.consistent(), "inconsistent pair record");
      for (const corvane::EncodingRecord& o : r.overflowing) FUZZ_CHECK(o.consistent(), "inconsistent overflow");
    });
  }
  // Ids the vocabulary may not have decode without harm.
  const uint32_t odd[] = {0, 1, 2, 3, 100, 255, 256, 1000, 50000, 0xFFFFFFFFu};
  clear_failure([&] { (void)p.decode(odd, std::size(odd), false); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t nul = input.find('\0');
  const std::string_view doc = input.substr(0, nul);
  std::string text = "Hello, world! Don't stop 123 caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac <s> [CLS]";
  if (nul != std::string_view::npos) text = corvane::Utf8::repair(input.substr(nul + 1));
  const bool loaded = clear_failure([&] {
    const corvane::Pipeline p = corvane::pipeline_from_json_text(doc);
    exercise(p, text, "a pair\tof words");
  });
  (void)loaded;
  return 0;
}
