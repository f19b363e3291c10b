#pragma once

// Helpers shared by the fuzz targets: per-process scratch files for the loaders, a loud
// failure that libFuzzer records as a crash, and exception capture for comparing two
// implementations' failures.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

namespace fuzzsupport {

[[noreturn]] inline void fail(const std::string& what) {
  std::fprintf(stderr, "FUZZ CHECK FAILED: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

// Fails with the message `what` (a std::string expression) when `ok` is false. The message
// is only built on failure: rendering the inputs of every passing check would cost more
// than the checks themselves.
#define FUZZ_CHECK(ok, what)                   \
  do {                                         \
    if (!(ok)) ::fuzzsupport::fail(what);      \
  } while (0)

// Printable rendering of bytes for failure messages.
inline std::string show(std::string_view s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    }
  }
  return out + "\"";
}

inline std::string show(const std::vector<int32_t>& ids) {
  std::string out = "[";
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (i) out += ", ";
    out += std::to_string(ids[i]);
  }
  return out + "]";
}

// A file private to this process, in /dev/shm when it is usable (no disk traffic), else in
// $TMPDIR or /tmp; removed when the process exits normally.
class ScratchFile {
 public:
  explicit ScratchFile(const char* tag) {
    const char* dirs[] = {"/dev/shm", std::getenv("TMPDIR"), "/tmp"};
    for (const char* d : dirs) {
      if (d && *d && access(d, W_OK) == 0) {
        path_ = std::string(d) + "/corvane-fuzz-" + tag + "-" + std::to_string(getpid());
        break;
      }
    }
    if (path_.empty()) fail("no writable directory for scratch files");
  }
  ~ScratchFile() { std::remove(path_.c_str()); }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  const std::string& path() const { return path_; }

  void write(const void* data, std::size_t size) const {
    std::FILE* f = std::fopen(path_.c_str(), "wb");
    if (!f) fail("cannot write " + path_);
    if (size && std::fwrite(data, 1, size, f) != size) fail("short write to " + path_);
    std::fclose(f);
  }
  void write(std::string_view s) const { write(s.data(), s.size()); }

 private:
  std::string path_;
};

// The outcome of a call that may throw: nothing, or the dynamic type and message.
struct Outcome {
  bool threw = false;
  std::string type;
  std::string message;

  bool operator==(const Outcome& o) const {
    return threw == o.threw && type == o.type && message == o.message;
  }
  std::string describe() const {
    return threw ? type + ": " + show(message) : std::string("no exception");
  }
};

template <class Fn>
Outcome capture(Fn&& fn) {
  Outcome o;
  try {
    fn();
  } catch (const std::exception& e) {
    o.threw = true;
    o.type = typeid(e).name();
    o.message = e.what();
  }
  return o;
}

// Encodes `text` with the engine's tokenizer `t` and with the plain `encode`; the count and
// the decoding of the ids (against the plain `decode`) are compared too when asked (on the
// longer texts, where they have the most to do).
template <class Tokenizer, class PlainEncode, class PlainDecode>
void compare_encode(const Tokenizer& t, std::string_view text, bool also_count_and_decode,
                    PlainEncode plain_encode, PlainDecode plain_decode) {
  const std::vector<int32_t> ids = t.encode(text);
  const std::vector<int32_t> want = plain_encode(text);
  FUZZ_CHECK(ids == want, "encode " + show(text) + " gave " + show(ids) + ", expected " + show(want));
  if (!also_count_and_decode) return;
  FUZZ_CHECK(t.count(text) == ids.size(), "count != encode().size() for " + show(text));
  FUZZ_CHECK(t.decode(ids) == plain_decode(ids), "decode of the ids of " + show(text));
}

// How much of a loaded file the loader targets compare: the ids decoded one by one, and
// the tokens (and merge rules) encoded one by one and joined. Files of a few hundred bytes
// rarely have more; the limits keep a large accepted file from slowing the run down.
inline constexpr std::size_t kDecodeChecks = 256;
inline constexpr std::size_t kEncodeChecks = 8;

// Interesting 32-bit ids: the limits, their neighbours and the small values near zero.
inline constexpr int32_t kEdgeIds[] = {0,          1,          -1,        2,         100,
                                       255,        256,        INT32_MAX, INT32_MIN, INT32_MAX - 1,
                                       INT32_MIN + 1, 65535,   65536,     -100};

// Reads the input as little-endian 32-bit ids; a leading byte per id chooses between a
// raw value and one of kEdgeIds, so the limits come up often.
inline std::vector<int32_t> ids_from_bytes(const uint8_t* data, std::size_t size) {
  std::vector<int32_t> ids;
  std::size_t i = 0;
  while (i < size) {
    const uint8_t sel = data[i++];
    if (sel & 1) {
      ids.push_back(kEdgeIds[(sel >> 1) % (sizeof kEdgeIds / sizeof kEdgeIds[0])]);
    } else if (sel & 2) {
      ids.push_back(static_cast<int32_t>(sel >> 2));  // a small id, likely to have a token
    } else {
      uint32_t v = 0;
      for (int k = 0; k < 4 && i < size; ++k) v |= static_cast<uint32_t>(data[i++]) << (8 * k);
      ids.push_back(static_cast<int32_t>(v));
    }
  }
  return ids;
}

}  // namespace fuzzsupport
