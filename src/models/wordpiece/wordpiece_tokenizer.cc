#include "models/wordpiece/wordpiece_tokenizer.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "core/cancellation.h"
#include "core/file_bytes.h"
#include "formats/state_reader.h"
#include "formats/state_writer.h"
#include "core/utf8.h"

namespace corvane {

namespace {

// Check values other than a parent node: the root cell, and an unused cell (while the trie
// is built, an unused cell's check counts down below kFree).
constexpr int32_t kNoParent = 0x7fffffff;
constexpr int32_t kFree = -1;
// The root, and a cell that is never a node: nothing is the child of cell 1, so a walk
// from it matches nothing.
constexpr int32_t kRootNode = 0;
constexpr int32_t kDeadNode = 1;
// A node's base has its top bit set when a token ends at the node.
constexpr uint32_t kFinal = 0x80000000u;
constexpr uint32_t kBaseMask = 0x7fffffffu;
// Trie building: marks a free cell that is not in the free list; ends the free list; how
// often a free cell may fail to take the first child of a node before it leaves the list.
constexpr int32_t kUnlisted = -2;
constexpr uint32_t kEndOfList = 0xffffffffu;
constexpr int32_t kMaxMisses = 8;

inline bool is_space(unsigned char c) { return c == ' ' || static_cast<unsigned>(c - '\t') < 5u; }

}  // namespace

WordPieceTokenizer::WordPieceTokenizer(const std::string& vocab_txt_path) {
  load_vocab(vocab_txt_path);
}

// One token per line, lines ended by line feeds only, the id being the line's position.
// Nothing is trimmed; an empty line defines no token but uses up its id; when a text is
// repeated, the last line wins the text -> id direction while every id keeps its text.
void WordPieceTokenizer::load_vocab(const std::string& path) {
  std::string data;
  // Messages quote the path readably even when its bytes are not UTF-8.
  if (!FileBytes::read(path, data)) {
    throw std::runtime_error("Cannot open vocab.txt: " + Utf8::repair(path));
  }
  // One token per line at most: size the table once instead of growing it.
  vocab_.reserve(static_cast<std::size_t>(std::count(data.begin(), data.end(), '\n')) + 1);
  int64_t id = 0;
  const char* p = data.data();
  const char* const end = p + data.size();
  while (p < end) {
    const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    const char* line_end = nl ? nl : end;
    if (id > std::numeric_limits<int32_t>::max()) {
      throw std::runtime_error("vocab.txt has more lines than 32-bit ids can number: " +
                               Utf8::repair(path));
    }
    if (line_end != p) {
      vocab_.assign(std::string_view(p, static_cast<std::size_t>(line_end - p)),
                    static_cast<int32_t>(id));
    }
    ++id;
    p = nl ? nl + 1 : end;
  }
  if (vocab_.empty()) throw std::runtime_error("vocab.txt is empty: " + Utf8::repair(path));
  vocab_.finish();
  build_trie();
}

// Builds a double-array trie over the distinct token texts, each final node carrying the
// id that the text maps to. The longest vocabulary piece at a position is then found by
// one walk over the bytes, with no candidate string built and no hashing; the walk can
// never go deeper than the longest token.
void WordPieceTokenizer::build_trie() {
  struct Key {
    const unsigned char* text;
    uint32_t len;
    int32_t id;
  };
  // A token holding a whitespace byte can never be a piece of a word: it stays out of the
  // trie.
  std::vector<Key> keys;
  keys.reserve(vocab_.size());
  for (std::size_t e = 0; e < vocab_.size(); ++e) {
    const std::string_view t = vocab_.text_at(e);
    const auto* text = reinterpret_cast<const unsigned char*>(t.data());
    if (std::any_of(text, text + t.size(), [](unsigned char c) { return is_space(c); })) continue;
    keys.push_back(Key{text, static_cast<uint32_t>(t.size()), vocab_.id_at(e)});
  }
  const std::size_t n = keys.size();
  // Ranges at depth d live in buffer d % 2: sorting a range at depth d moves its keys into
  // the other buffer, where its children find them.
  std::vector<Key> other(n);
  Key* const buffers[2] = {keys.data(), other.data()};
  // Cells are placed straight into `trie_`, with the ids in `trie_ids_`. Unused cells from
  // 256 on form a list in ascending order, so the search for a base visits free cells only:
  // an unused cell keeps the link to the next in `base` and to the previous in its
  // `trie_ids_` entry, and counts in `check` (below kFree) how often it failed to take the
  // first child of a node. Cells 1 to 255 stay unused: every base is at least 1 because
  // every listed cell is above any byte, and a node without children keeps base 0, so a
  // walk from it lands on one of those cells, whose check matches no node.
  trie_.clear();
  trie_ids_.clear();
  int32_t free_head = -1, free_tail = -1;
  auto grow = [&](std::size_t size) {
    if (size > static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) {
      throw std::length_error("vocabulary too large");
    }
    const std::size_t old = trie_.size();
    trie_.resize(size, TrieCell{0, kFree});
    trie_ids_.resize(size, kUnlisted);
    for (std::size_t i = std::max<std::size_t>(old, 256); i < size; ++i) {
      const auto c = static_cast<int32_t>(i);
      trie_ids_[i] = free_tail;
      if (free_tail >= 0) {
        trie_[static_cast<std::size_t>(free_tail)].base = static_cast<uint32_t>(c);
      } else {
        free_head = c;
      }
      free_tail = c;
    }
    if (free_tail >= 0) trie_[static_cast<std::size_t>(free_tail)].base = kEndOfList;
  };
  auto next_free = [&](int32_t c) {
    const uint32_t next = trie_[static_cast<std::size_t>(c)].base;
    return next == kEndOfList ? -1 : static_cast<int32_t>(next);
  };
  auto unlink = [&](std::size_t c) {
    const int32_t next = next_free(static_cast<int32_t>(c)), prev = trie_ids_[c];
    if (prev >= 0) {
      trie_[static_cast<std::size_t>(prev)].base = next >= 0 ? static_cast<uint32_t>(next) : kEndOfList;
    } else {
      free_head = next;
    }
    if (next >= 0) trie_ids_[static_cast<std::size_t>(next)] = prev; else free_tail = prev;
    trie_ids_[c] = kUnlisted;
  };
  // Makes `cell` the child of `parent`.
  auto take = [&](int32_t cell, int32_t parent) {
    const auto c = static_cast<std::size_t>(cell);
    if (trie_ids_[c] != kUnlisted) unlink(c);
    trie_[c] = TrieCell{0, parent};
    trie_ids_[c] = -1;
  };
  // A listed free cell with at least 256 cells after it.
  auto free_cell = [&](int32_t f) {
    if (f < 0 || static_cast<std::size_t>(f) + 256 >= trie_.size()) {
      const int32_t last = free_tail;
      grow(trie_.size() * 2);
      if (f < 0) f = last >= 0 ? next_free(last) : free_head;
    }
    return f;
  };
  auto set_id = [&](int32_t node, int32_t id) {
    trie_[static_cast<std::size_t>(node)].base |= kFinal;
    trie_ids_[static_cast<std::size_t>(node)] = id;
  };
  grow(std::max<std::size_t>(1024, n * 5 / 2));
  trie_[kRootNode] = TrieCell{0, kNoParent};
  trie_ids_[kRootNode] = -1;
  int32_t max_base = 0;

  // Finds a base at which every label's cell is free; labels are ascending.
  auto find_base = [&](const unsigned char* labels, std::size_t count) -> int32_t {
    for (int32_t f = free_cell(free_head), next;; f = free_cell(next)) {
      next = next_free(f);
      const std::size_t base = static_cast<std::size_t>(f) - labels[0];
      bool fits = true;
      for (std::size_t k = 1; k < count && fits; ++k) fits = trie_[base + labels[k]].check <= kFree;
      if (fits) return static_cast<int32_t>(base);
      // A free cell that keeps failing lies among used ones; it leaves the list, so that
      // the search does not grow with the number of nodes placed. It may still become a
      // later child of some node.
      if (--trie_[static_cast<std::size_t>(f)].check == kFree - kMaxMisses) {
        unlink(static_cast<std::size_t>(f));
      }
    }
  };
  auto add_child = [&](int32_t node, int32_t base, unsigned char label) {
    uint32_t& node_base = trie_[static_cast<std::size_t>(node)].base;
    node_base = (node_base & kFinal) | static_cast<uint32_t>(base);
    if (base > max_base) max_base = base;
    const int32_t child = base + label;
    take(child, node);
    return child;
  };

  // Depth first over ranges of keys that share their first `depth` bytes. Each range is
  // ordered by its byte at `depth` when its node is placed (a radix sort spread over the
  // walk), the key that ends at `depth`, if any, first.
  struct Pending {
    int32_t node;
    uint32_t lo, hi, depth;
  };
  std::vector<Pending> stack;
  if (n > 0) stack.push_back(Pending{kRootNode, 0, static_cast<uint32_t>(n), 0});
  unsigned char labels[256];
  uint32_t bounds[257];
  uint32_t tally[257] = {};
  std::vector<uint16_t> slot_of(n);
  while (!stack.empty()) {
    const Pending job = stack.back();
    stack.pop_back();
    const uint32_t d = job.depth;
    // The byte at `d`, or -1 for the key that ends there.
    auto key_at = [d](const Key& k) -> int { return k.len == d ? -1 : k.text[d]; };
    if (job.hi - job.lo == 1) {
      // A single key: its remaining bytes form a chain of one-child nodes.
      const Key& k = buffers[d & 1][job.lo];
      int32_t node = job.node;
      for (uint32_t i = d; i < k.len; ++i) {
        node = add_child(node, free_cell(free_head) - k.text[i], k.text[i]);
      }
      set_id(node, k.id);
      continue;
    }
    // Orders the range by key_at with a counting sort into the other buffer, the key that
    // ends here (if any) first, and lists the distinct bytes (`labels`) with the start of
    // each one's run (`bounds`). Slot u of `tally` and bit u of `present` stand for
    // key_at + 1; only the slots of the bytes present are visited, and they are zero again
    // afterwards.
    const uint32_t m = job.hi - job.lo;
    const Key* const range = buffers[d & 1] + job.lo;
    Key* const sorted = buffers[(d + 1) & 1];
    uint64_t present[5] = {0, 0, 0, 0, 0};
    for (uint32_t i = 0; i < m; ++i) {
      const auto u = static_cast<uint32_t>(key_at(range[i]) + 1);
      slot_of[i] = static_cast<uint16_t>(u);
      ++tally[u];
      present[u >> 6] |= uint64_t{1} << (u & 63);
    }
    std::size_t count = 0;
    uint32_t next = job.lo;
    for (uint32_t w = 0; w < 5; ++w) {
      for (uint64_t bits = present[w]; bits != 0; bits &= bits - 1) {
        const uint32_t u = w * 64 + static_cast<uint32_t>(std::countr_zero(bits));
        if (u > 0) {
          labels[count] = static_cast<unsigned char>(u - 1);
          bounds[count] = next;
          ++count;
        }
        const uint32_t run = tally[u];
        tally[u] = next;
        next += run;
      }
    }
    for (uint32_t i = 0; i < m; ++i) sorted[tally[slot_of[i]]++] = range[i];
    tally[0] = 0;
    for (std::size_t k = 0; k < count; ++k) tally[labels[k] + 1u] = 0;
    if (sorted[job.lo].len == d) set_id(job.node, sorted[job.lo].id);
    bounds[count] = job.hi;
    const int32_t base = find_base(labels, count);
    for (std::size_t k = count; k-- > 0;) {
      const int32_t child = add_child(job.node, base, labels[k]);
      stack.push_back(Pending{child, bounds[k], bounds[k + 1], d + 1});
    }
  }
  // Every cell a walk can reach, base + any byte, lies inside the array; unused cells get
  // plain contents.
  const std::size_t size = static_cast<std::size_t>(max_base) + 256;
  trie_.resize(size);
  trie_ids_.resize(size);
  for (std::size_t i = 0; i < size; ++i) {
    if (trie_[i].check <= kFree) {
      trie_[i] = TrieCell{0, kFree};
      trie_ids_[i] = -1;
    }
  }
  if (trie_.capacity() > size + size / 4) {
    trie_.shrink_to_fit();
    trie_ids_.shrink_to_fit();
  }

  continuation_root_ = kDeadNode;
  int32_t node = kRootNode;
  for (unsigned char c : {'#', '#'}) {
    const int32_t next = static_cast<int32_t>(trie_[static_cast<std::size_t>(node)].base & kBaseMask) + c;
    if (trie_[static_cast<std::size_t>(next)].check != node) return;
    node = next;
  }
  continuation_root_ = node;
}

// Greedy longest match first. At each position the longest piece that is a vocabulary
// token wins: the first piece as it stands, later pieces with "##" in front (a walk
// starting at the "##" node). If some position matches nothing, the whole word becomes
// UNK_ID and the pieces matched before are dropped.
template <bool kCollect>
std::size_t WordPieceTokenizer::wordpiece_tokenize(const unsigned char* word, std::size_t len,
                                                   std::vector<int32_t>& ids) const {
  const TrieCell* const t = trie_.data();
  const std::size_t mark = ids.size();
  std::size_t pieces = 0;
  std::size_t start = 0;
  int32_t from = kRootNode;
  // A word of megabytes is millions of pieces: work started for a batch can stop inside it.
  const Cancellation::Flag* const cancel = len > Cancellation::kInterval ? Cancellation::current() : nullptr;
  do {
    if (cancel != nullptr && (pieces & 0xFFF) == 0) Cancellation::check(cancel);
    int32_t node = from;
    uint32_t base = t[node].base;
    int32_t best = -1;  // the deepest final node passed
    std::size_t best_end = start;
    for (std::size_t i = start; i < len; ++i) {
      const auto next = static_cast<int32_t>((base & kBaseMask) + word[i]);
      if (t[next].check != node) break;
      node = next;
      base = t[node].base;
      if (base & kFinal) {
        best = node;
        best_end = i + 1;
      }
    }
    if (best < 0) {
      if constexpr (kCollect) {
        ids.resize(mark);
        ids.push_back(UNK_ID);
      }
      return 1;
    }
    if constexpr (kCollect) ids.push_back(trie_ids_[static_cast<std::size_t>(best)]);
    ++pieces;
    start = best_end;
    from = continuation_root_;
  } while (start < len);
  return pieces;
}

template <bool kCollect>
std::size_t WordPieceTokenizer::encode_text(std::string_view text, std::vector<int32_t>& ids) const {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  std::size_t total = 0;
  Cancellation::Poller poll;
  for (;;) {
    const unsigned char* const from = p;
    while (p < end && is_space(*p)) ++p;
    if (p == end) break;
    const unsigned char* word = p;
    while (p < end && !is_space(*p)) ++p;
    total += wordpiece_tokenize<kCollect>(word, static_cast<std::size_t>(p - word), ids);
    poll.tick(static_cast<std::size_t>(p - from));
  }
  return total;
}

std::vector<int32_t> WordPieceTokenizer::encode(std::string_view text) const {
  std::vector<int32_t> ids;
  ids.reserve(text.size() / 3 + 8);  // English runs near 4 bytes an id, CJK text near 3
  encode_text<true>(text, ids);
  return ids;
}

std::size_t WordPieceTokenizer::count(std::string_view text) const {
  std::vector<int32_t> unused;
  return encode_text<false>(text, unused);
}

void WordPieceTokenizer::encode_many(const std::string_view* texts, std::size_t n, std::vector<int32_t>& ids,
                                     std::size_t* ends) const {
  for (std::size_t i = 0; i < n; ++i) {
    encode_text<true>(texts[i], ids);
    ends[i] = ids.size();
  }
}

void WordPieceTokenizer::count_many(const std::string_view* texts, std::size_t n, std::size_t* counts) const {
  std::vector<int32_t> unused;
  for (std::size_t i = 0; i < n; ++i) counts[i] = encode_text<false>(texts[i], unused);
}

// Continuation tokens ("##" and at least one more byte) are glued to what precedes them
// without the "##"; every other token is preceded by one blank. The one blank at the very
// start is then removed. Ids without a token text are skipped.
std::string WordPieceTokenizer::decode(const std::vector<int32_t>& ids) const {
  auto is_continuation = [](std::string_view tok) {
    return tok.size() > 2 && tok[0] == '#' && tok[1] == '#';
  };
  std::string_view tok;
  std::size_t size = 0;
  for (int32_t id : ids) {
    if (vocab_.token_of(id, tok)) size += is_continuation(tok) ? tok.size() - 2 : tok.size() + 1;
  }
  std::string out;
  out.reserve(size);
  for (int32_t id : ids) {
    if (!vocab_.token_of(id, tok)) continue;
    if (is_continuation(tok)) {
      out.append(tok.data() + 2, tok.size() - 2);
    } else {
      out.push_back(' ');
      out.append(tok);
    }
  }
  if (!out.empty() && out.front() == ' ') out.erase(0, 1);
  return out;
}

namespace {

constexpr std::string_view kStateMagic = "CVWP";
constexpr uint8_t kStateVersion = 1;

}  // namespace

std::string WordPieceTokenizer::serialize() const {
  StateWriter w(kStateMagic, kStateVersion);
  vocab_.save(w);
  return w.finish();
}

WordPieceTokenizer WordPieceTokenizer::deserialize(std::string_view state) {
  StateReader r(state, kStateMagic, kStateVersion, "WordPieceTokenizer");
  WordPieceTokenizer t;
  t.vocab_.restore(r);
  r.expect_end();
  if (t.vocab_.empty()) r.fail("empty vocabulary");
  t.vocab_.finish();
  t.build_trie();
  return t;
}

}  // namespace corvane
