#include "core/pinned_unicode.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/uniset.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>
#include <unicode/uversion.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

namespace corvane::pinned_unicode {

namespace {

// ICU's data, queried per character: combining classes, decompositions and compositions
// come straight from ICU's normalization tries, filtered by the version pin through frozen
// property sets (bit tables for the BMP). Only the lowercase mappings are tabulated here,
// once: about 1,400 characters change when lowercased.
class Data {
 public:
  Data() {
    UErrorCode err = U_ZERO_ERROR;
    nfd_ = icu::Normalizer2::getNFDInstance(err);
    nfkd_ = icu::Normalizer2::getNFKDInstance(err);
    nfc_ = icu::Normalizer2::getNFCInstance(err);
    if (U_FAILURE(err)) throw std::runtime_error("ICU normalization data is not available");
    UVersionInfo v;
    u_getUnicodeVersion(v);
    lower_version_ = std::to_string(v[0]) + "." + std::to_string(v[1]);

    age9_ = set_of("[:Age=9.0:]");
    backward9_ = set_of("[[:NFC_QC=M:]&[:Age=9.0:]]");
    marks9_ = set_of("[[:M:]&[:Age=9.0:]]");
    control8_ = set_of("[[[:Cc:][:Cf:][:Co:]]&[:Age=8.0:]]");
    mn8_ = set_of("[[:Mn:]&[:Age=8.0:]]");
    lowered_ = set_of("[:Changes_When_Lowercased:]");
    for (int32_t r = 0; r < lowered_.getRangeCount(); ++r) {
      for (UChar32 c = lowered_.getRangeStart(r); c <= lowered_.getRangeEnd(r); ++c) {
        UChar src[2];
        int32_t n = 0;
        U16_APPEND_UNSAFE(src, n, c);
        UChar dst[16];
        UErrorCode e2 = U_ZERO_ERROR;
        const int32_t m = u_strToLower(dst, 16, src, n, "", &e2);
        if (U_FAILURE(e2)) throw std::runtime_error("ICU lowercase mapping failed");
        Lower l{static_cast<char32_t>(c), static_cast<uint32_t>(lower_pool_.size()), 0};
        append_utf16(dst, m, lower_pool_);
        l.len = static_cast<uint32_t>(lower_pool_.size()) - l.off;
        lower_.push_back(l);
      }
    }
  }

  const icu::Normalizer2* nfd_;
  const icu::Normalizer2* nfkd_;
  const icu::Normalizer2* nfc_;
  std::string lower_version_;
  icu::UnicodeSet age9_, backward9_, marks9_, control8_, mn8_, lowered_;

  struct Lower {
    char32_t cp;
    uint32_t off, len;
  };
  std::vector<Lower> lower_;  // sorted by code point
  std::u32string lower_pool_;

  static void append_utf16(const UChar* s, int32_t n, std::u32string& out) {
    for (int32_t i = 0; i < n;) {
      UChar32 c;
      U16_NEXT(s, i, n, c);
      out.push_back(static_cast<char32_t>(c));
    }
  }

 private:
  static icu::UnicodeSet set_of(const char* pattern) {
    UErrorCode err = U_ZERO_ERROR;
    icu::UnicodeSet set(icu::UnicodeString(pattern, -1, US_INV), err);
    if (U_FAILURE(err)) throw std::runtime_error(std::string("ICU property set failed: ") + pattern);
    set.freeze();
    return set;
  }
};

const Data& data() {
  static const Data d;
  return d;
}

}  // namespace

uint8_t combining_class(char32_t cp) {
  if (cp < 0x300 || cp > 0x10FFFF) return 0;
  const Data& d = data();
  if (!d.age9_.contains(static_cast<UChar32>(cp))) return 0;
  return static_cast<uint8_t>(u_getCombiningClass(static_cast<UChar32>(cp)));
}

void decompose(char32_t cp, bool compat, std::u32string& out) {
  if (cp < 0xA0 || cp > 0x10FFFF) {
    out.push_back(cp);
    return;
  }
  const Data& d = data();
  icu::UnicodeString s;
  if (!d.age9_.contains(static_cast<UChar32>(cp)) ||
      !(compat ? d.nfkd_ : d.nfd_)->getDecomposition(static_cast<UChar32>(cp), s)) {
    out.push_back(cp);
    return;
  }
  Data::append_utf16(s.getBuffer(), s.length(), out);
}

char32_t compose(char32_t first, char32_t second) {
  if (second < 0x300 || second > 0x10FFFF) return 0;
  const Data& d = data();
  if (!d.backward9_.contains(static_cast<UChar32>(second))) return 0;
  const UChar32 r = d.nfc_->composePair(static_cast<UChar32>(first), static_cast<UChar32>(second));
  if (r < 0 || !d.age9_.contains(r)) return 0;
  return static_cast<char32_t>(r);
}

bool is_combining_mark(char32_t cp) {
  return cp >= 0x300 && cp <= 0x10FFFF && data().marks9_.contains(static_cast<UChar32>(cp));
}

bool is_control_format_or_private(char32_t cp) {
  if (cp < 0x7F) return cp < 0x20;
  return cp <= 0x10FFFF && data().control8_.contains(static_cast<UChar32>(cp));
}

bool is_nonspacing_mark(char32_t cp) {
  return cp >= 0x300 && cp <= 0x10FFFF && data().mn8_.contains(static_cast<UChar32>(cp));
}

void lowercase(char32_t cp, std::u32string& out) {
  if (cp < 0x80) {
    out.push_back(cp >= 'A' && cp <= 'Z' ? cp + 32 : cp);
    return;
  }
  const Data& d = data();
  if (cp > 0x10FFFF || !d.lowered_.contains(static_cast<UChar32>(cp))) {
    out.push_back(cp);
    return;
  }
  const auto it = std::lower_bound(d.lower_.begin(), d.lower_.end(), cp,
                                   [](const Data::Lower& l, char32_t c) { return l.cp < c; });
  out.append(d.lower_pool_, it->off, it->len);
}

std::string lowercase_version() { return data().lower_version_; }

}  // namespace corvane::pinned_unicode
