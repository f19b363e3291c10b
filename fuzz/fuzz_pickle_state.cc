// Restoring a tokenizer from a saved state (what unpickling does) from arbitrary bytes.
//
// The first input byte picks the class; the rest is the state without its trailing
// checksum, which the target appends itself so that the body parser is reached instead of
// the checksum refusing nearly every input. A state is either refused with
// std::invalid_argument or gives a working tokenizer, whose own saved state restores to a
// tokenizer that behaves the same.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "models/bpe/bpe_tokenizer.h"
#include "formats/state_writer.h"
#include "models/wordpiece/wordpiece_tokenizer.h"


namespace {

std::string with_checksum(std::string_view body) {
  std::string state(body);
  const uint64_t sum = corvane::StateWriter::checksum(body);
  for (int i = 0; i < 8; ++i) state.push_back(static_cast<char>((sum >> (8 * i)) & 0xFF));
  return state;
}

constexpr char kProbeText[] = "Hello, world! snake_case 123 \xC3\xA9\xFF  \n\tab";
const std::string kProbe(kProbeText, sizeof kProbeText - 1);

template <class T>
void exercise(std::string_view body) {
  const T restored = T::deserialize(with_checksum(body));
  const std::vector<int32_t> ids = restored.encode(kProbe);
  FUZZ_CHECK(restored.count(kProbe) == ids.size(), "count differs from the number of ids");
  const std::string text = restored.decode(ids);
  const std::vector<int32_t> probe_ids = {0, 1, 2, 100, -1, 2147483647, -2147483647 - 1};
  const std::string probe_text = restored.decode(probe_ids);

  // Saving again and restoring gives the same behaviour.
  const T again = T::deserialize(restored.serialize());
  FUZZ_CHECK(again.encode(kProbe) == ids, "restored twice: encode differs");
  FUZZ_CHECK(again.decode(ids) == text, "restored twice: decode differs");
  FUZZ_CHECK(again.decode(probe_ids) == probe_text, "restored twice: decode of probe ids differs");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view body(reinterpret_cast<const char*>(data) + 1, size - 1);
  try {
    if (data[0] & 1) {
      exercise<corvane::WordPieceTokenizer>(body);
    } else {
      exercise<corvane::BPETokenizer>(body);
    }
  } catch (const std::invalid_argument&) {
    // A refused state: the expected outcome for most inputs.
  } catch (const std::length_error&) {
    // A state that asks for more than a string can hold.
  } catch (const std::bad_alloc&) {
  }
  return 0;
}
