#include "tokenizer/wordpiece_tokenizer.h"

#include <algorithm>
#include <bit>
#include <iterator>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <fstream>
#include <limits>
#include <stdexcept>

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
// Trie building: marks a free cell that is not in the free list; how often a free cell may
// fail to take the first child of a node before it leaves the list.
constexpr int32_t kUnlisted = -2;
constexpr int32_t kMaxMisses = 8;

inline bool is_space(unsigned char c) { return c == ' ' || static_cast<unsigned>(c - '\t') < 5u; }

// Reads the whole file into `data`. Returns false when it cannot be opened; a read failure
// later on ends the data where it happened. The file's size, when the file system knows
// it, only sizes the first read.
bool read_file(const std::string& path, std::string& data) {
  std::ifstream f(path, std::ios::binary);
  if (!f.is_open()) return false;
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  if (!ec && size > 0 && size < (std::size_t{1} << 40)) {
    data.resize(static_cast<std::size_t>(size));
    f.read(data.data(), static_cast<std::streamsize>(size));
    data.resize(static_cast<std::size_t>(f.gcount()));
    if (!f) return true;
  }
  char buf[1 << 16];
  while (f.read(buf, sizeof buf) || f.gcount() > 0) {
    data.append(buf, static_cast<std::size_t>(f.gcount()));
  }
  return true;
}

}  // namespace

WordPieceTokenizer::WordPieceTokenizer(const std::string& vocab_txt_path) {
  load_vocab(vocab_txt_path);
}

// One token per line, lines ended by line feeds only, the id being the line's position.
// Nothing is trimmed; an empty line defines no token but uses up its id; when a text is
// repeated, the last line wins the text -> id direction while every id keeps its text.
void WordPieceTokenizer::load_vocab(const std::string& path) {
  std::string data;
  if (!read_file(path, data)) throw std::runtime_error("Cannot open vocab.txt: " + path);
  int64_t id = 0;
  const char* p = data.data();
  const char* const end = p + data.size();
  while (p < end) {
    const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    const char* line_end = nl ? nl : end;
    if (id > std::numeric_limits<int32_t>::max()) {
      throw std::length_error("vocab.txt has more lines than 32-bit ids can number: " + path);
    }
    if (line_end != p) {
      vocab_.assign(std::string_view(p, static_cast<std::size_t>(line_end - p)),
                    static_cast<int32_t>(id));
    }
    ++id;
    p = nl ? nl + 1 : end;
  }
  if (vocab_.empty()) throw std::runtime_error("vocab.txt is empty: " + path);
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
  std::vector<Key> scratch(n);
  // While building, a cell also carries its node's token id, or for a free cell the links
  // of the free list.
  struct BuildCell {
    int32_t base;
    int32_t check;
    int32_t id;
  };
  std::vector<BuildCell> cells;

  // Unused cells from 256 on form a list in ascending order, so the search for a base
  // visits free cells only. A free cell keeps the list links in its otherwise unused `base`
  // (next) and `id` (previous) fields, and in `check` a tally of failed placements. Cells 1
  // to 255 stay unused: every base is at least 1 because every listed cell is above any
  // byte, and a node without children keeps base 0, so a walk from it lands on one of those
  // cells, whose check matches no node.
  int32_t free_head = -1, free_tail = -1;
  auto grow = [&](std::size_t size) {
    if (size > static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) {
      throw std::length_error("vocabulary too large");
    }
    const std::size_t old = cells.size();
    cells.resize(size, BuildCell{-1, kFree, kUnlisted});
    for (std::size_t i = std::max<std::size_t>(old, 256); i < size; ++i) {
      const auto c = static_cast<int32_t>(i);
      cells[i].id = free_tail;
      if (free_tail >= 0) cells[static_cast<std::size_t>(free_tail)].base = c; else free_head = c;
      free_tail = c;
    }
  };
  auto unlink = [&](std::size_t c) {
    BuildCell& cell = cells[c];
    const int32_t next = cell.base, prev = cell.id;
    if (prev >= 0) cells[static_cast<std::size_t>(prev)].base = next; else free_head = next;
    if (next >= 0) cells[static_cast<std::size_t>(next)].id = prev; else free_tail = prev;
    cell.id = kUnlisted;
  };
  // Makes `cell` the child of `parent`.
  auto take = [&](int32_t cell, int32_t parent) {
    const auto c = static_cast<std::size_t>(cell);
    if (cells[c].id != kUnlisted) unlink(c);
    cells[c] = BuildCell{0, parent, -1};
  };
  // A listed free cell with at least 256 cells after it.
  auto free_cell = [&](int32_t f) {
    if (f < 0 || static_cast<std::size_t>(f) + 256 >= cells.size()) {
      const int32_t last = free_tail;
      grow(cells.size() * 2);
      if (f < 0) f = last >= 0 ? cells[static_cast<std::size_t>(last)].base : free_head;
    }
    return f;
  };
  grow(std::max<std::size_t>(1024, n * 5 / 2));
  cells[0] = BuildCell{0, kNoParent, -1};
  int32_t max_base = 0;

  // Finds a base at which every label's cell is free; labels are ascending.
  auto find_base = [&](const unsigned char* labels, std::size_t count) -> int32_t {
    for (int32_t f = free_cell(free_head), next;; f = free_cell(next)) {
      next = cells[static_cast<std::size_t>(f)].base;
      const std::size_t base = static_cast<std::size_t>(f) - labels[0];
      bool fits = true;
      for (std::size_t k = 1; k < count && fits; ++k) fits = cells[base + labels[k]].check <= kFree;
      if (fits) return static_cast<int32_t>(base);
      // A free cell that keeps failing lies among used ones; it leaves the list, so that
      // the search does not grow with the number of nodes placed. It may still become a
      // later child of some node.
      if (--cells[static_cast<std::size_t>(f)].check == kFree - kMaxMisses) {
        unlink(static_cast<std::size_t>(f));
      }
    }
  };
  auto add_child = [&](int32_t node, int32_t base, unsigned char label) {
    cells[static_cast<std::size_t>(node)].base = base;
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
  uint32_t tally[256];
  std::vector<int16_t> byte_of(n);
  while (!stack.empty()) {
    const Pending job = stack.back();
    stack.pop_back();
    const uint32_t d = job.depth;
    // The byte at `d`, or -1 for the key that ends there.
    auto key_at = [d](const Key& k) -> int { return k.len == d ? -1 : k.text[d]; };
    if (job.hi - job.lo == 1) {
      // A single key: its remaining bytes form a chain of one-child nodes.
      const Key& k = keys[job.lo];
      int32_t node = job.node;
      for (uint32_t i = d; i < k.len; ++i) {
        node = add_child(node, free_cell(free_head) - k.text[i], k.text[i]);
      }
      cells[static_cast<std::size_t>(node)].id = k.id;
      continue;
    }
    // Orders the range by key_at and lists the distinct bytes (`labels`) with the start of
    // each one's run (`bounds`).
    const uint32_t m = job.hi - job.lo;
    Key* const range = keys.data() + job.lo;
    std::size_t count = 0;
    if (m <= 24) {
      int16_t sorted[24];
      for (uint32_t i = 0; i < m; ++i) {
        const Key k = range[i];
        const auto c = static_cast<int16_t>(key_at(k));
        uint32_t j = i;
        for (; j > 0 && sorted[j - 1] > c; --j) {
          range[j] = range[j - 1];
          sorted[j] = sorted[j - 1];
        }
        range[j] = k;
        sorted[j] = c;
      }
      for (uint32_t i = 0; i < m; ++i) {
        const int16_t c = sorted[i];
        if (c >= 0 && (count == 0 || labels[count - 1] != c)) {
          labels[count] = static_cast<unsigned char>(c);
          bounds[count] = job.lo + i;
          ++count;
        }
      }
    } else {
      // Counting sort by byte; the key ending here, if any, goes first. `present` marks
      // the bytes that occur, so only those are visited.
      uint64_t present[4] = {0, 0, 0, 0};
      uint32_t ended = 0;
      for (uint32_t i = 0; i < m; ++i) {
        const int c = key_at(range[i]);
        byte_of[i] = static_cast<int16_t>(c);
        if (c < 0) {
          ++ended;
        } else {
          if (!(present[c >> 6] >> (c & 63) & 1)) tally[c] = 0;
          present[c >> 6] |= uint64_t{1} << (c & 63);
          ++tally[c];
        }
      }
      uint32_t next = job.lo + ended;
      for (int w = 0; w < 4; ++w) {
        for (uint64_t bits = present[w]; bits != 0; bits &= bits - 1) {
          const int c = w * 64 + std::countr_zero(bits);
          labels[count] = static_cast<unsigned char>(c);
          bounds[count] = next;
          ++count;
          const uint32_t run = tally[c];
          tally[c] = next;
          next += run;
        }
      }
      uint32_t first = job.lo;
      for (uint32_t i = 0; i < m; ++i) {
        const int c = byte_of[i];
        scratch[c < 0 ? first++ : tally[c]++] = range[i];
      }
      std::copy(scratch.begin() + job.lo, scratch.begin() + job.hi, range);
    }
    if (keys[job.lo].len == d) cells[static_cast<std::size_t>(job.node)].id = keys[job.lo].id;
    bounds[count] = job.hi;
    const int32_t base = find_base(labels, count);
    for (std::size_t k = count; k-- > 0;) {
      const int32_t child = add_child(job.node, base, labels[k]);
      stack.push_back(Pending{child, bounds[k], bounds[k + 1], d + 1});
    }
  }
  // Every cell a walk can reach, base + any byte, lies inside the array.
  const std::size_t size = static_cast<std::size_t>(max_base) + 256;
  trie_.assign(size, TrieCell{0, kFree});
  trie_ids_.assign(size, -1);
  for (std::size_t i = 0; i < std::min(size, cells.size()); ++i) {
    const BuildCell& cell = cells[i];
    if (cell.check <= kFree) continue;
    trie_[i] = TrieCell{static_cast<uint32_t>(cell.base) | (cell.id >= 0 ? kFinal : 0u), cell.check};
    trie_ids_[i] = cell.id;
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
  do {
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
  for (;;) {
    while (p < end && is_space(*p)) ++p;
    if (p == end) break;
    const unsigned char* word = p;
    while (p < end && !is_space(*p)) ++p;
    total += wordpiece_tokenize<kCollect>(word, static_cast<std::size_t>(p - word), ids);
  }
  return total;
}

std::vector<int32_t> WordPieceTokenizer::encode(std::string_view text) const {
  std::vector<int32_t> ids;
  ids.reserve(text.size() / 4 + 8);
  encode_text<true>(text, ids);
  return ids;
}

std::size_t WordPieceTokenizer::count(std::string_view text) const {
  std::vector<int32_t> unused;
  return encode_text<false>(text, unused);
}

// Continuation tokens ("##" and at least one more byte) are glued to what precedes them
// without the "##"; every other token is preceded by one blank. The one blank at the very
// start is then removed. Ids without a token text are skipped.
std::string WordPieceTokenizer::decode(const std::vector<int32_t>& ids) const {
  std::string out;
  out.reserve(ids.size() * 6 + 1);
  std::string_view tok;
  for (int32_t id : ids) {
    if (!vocab_.token_of(id, tok)) continue;
    if (tok.size() > 2 && tok[0] == '#' && tok[1] == '#') {
      out.append(tok.data() + 2, tok.size() - 2);
    } else {
      out.push_back(' ');
      out.append(tok);
    }
  }
  if (!out.empty() && out.front() == ' ') out.erase(0, 1);
  return out;
}

}  // namespace corvane
