#include "compressor/compressor.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// On x86-64 with GCC or Clang, the two hot loops also exist in an AVX2 + BMI2 version,
// chosen at construction when the processor has those instructions (a build may leave it
// out by defining CORVANE_NO_WIDE_PATH).
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(CORVANE_NO_WIDE_PATH)
#define CORVANE_WIDE_PATH 1
#include <immintrin.h>
#define CORVANE_WIDE __attribute__((target("avx2,bmi,bmi2,popcnt")))
#endif

namespace corvane {

namespace {

// The abbreviation table, in the order in which `compress` applies it. Every phrase and
// short form starts and ends with one space, which is part of the match and of the
// replacement.
constexpr std::pair<const char*, const char*> kAbbreviations[] = {
    {" for your information ", " FYI "},
    {" as soon as possible ", " ASAP "},
    {" by the way ", " BTW "},
    {" with respect to ", " about "},
    {" in addition to ", " plus "},
    {" in addition, ", " also, "},
    {" please note that ", " note: "},
    {" thank you for ", " thanks for "},
    {" application development ", " app dev "},
    {" the application ", " the app "},
    {" software development ", " software dev "},
    {" the requirements ", " the reqs "},
    {" the reference ", " the ref "},
    {" the information ", " the info "},
    {" the library ", " the lib "},
    {" the libraries ", " the libs "},
    {" as well as ", " and "},
    {" in order to ", " to "},
    {" make sure that ", " ensure "},
    {" in the event that ", " if "},
    {" at this point in time ", " now "},
    {" due to the fact that ", " because "},
    {" a large number of ", " many "},
};

// Byte classes of the blank and line-break pass: 0 ordinary, 1 blank, 2 line break.
struct SqueezeTables {
  std::uint8_t cls[256];
  char out[256];  // what a byte of each class is written as
};

constexpr SqueezeTables make_squeeze_tables() {
  SqueezeTables t{};
  for (int c = 0; c < 256; ++c) {
    t.cls[c] = 0;
    t.out[c] = static_cast<char>(c);
  }
  t.cls[static_cast<unsigned char>(' ')] = 1;
  t.cls[static_cast<unsigned char>('\t')] = 1;
  t.out[static_cast<unsigned char>('\t')] = ' ';
  t.cls[static_cast<unsigned char>('\n')] = 2;
  t.cls[static_cast<unsigned char>('\r')] = 2;
  t.out[static_cast<unsigned char>('\r')] = '\n';
  return t;
}

constexpr SqueezeTables kSqueeze = make_squeeze_tables();

inline std::uint32_t load32(const char* p) {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline std::uint64_t load64(const char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

#if defined(CORVANE_WIDE_PATH)
// kExpand[k]: 0xFF in byte b for every bit b set in k, the selector that makes pext gather
// the kept bytes of an 8-byte word.
struct ExpandTable {
  std::uint64_t mask[256];
};

constexpr ExpandTable make_expand_table() {
  ExpandTable t{};
  for (unsigned k = 0; k < 256; ++k) {
    std::uint64_t m = 0;
    for (unsigned b = 0; b < 8; ++b)
      if ((k >> b) & 1u) m |= std::uint64_t{0xFF} << (8 * b);
    t.mask[k] = m;
  }
  return t;
}

constexpr ExpandTable kExpand = make_expand_table();

// The blank and line-break pass, 32 bytes at a time (see `squeeze`). Advances `i`, `j` and
// `prev` over the whole blocks of the input.
CORVANE_WIDE void squeeze_wide(const unsigned char* in, std::size_t n, char* out, std::size_t& i_io,
                               std::size_t& j_io, unsigned& prev_io) {
  std::size_t i = i_io, j = j_io;
  unsigned prev = prev_io;
  const __m256i space = _mm256_set1_epi8(' ');
  const __m256i tab = _mm256_set1_epi8('\t');
  const __m256i lf = _mm256_set1_epi8('\n');
  const __m256i cr = _mm256_set1_epi8('\r');
  for (; i + 32 <= n; i += 32) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
    const __m256i tb = _mm256_cmpeq_epi8(v, tab);
    const __m256i rt = _mm256_cmpeq_epi8(v, cr);
    const auto blank = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_or_si256(_mm256_cmpeq_epi8(v, space), tb)));
    const auto line = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_or_si256(_mm256_cmpeq_epi8(v, lf), rt)));
    const auto rewrite = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_or_si256(tb, rt)));
    const std::uint32_t drop = (blank & ((blank << 1) | static_cast<std::uint32_t>(prev == 1))) |
                               (line & ((line << 1) | static_cast<std::uint32_t>(prev == 2)));
    if ((drop | rewrite) == 0) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j), v);
      j += 32;
    } else {
      // Tabs become spaces and carriage returns line feeds; then each 8-byte word keeps
      // the bytes that are not dropped, gathered by pext.
      const __m256i fixed = _mm256_blendv_epi8(_mm256_blendv_epi8(v, space, tb), lf, rt);
      alignas(32) char block[32];
      _mm256_store_si256(reinterpret_cast<__m256i*>(block), fixed);
      const std::uint32_t keep = ~drop;
      for (unsigned g = 0; g < 4; ++g) {
        const unsigned k8 = (keep >> (8 * g)) & 0xFFu;
        const std::uint64_t packed = _pext_u64(load64(block + 8 * g), kExpand.mask[k8]);
        std::memcpy(out + j, &packed, sizeof packed);
        j += static_cast<std::size_t>(__builtin_popcount(k8));
      }
    }
    prev = (blank >> 31) ? 1u : ((line >> 31) ? 2u : 0u);
  }
  i_io = i;
  j_io = j;
  prev_io = prev;
}
#endif

// Writes " " + text + " " into `w` with every run of spaces and tabs turned into one space
// and every run of carriage returns and line feeds turned into one line feed. The two runs
// never touch each other's bytes, so one sweep does both.
void squeeze(const std::string& text, std::string& w, [[maybe_unused]] bool wide) {
  const std::size_t n = text.size();
  w.resize(n + 2 + 32);  // room for the last block's whole-register stores
  char* out = w.data();
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  out[0] = ' ';
  std::size_t j = 1;
  unsigned prev = 1;  // class of the last byte written
  std::size_t i = 0;

  // A byte is written unless it is a blank or line byte following one of its own class;
  // tabs and carriage returns are rewritten. Written branch-free: the slot is always
  // stored, and only advanced when the byte is kept.
  auto step = [&](unsigned char c) {
    const unsigned cls = kSqueeze.cls[c];
    out[j] = kSqueeze.out[c];
    j += static_cast<std::size_t>((cls == 0) | (cls != prev));
    prev = cls;
  };

#if defined(CORVANE_WIDE_PATH)
  if (wide) squeeze_wide(in, n, out, i, j, prev);
#endif
#if defined(__SSE2__)
  // Sixteen bytes at a time: a block without tabs, carriage returns and doubled blanks or
  // line breaks (most blocks of prose) is copied as it is.
  const __m128i space = _mm_set1_epi8(' ');
  const __m128i tab = _mm_set1_epi8('\t');
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i cr = _mm_set1_epi8('\r');
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    const unsigned ms = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, space)));
    const unsigned mt = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, tab)));
    const unsigned ml = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, lf)));
    const unsigned mc = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, cr)));
    const unsigned blank = ms | mt;
    const unsigned line = ml | mc;
    const unsigned drop = (blank & ((blank << 1) | static_cast<unsigned>(prev == 1))) |
                          (line & ((line << 1) | static_cast<unsigned>(prev == 2)));
    if ((drop | mt | mc) == 0) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j), v);
      j += 16;
    } else {
      // Rewrite tabs as spaces and carriage returns as line feeds, then copy out the runs
      // of bytes that are kept (a 16-byte store per run; later stores overwrite the tail).
      const __m128i is_tab = _mm_cmpeq_epi8(v, tab);
      const __m128i is_cr = _mm_cmpeq_epi8(v, cr);
      const __m128i fixed = _mm_or_si128(_mm_andnot_si128(_mm_or_si128(is_tab, is_cr), v),
                                         _mm_or_si128(_mm_and_si128(is_tab, space), _mm_and_si128(is_cr, lf)));
      alignas(16) char block[32];
      _mm_store_si128(reinterpret_cast<__m128i*>(block), fixed);
      _mm_store_si128(reinterpret_cast<__m128i*>(block + 16), _mm_setzero_si128());
      unsigned keep = ~drop & 0xFFFFu;
      while (keep != 0) {
        const unsigned start = static_cast<unsigned>(__builtin_ctz(keep));
        const unsigned run = static_cast<unsigned>(__builtin_ctz(~(keep >> start)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + start)));
        j += run;
        keep &= ~(((1u << run) - 1u) << start);
      }
    }
    prev = (blank >> 15) ? 1u : ((line >> 15) ? 2u : 0u);
  }
#endif
  for (; i < n; ++i) step(in[i]);
  if (prev != 1) out[j++] = ' ';
  w.resize(j);
}

inline bool is_trimmed(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

// ---------------------------------------------------------------------------------------
// PatternSet

void Compressor::PatternSet::build(const std::vector<std::string_view>& patterns) {
  std::vector<std::uint32_t> keys;
  for (std::string_view p : patterns) {
    if (p.size() < 4 || p.size() > kMaxPattern || p[0] != ' ')
      throw std::logic_error("a pattern must start with a space and have 4 to 32 bytes");
    const std::uint32_t key = load32(p.data());
    if (std::find(keys.begin(), keys.end(), key) == keys.end()) keys.push_back(key);
  }
  // A multiplier that sends every distinct key to its own slot; a few tries suffice for a
  // couple of dozen keys in 256 slots.
  const int shift = 32 - kSlotBits;
  std::uint32_t mult = 0x9E3779B1u;
  for (;; mult += 2) {
    std::array<bool, std::size_t{1} << kSlotBits> used{};
    bool ok = true;
    for (std::uint32_t key : keys) {
      const std::uint32_t s = (key * mult) >> shift;
      if (used[s]) {
        ok = false;
        break;
      }
      used[s] = true;
    }
    if (ok) break;
  }
  multiplier_ = mult;
  slots_ = {};
  patterns_.clear();
  for (std::uint32_t key : keys) {
    Slot& slot = slots_[(key * mult) >> shift];
    slot.key = key;
    slot.first = static_cast<std::uint32_t>(patterns_.size());
    for (std::size_t e = 0; e < patterns.size(); ++e) {
      const std::string_view p = patterns[e];
      if (load32(p.data()) != key) continue;
      Pattern pat;
      char bytes[kMaxPattern] = {};
      unsigned char ones[kMaxPattern] = {};
      std::memcpy(bytes, p.data(), p.size());
      std::memset(ones, 0xFF, p.size());
      std::memcpy(pat.word.data(), bytes, kMaxPattern);
      std::memcpy(pat.mask.data(), ones, kMaxPattern);
      pat.length = static_cast<std::uint32_t>(p.size());
      pat.entry = static_cast<std::uint32_t>(e);
      patterns_.push_back(pat);
    }
    slot.count = static_cast<std::uint32_t>(patterns_.size()) - slot.first;
  }
  // Fingerprints of bytes 1 to kFingerprints of the patterns. The patterns are sorted (the
  // short ones apart) and dealt in order into eight groups, so that patterns with the same
  // beginning share a group; each half of each byte records the groups of the patterns that
  // have it there. A byte past the end of a pattern matches anything.
  std::vector<std::size_t> order(patterns.size());
  for (std::size_t e = 0; e < order.size(); ++e) order[e] = e;
  std::sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
    const bool lx = patterns[x].size() > kFingerprints, ly = patterns[y].size() > kFingerprints;
    return lx != ly ? ly : patterns[x] < patterns[y];
  });
  for (auto& t : fingerprint_lo_) t.fill(0);
  for (auto& t : fingerprint_hi_) t.fill(0);
  for (std::size_t r = 0; r < order.size(); ++r) {
    const std::string_view p = patterns[order[r]];
    const auto group = static_cast<std::uint8_t>(1u << (r * 8 / order.size()));
    for (std::size_t o = 0; o < kFingerprints; ++o) {
      if (o + 1 < p.size()) {
        const auto b = static_cast<unsigned char>(p[o + 1]);
        fingerprint_lo_[o][b & 0x0F] |= group;
        fingerprint_hi_[o][b >> 4] |= group;
      } else {
        for (auto& x : fingerprint_lo_[o]) x |= group;
        for (auto& x : fingerprint_hi_[o]) x |= group;
      }
    }
  }
}

inline void Compressor::PatternSet::match_slot(const char* s, std::size_t n, std::size_t pos,
                                               const Slot& slot, std::vector<Hit>& out) const {
  const std::size_t room = n - pos;
  const std::uint32_t end = slot.first + slot.count;
  if (room >= kMaxPattern) {
    // The first eight bytes settle almost every candidate ("the" followed by another word).
    const std::uint64_t head = load64(s + pos);
    for (std::uint32_t k = slot.first; k < end; ++k) {
      const Pattern& p = patterns_[k];
      if (((head ^ p.word[0]) & p.mask[0]) != 0) continue;
      const std::uint64_t diff = ((load64(s + pos + 8) ^ p.word[1]) & p.mask[1]) |
                                 ((load64(s + pos + 16) ^ p.word[2]) & p.mask[2]) |
                                 ((load64(s + pos + 24) ^ p.word[3]) & p.mask[3]);
      if (diff == 0) out.push_back(Hit::at(pos, p.entry));
    }
    return;
  }
  for (std::uint32_t k = slot.first; k < end; ++k) {
    const Pattern& p = patterns_[k];
    if (p.length > room) continue;
    char bytes[kMaxPattern];
    std::memcpy(bytes, p.word.data(), kMaxPattern);
    if (std::memcmp(s + pos, bytes, p.length) == 0) out.push_back(Hit::at(pos, p.entry));
  }
}

#if defined(CORVANE_WIDE_PATH)
// 32 positions at a time, far enough from the end that every pattern can be read whole.
// A position is a candidate when it holds a space and each of the next seven bytes, looked
// up by its two halves in the fingerprint tables, admits one same group of patterns (the
// nibble-table filter of the Teddy matcher). Candidates then go through the exact slot
// lookup. Advances `i` over the blocks it covered.
CORVANE_WIDE void Compressor::PatternSet::find_wide(const char* s, std::size_t n, std::size_t& i_io,
                                                    std::vector<Hit>& out) const {
  std::size_t i = i_io;
  const std::uint32_t mult = multiplier_;
  constexpr int shift = 32 - kSlotBits;
  const __m256i space = _mm256_set1_epi8(' ');
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i zero = _mm256_setzero_si256();
  __m256i lo[kFingerprints], hi[kFingerprints];
  for (std::size_t o = 0; o < kFingerprints; ++o) {
    lo[o] = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(fingerprint_lo_[o].data())));
    hi[o] = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(fingerprint_hi_[o].data())));
  }
  for (; i + 32 + kMaxPattern <= n; i += 32) {
    __m256i groups = _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i)), space);
#pragma GCC unroll 8
    for (std::size_t o = 0; o < kFingerprints; ++o) {
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i + 1 + o));
      const __m256i l = _mm256_shuffle_epi8(lo[o], _mm256_and_si256(v, nibble));
      const __m256i h = _mm256_shuffle_epi8(hi[o], _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble));
      groups = _mm256_and_si256(groups, _mm256_and_si256(l, h));
    }
    auto m = ~static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(groups, zero)));
    while (m != 0) {
      const std::size_t pos = i + static_cast<std::size_t>(__builtin_ctz(m));
      m &= m - 1;
      const std::uint32_t key = load32(s + pos);
      const Slot& slot = slots_[(key * mult) >> shift];
      if (slot.key == key) match_slot(s, n, pos, slot, out);
    }
  }
  i_io = i;
}
#endif

void Compressor::PatternSet::find_all(std::string_view text, std::vector<Hit>& out,
                                      [[maybe_unused]] bool wide) const {
  const char* s = text.data();
  const std::size_t n = text.size();
  const std::uint32_t mult = multiplier_;
  constexpr int shift = 32 - kSlotBits;
  std::size_t i = 0;
#if defined(CORVANE_WIDE_PATH)
  if (wide) find_wide(s, n, i, out);
#endif
#if defined(__SSE2__)
  // 64 bytes at a time, far enough from the end that every pattern can be read whole at
  // each space. The spaces whose four bytes hit a slot are gathered without a branch and
  // checked afterwards, so the loop mispredicts about once per block, not once per space.
  const __m128i space = _mm_set1_epi8(' ');
  std::uint32_t cand[64];
  for (; i + 64 + kMaxPattern <= n; i += 64) {
    std::uint64_t m = 0;
    for (int k = 0; k < 4; ++k) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + 16 * k));
      m |= static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, space))))
           << (16 * k);
    }
    std::size_t found = 0;
    while (m != 0) {
      const std::uint32_t off = static_cast<std::uint32_t>(__builtin_ctzll(m));
      m &= m - 1;
      const std::uint32_t key = load32(s + i + off);
      cand[found] = off;
      found += slots_[(key * mult) >> shift].key == key;
    }
    for (std::size_t c = 0; c < found; ++c) {
      const std::size_t pos = i + cand[c];
      match_slot(s, n, pos, slots_[(load32(s + pos) * mult) >> shift], out);
    }
  }
#endif
  for (; i + 4 <= n; ++i) {
    if (s[i] != ' ') continue;
    const std::uint32_t key = load32(s + i);
    const Slot& slot = slots_[(key * mult) >> shift];
    if (slot.key == key) match_slot(s, n, i, slot, out);
  }
}

// ---------------------------------------------------------------------------------------
// Compressor

Compressor::Compressor() {
#if defined(CORVANE_WIDE_PATH)
  wide_ = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
          __builtin_cpu_supports("popcnt");
#endif
  for (const auto& [phrase, short_form] : kAbbreviations) abbrev_list.emplace_back(phrase, short_form);
  for (const auto& [phrase, short_form] : abbrev_list) expand_list.emplace_back(short_form, phrase);

  const std::size_t count = abbrev_list.size();
  if (count > 32) throw std::logic_error("entry sets are 32-bit masks");  // and Hit keeps 5 bits
  std::vector<std::string_view> longs, shorts;
  for (const auto& [phrase, short_form] : abbrev_list) longs.emplace_back(phrase);
  for (const auto& [short_form, phrase] : expand_list) shorts.emplace_back(short_form);
  long_phrases_.build(longs);
  short_forms_.build(shorts);

  // Horspool shifts: how far a window may move when its last byte is c.
  skip_.resize(count);
  for (std::size_t e = 0; e < count; ++e) {
    const std::string& p = abbrev_list[e].first;
    const std::size_t m = p.size();
    skip_[e].fill(static_cast<std::uint8_t>(m));
    for (std::size_t k = 0; k + 1 < m; ++k) skip_[e][static_cast<unsigned char>(p[k])] = static_cast<std::uint8_t>(m - 1 - k);
  }

  // An occurrence of a long phrase that appears after entry i inserted a short form and
  // was not there before must cover one of the inner bytes of that short form (its first
  // and last bytes are spaces, just like the bytes they replaced). Record which later
  // phrases can be laid over a short form that way, byte for byte.
  creates_.assign(count, 0);
  for (std::size_t i = 0; i < count; ++i) {
    const std::string& s = abbrev_list[i].second;
    const long ls = static_cast<long>(s.size());
    for (std::size_t k = i + 1; k < count; ++k) {
      const std::string& p = abbrev_list[k].first;
      const long lp = static_cast<long>(p.size());
      for (long d = 1 - lp; d < ls; ++d) {  // p starts at offset d of s
        const long lo = std::max(0L, d), hi = std::min(ls, d + lp);
        if (!(lo < ls - 1 && hi > 1)) continue;  // must reach an inner byte of s
        bool agree = true;
        for (long x = lo; x < hi && agree; ++x) agree = s[static_cast<std::size_t>(x)] == p[static_cast<std::size_t>(x - d)];
        if (agree) {
          creates_[i] |= std::uint32_t{1} << k;
          break;
        }
      }
    }
  }

  // Compression works in place, which needs every short form to be no longer than its phrase.
  for (const auto& [phrase, short_form] : abbrev_list)
    if (short_form.size() > phrase.size()) throw std::logic_error("a short form is longer than its phrase");

  barrier_.fill(true);
  for (const auto& [phrase, short_form] : abbrev_list)
    for (char c : phrase) barrier_[static_cast<unsigned char>(c)] = false;
}

std::size_t Compressor::find_phrase(std::size_t entry, std::string_view text, std::size_t from) const {
  const std::string& p = abbrev_list[entry].first;
  const std::size_t m = p.size();
  const std::size_t n = text.size();
  const char* s = text.data();
  const auto& skip = skip_[entry];
  const std::size_t last = m - 1;
  const char tail = p[last];
  std::size_t pos = from;
  while (pos <= n && n - pos >= m) {
    const char c = s[pos + last];
    if (c == tail && std::memcmp(s + pos, p.data(), last) == 0) return pos;
    pos += skip[static_cast<unsigned char>(c)];
  }
  return std::string_view::npos;
}

void Compressor::compress_segment(std::string_view segment, std::uint32_t flags, std::string& work,
                                  std::string& scratch) const {
  work.assign(segment);
  for (std::size_t i = 0; i < abbrev_list.size(); ++i) {
    if (((flags >> i) & 1u) == 0) continue;
    const std::string& phrase = abbrev_list[i].first;
    const std::string& short_form = abbrev_list[i].second;
    std::size_t q = find_phrase(i, work, 0);
    if (q == std::string_view::npos) continue;
    scratch.clear();
    std::size_t pos = 0;
    do {
      scratch.append(work, pos, q - pos);
      scratch += short_form;
      pos = q + phrase.size();  // resume after the inserted short form
      q = find_phrase(i, work, pos);
    } while (q != std::string_view::npos);
    scratch.append(work, pos, std::string::npos);
    work.swap(scratch);
    flags |= creates_[i];
  }
}

std::string Compressor::compress(const std::string& text) const {
  if (text.empty()) return std::string();

  std::string w;
  squeeze(text, w, wide_);
  const std::size_t n = w.size();

  std::vector<Hit> hits;
  long_phrases_.find_all(w, hits, wide_);

  // Work segment by segment, compacting `w` in place: a segment never grows (no short
  // form is longer than its phrase), so the write position never passes the read position.
  std::size_t read = 0, write = 0;
  std::string work, scratch;
  for (std::size_t h = 0; h < hits.size();) {
    // The segment around this hit: up to the nearest bytes that no phrase contains.
    const std::size_t q = hits[h].pos();
    std::size_t a = q;
    while (a > read && !barrier_[static_cast<unsigned char>(w[a - 1])]) --a;
    std::size_t b = q + abbrev_list[hits[h].entry()].first.size();
    while (b < n && !barrier_[static_cast<unsigned char>(w[b])]) ++b;
    std::uint32_t flags = 0;
    for (; h < hits.size() && hits[h].pos() < b; ++h) flags |= std::uint32_t{1} << hits[h].entry();
    if (write != read) std::memmove(w.data() + write, w.data() + read, a - read);
    write += a - read;
    compress_segment(std::string_view(w).substr(a, b - a), flags, work, scratch);
    std::memcpy(w.data() + write, work.data(), work.size());
    write += work.size();
    read = b;
  }
  if (write != read) std::memmove(w.data() + write, w.data() + read, n - read);
  write += n - read;

  // Trim.
  std::size_t last = write;
  while (last > 0 && is_trimmed(w[last - 1])) --last;
  std::size_t first = 0;
  while (first < last && is_trimmed(w[first])) ++first;
  w.resize(last);
  w.erase(0, first);
  return w;
}

std::string Compressor::decompress(const std::string& text) const {
  if (text.empty()) return std::string();

  std::vector<Hit> hits;
  hits.reserve(text.size() / 64 + 16);
  short_forms_.find_all(text, hits, wide_);
  if (hits.empty()) return text;

  auto short_len = [&](const Hit& h) { return expand_list[h.entry()].first.size(); };

  // Which of the places found are expanded. Places that share no byte with another cannot
  // affect one another and are all expanded. Where places overlap, the entries are played
  // in table order on that stretch: a place is skipped when it overlaps the previous
  // expansion of its own entry (the search resumes after the inserted text) or covers an
  // inner byte of a phrase that an earlier entry put there (such bytes are closed).
  std::vector<std::uint8_t> keep(hits.size(), 0);
  std::vector<std::size_t> order;
  std::vector<std::uint8_t> closed;
  for (std::size_t h = 0; h < hits.size();) {
    std::size_t end = hits[h].pos() + short_len(hits[h]);
    std::size_t g = h + 1;
    for (; g < hits.size() && hits[g].pos() < end; ++g) end = std::max(end, hits[g].pos() + short_len(hits[g]));
    if (g == h + 1) {
      keep[h] = 1;
      h = g;
      continue;
    }
    const std::size_t base = hits[h].pos();
    closed.assign(end - base, 0);
    order.clear();
    for (std::size_t k = h; k < g; ++k) order.push_back(k);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t x, std::size_t y) { return hits[x].entry() < hits[y].entry(); });
    std::uint32_t entry = static_cast<std::uint32_t>(-1);
    std::size_t resume = 0;
    for (std::size_t k : order) {
      const Hit& hit = hits[k];
      if (hit.entry() != entry) {
        entry = hit.entry();
        resume = 0;
      }
      const std::size_t q = hit.pos() - base;
      const std::size_t len = short_len(hit);
      if (q < resume) continue;
      bool open = true;
      for (std::size_t x = q; x < q + len && open; ++x) open = closed[x] == 0;
      if (!open) continue;
      keep[k] = 1;
      for (std::size_t x = q + 1; x + 1 < q + len; ++x) closed[x] = 1;
      resume = q + len;
    }
    h = g;
  }

  // Two expansions share at most one byte: the space that ends one and starts the other.
  std::size_t total = text.size();
  std::size_t prev_end = 0;
  for (std::size_t h = 0; h < hits.size(); ++h) {
    if (!keep[h]) continue;
    const auto& [short_form, phrase] = expand_list[hits[h].entry()];
    total += phrase.size() - short_form.size();
    if (hits[h].pos() < prev_end) total -= 1;
    prev_end = hits[h].pos() + short_form.size();
  }
  std::string out;
  out.reserve(total);
  std::size_t cursor = 0;
  for (std::size_t h = 0; h < hits.size(); ++h) {
    if (!keep[h]) continue;
    const std::size_t pos = hits[h].pos();
    const auto& [short_form, phrase] = expand_list[hits[h].entry()];
    if (pos >= cursor) {
      out.append(text, cursor, pos - cursor);
      out += phrase;
    } else {
      out.append(phrase, 1, std::string::npos);  // its first space is already written
    }
    cursor = pos + short_form.size();
  }
  out.append(text, cursor, std::string::npos);
  return out;
}

}  // namespace corvane
