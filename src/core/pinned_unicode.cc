#include "core/pinned_unicode.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/uniset.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>
#include <unicode/uversion.h>

#include <map>
#include <unordered_map>
#include <stdexcept>
#include <string>
#include <vector>

namespace corvane::pinned_unicode {

namespace {

enum Flag : uint8_t {
  kComposesBackward = 1,  // may be the second character of a composition (9.0)
};

// What the normalizers need to know of one code point. Offsets index the shared pool of
// mapped characters; a length of 0 means "maps to itself".
struct Entry {
  uint32_t canon_off = 0;
  uint32_t compat_off = 0;
  uint32_t lower_off = 0;
  uint8_t ccc = 0;
  uint8_t flags = 0;
  uint8_t canon_len = 0;
  uint8_t compat_len = 0;
  uint8_t lower_len = 0;
  uint8_t unused[3] = {};  // no padding: blocks are compared as bytes
};
static_assert(sizeof(Entry) == 20);

constexpr std::size_t kBlockBits = 8;
constexpr std::size_t kBlockSize = std::size_t{1} << kBlockBits;
constexpr std::size_t kBlockCount = 0x110000 >> kBlockBits;

class Tables {
 public:
  Tables() { build(); }

  const Entry& at(char32_t cp) const {
    static const Entry kNone{};
    if (cp > 0x10FFFF) return kNone;
    return blocks_[stage1_[cp >> kBlockBits] * kBlockSize + (cp & (kBlockSize - 1))];
  }
  const char32_t* pool(uint32_t off) const { return pool_.data() + off; }
  bool assigned_in_9(char32_t cp) const { return age9_.contains(static_cast<UChar32>(cp)); }
  bool mark_9(char32_t cp) const { return marks9_.contains(static_cast<UChar32>(cp)); }
  bool control_8(char32_t cp) const { return control8_.contains(static_cast<UChar32>(cp)); }
  bool nonspacing_8(char32_t cp) const { return mn8_.contains(static_cast<UChar32>(cp)); }
  const icu::Normalizer2* nfc() const { return nfc_; }
  const std::string& lower_version() const { return lower_version_; }

 private:
  std::vector<uint16_t> stage1_;
  std::vector<Entry> blocks_;
  std::vector<char32_t> pool_;
  // Frozen sets answer membership quickly (bit tables for the BMP).
  icu::UnicodeSet age9_, marks9_, control8_, mn8_;
  const icu::Normalizer2* nfc_ = nullptr;
  std::string lower_version_;

  static icu::UnicodeSet set_of(const char* pattern) {
    UErrorCode err = U_ZERO_ERROR;
    icu::UnicodeSet set(icu::UnicodeString(pattern, -1, US_INV), err);
    if (U_FAILURE(err)) throw std::runtime_error(std::string("ICU property set failed: ") + pattern);
    set.freeze();
    return set;
  }

  template <class Fn>
  static void for_each(const icu::UnicodeSet& set, Fn&& fn) {
    for (int32_t r = 0; r < set.getRangeCount(); ++r) {
      for (UChar32 c = set.getRangeStart(r); c <= set.getRangeEnd(r); ++c) fn(static_cast<char32_t>(c));
    }
  }

  // Appends the code points of `s` to the pool; returns the offset and sets `len`.
  uint32_t intern(const icu::UnicodeString& s, uint8_t& len) {
    const auto off = static_cast<uint32_t>(pool_.size());
    for (int32_t i = 0; i < s.length();) {
      const UChar32 c = s.char32At(i);
      pool_.push_back(static_cast<char32_t>(c));
      i += U16_LENGTH(c);
    }
    const std::size_t n = pool_.size() - off;
    if (n > 255) throw std::logic_error("Unicode mapping longer than 255 characters");
    len = static_cast<uint8_t>(n);
    return off;
  }

  void build() {
    UErrorCode err = U_ZERO_ERROR;
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(err);
    const icu::Normalizer2* nfkd = icu::Normalizer2::getNFKDInstance(err);
    nfc_ = icu::Normalizer2::getNFCInstance(err);
    if (U_FAILURE(err)) throw std::runtime_error("ICU normalization data is not available");

    UVersionInfo v;
    u_getUnicodeVersion(v);
    lower_version_ = std::to_string(v[0]) + "." + std::to_string(v[1]);

    age9_ = set_of("[:Age=9.0:]");
    const icu::UnicodeSet normalizing = set_of("[[[:^ccc=0:][:NFKD_QC=N:]]&[:Age=9.0:]]");
    const icu::UnicodeSet backward = set_of("[[:NFC_QC=M:]&[:Age=9.0:]]");
    marks9_ = set_of("[[:M:]&[:Age=9.0:]]");
    control8_ = set_of("[[[:Cc:][:Cf:][:Co:]]&[:Age=8.0:]]");
    mn8_ = set_of("[[:Mn:]&[:Age=8.0:]]");
    const icu::UnicodeSet lower = set_of("[:Changes_When_Lowercased:]");

    // Entries in a flat map first; only the blocks that hold one are materialised.
    std::map<char32_t, Entry> entries;
    for_each(normalizing, [&](char32_t c) {
      Entry& e = entries[c];
      e.ccc = static_cast<uint8_t>(u_getCombiningClass(static_cast<UChar32>(c)));
      icu::UnicodeString d;
      if (nfd->getDecomposition(static_cast<UChar32>(c), d)) e.canon_off = intern(d, e.canon_len);
      d.remove();
      if (nfkd->getDecomposition(static_cast<UChar32>(c), d)) e.compat_off = intern(d, e.compat_len);
    });
    for_each(backward, [&](char32_t c) { entries[c].flags |= kComposesBackward; });
    for_each(lower, [&](char32_t c) {
      UChar src[2];
      int32_t n = 0;
      U16_APPEND_UNSAFE(src, n, static_cast<UChar32>(c));
      UChar dst[16];
      UErrorCode e2 = U_ZERO_ERROR;
      const int32_t m = u_strToLower(dst, 16, src, n, "", &e2);
      if (U_FAILURE(e2)) throw std::runtime_error("ICU lowercase mapping failed");
      Entry& e = entries[c];
      e.lower_off = intern(icu::UnicodeString(dst, m), e.lower_len);
    });

    // Two-stage table; equal blocks are stored once (block 0 is the empty block).
    stage1_.assign(kBlockCount, 0);
    blocks_.assign(kBlockSize, Entry{});
    std::vector<Entry> block(kBlockSize);
    std::unordered_map<std::string, uint16_t> seen;
    seen.emplace(std::string(reinterpret_cast<const char*>(blocks_.data()), sizeof(Entry) * kBlockSize), 0);
    auto it = entries.begin();
    while (it != entries.end()) {
      const std::size_t b = it->first >> kBlockBits;
      std::fill(block.begin(), block.end(), Entry{});
      for (; it != entries.end() && (it->first >> kBlockBits) == b; ++it) block[it->first & (kBlockSize - 1)] = it->second;
      std::string key(reinterpret_cast<const char*>(block.data()), sizeof(Entry) * kBlockSize);
      const auto [pos, fresh] = seen.emplace(std::move(key), static_cast<uint16_t>(blocks_.size() / kBlockSize));
      if (fresh) blocks_.insert(blocks_.end(), block.begin(), block.end());
      stage1_[b] = pos->second;
    }
  }
};

const Tables& tables() {
  static const Tables t;
  return t;
}

}  // namespace

uint8_t combining_class(char32_t cp) {
  if (cp < 0x300) return 0;
  return tables().at(cp).ccc;
}

void decompose(char32_t cp, bool compat, std::u32string& out) {
  if (cp < 0xA0) {
    out.push_back(cp);
    return;
  }
  const Tables& t = tables();
  const Entry& e = t.at(cp);
  const uint8_t len = compat ? e.compat_len : e.canon_len;
  if (len == 0) {
    out.push_back(cp);
    return;
  }
  const char32_t* p = t.pool(compat ? e.compat_off : e.canon_off);
  out.append(p, len);
}

char32_t compose(char32_t first, char32_t second) {
  if (second < 0x300) return 0;
  const Tables& t = tables();
  if (!(t.at(second).flags & kComposesBackward)) return 0;
  const UChar32 r = t.nfc()->composePair(static_cast<UChar32>(first), static_cast<UChar32>(second));
  if (r < 0 || !t.assigned_in_9(static_cast<char32_t>(r))) return 0;
  return static_cast<char32_t>(r);
}

bool is_combining_mark(char32_t cp) { return cp >= 0x300 && tables().mark_9(cp); }

bool is_control_format_or_private(char32_t cp) {
  if (cp < 0x7F) return cp < 0x20;
  return tables().control_8(cp);
}

bool is_nonspacing_mark(char32_t cp) { return cp >= 0x300 && tables().nonspacing_8(cp); }

void lowercase(char32_t cp, std::u32string& out) {
  if (cp < 0x80) {
    out.push_back(cp >= 'A' && cp <= 'Z' ? cp + 32 : cp);
    return;
  }
  const Tables& t = tables();
  const Entry& e = t.at(cp);
  if (e.lower_len == 0) {
    out.push_back(cp);
    return;
  }
  out.append(t.pool(e.lower_off), e.lower_len);
}

std::string lowercase_version() { return tables().lower_version(); }

}  // namespace corvane::pinned_unicode
