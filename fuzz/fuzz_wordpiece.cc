// WordPiece encode, count and decode of arbitrary bytes on two small vocabularies, against
// the plain greedy procedure; and decode of arbitrary id lists (the 32-bit limits
// included).
//
// The first input byte picks the vocabulary, and whether the rest is a text or an id list.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "reference_loaders.h"
#include "reference_wordpiece.h"
#include "models/wordpiece/wordpiece_tokenizer.h"

using fuzzsupport::show;

namespace {

// A BERT-like vocabulary: [UNK] at line 100, continuation pieces, "##" alone and longer
// runs of '#', tokens with blanks or a carriage return (never matched), UTF-8 fragments,
// a NUL token, repeated tokens and empty lines.
std::string vocab_bert_like() {
  std::string v = "[PAD]\n";
  for (int i = 1; i < 100; ++i) v += (i % 7 == 3) ? "\n" : "[unused" + std::to_string(i) + "]\n";
  v += "[UNK]\n[CLS]\n[SEP]\n";
  const char* const tokens[] = {
      "un", "##aff", "##able", "aff", "able", "##", "###", "####", "## x", "foo\r", "x y",
      "\xC3\xA9", "##\xA9", "##\xC3", "\xC3", "hello", "hell", "##o", "##lo", "##l", "unaffable",
      "un", "##un", "#", "#a", "##a", "##b", "##ab", "##abc", "a", "b", "c", "ab", "abc",
      "abcdefghijklmnopqrstuvwxyz0123456789", "##0", "0", "1", "12", "##2", "\xFF", "##\xFF",
      ",", "##,", ".", "##.", "'", "##'s", "[", "##UNK", "##]", "\x7F",
  };
  for (const char* t : tokens) v += std::string(t) + "\n";
  v += std::string("\0\n##\0\n", 6);
  v += "\n\nlast-without-newline";
  return v;
}

// No continuation pieces at all, no token at id 100, a byte-order mark on the first line.
std::string vocab_plain() {
  return "\xEF\xBB\xBFstart\na\nb\nab\n#\n##\n#a\n\xE2\x80\x99\n\xE2\n  lead\ntrail  \na\n";
}

struct Loaded {
  std::unique_ptr<corvane::WordPieceTokenizer> engine;
  fuzzref::WordPieceModel ref;
};

std::vector<Loaded> load_all() {
  const fuzzsupport::ScratchFile file("wordpiece");
  std::vector<Loaded> out;
  for (const std::string& content : {vocab_bert_like(), vocab_plain()}) {
    file.write(content);
    out.push_back({std::make_unique<corvane::WordPieceTokenizer>(file.path()),
                   fuzzref::load_vocab_txt(content, file.path())});
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static const std::vector<Loaded> tokenizers = load_all();
  if (size == 0) return 0;
  const Loaded& tk = tokenizers[data[0] % tokenizers.size()];
  const corvane::WordPieceTokenizer& t = *tk.engine;
  const bool ids_mode = (data[0] >> 1) & 1;
  ++data;
  --size;

  if (ids_mode) {
    const std::vector<int32_t> ids = fuzzsupport::ids_from_bytes(data, size);
    FUZZ_CHECK(t.decode(ids) == fuzzref::wordpiece_decode(tk.ref, ids), "decode of " + show(ids));
    return 0;
  }
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::vector<int32_t> ids = t.encode(text);
  const std::vector<int32_t> want = fuzzref::wordpiece_encode(tk.ref, text);
  FUZZ_CHECK(ids == want, "encode " + show(text) + " gave " + show(ids) + ", expected " + show(want));
  FUZZ_CHECK(t.count(text) == ids.size(), "count != encode().size() for " + show(text));
  FUZZ_CHECK(t.decode(ids) == fuzzref::wordpiece_decode(tk.ref, ids), "decode of the ids of " + show(text));
  return 0;
}
