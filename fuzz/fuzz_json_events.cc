// The fast JSON reader of tokenizer.json documents against nlohmann's parser: whatever text
// the fast reader reads to the end, nlohmann's parser reads too, and with the same events
// in the same order (keys, strings and number texts byte for byte, floats bit for bit).
// What the fast reader leaves (it returns false) is not checked here: the loader then
// parses the text with nlohmann alone.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "formats/json_events.h"
#include "fuzz_support.h"

namespace {

using json = nlohmann::json;

// Writes every event into one string.
class Recorder {
 public:
  std::string log;

  bool null() { return put("n"); }
  bool boolean(bool v) { return put(v ? "t" : "f"); }
  bool number_integer(json::number_integer_t v) { return put("i" + std::to_string(v)); }
  bool number_unsigned(json::number_unsigned_t v) { return put("u" + std::to_string(v)); }
  bool number_float(json::number_float_t v, const json::string_t& s) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return put("d" + std::to_string(bits) + ":" + s);
  }
  bool string(json::string_t& v) { return put("s" + std::to_string(v.size()) + ":" + v); }
  bool binary(json::binary_t&) { return put("b"); }
  bool start_object(std::size_t n) { return put("{" + std::to_string(n)); }
  bool key(json::string_t& k) { return put("k" + std::to_string(k.size()) + ":" + k); }
  bool end_object() { return put("}"); }
  bool start_array(std::size_t n) { return put("[" + std::to_string(n)); }
  bool end_array() { return put("]"); }
  template <class Exception>
  bool parse_error(std::size_t, const std::string&, const Exception&) {
    failed = true;
    return false;
  }
  bool failed = false;

 private:
  bool put(const std::string& event) {
    log += event;
    log.push_back('\n');
    return true;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  Recorder fast;
  if (!corvane::JsonEvents<Recorder>::read(text, fast)) return 0;
  Recorder slow;
  const bool ok = json::sax_parse(text.begin(), text.end(), &slow);
  FUZZ_CHECK(ok && !slow.failed, "the fast reader read text that nlohmann refuses: " + fuzzsupport::show(text));
  FUZZ_CHECK(fast.log == slow.log, "events differ on " + fuzzsupport::show(text) + "\nfast:\n" + fast.log +
                                       "nlohmann:\n" + slow.log);
  return 0;
}
