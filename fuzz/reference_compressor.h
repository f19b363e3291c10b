#pragma once

// A literal compressor, for differential fuzzing only: every table entry searches the text
// from the start, byte by byte, and rebuilds it, one pass per entry.

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fuzzref {

// The first occurrence of `pat` (not empty) in `s` at or after `from`, or npos: memchr for
// its first byte, then a byte loop, rather than std::string::find, whose memcmp calls the
// fuzzer's hook records at every candidate.
inline std::size_t find_from(const std::string& s, const std::string& pat, std::size_t from) {
  while (from + pat.size() <= s.size()) {
    const void* hit = std::memchr(s.data() + from, pat[0], s.size() - pat.size() + 1 - from);
    if (!hit) break;
    const std::size_t i = static_cast<std::size_t>(static_cast<const char*>(hit) - s.data());
    std::size_t k = 1;
    while (k < pat.size() && s[i + k] == pat[k]) ++k;
    if (k == pat.size()) return i;
    from = i + 1;
  }
  return std::string::npos;
}

// (long phrase, short form), in table order.
inline const std::vector<std::pair<std::string, std::string>>& phrase_table() {
  static const std::vector<std::pair<std::string, std::string>> table = {
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
  return table;
}

// Every maximal run of bytes in `set` becomes `with`.
inline std::string squeeze(const std::string& s, std::string_view set, char with) {
  const auto in_set = [&](char c) {
    for (char m : set) {
      if (c == m) return true;
    }
    return false;
  };
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    if (in_set(s[i])) {
      while (i < s.size() && in_set(s[i])) ++i;
      out += with;
    } else {
      out += s[i++];
    }
  }
  return out;
}

inline std::string compress(const std::string& text) {
  if (text.empty()) return "";
  std::string w = " " + text + " ";
  w = squeeze(w, std::string_view(" \t", 2), ' ');
  w = squeeze(w, std::string_view("\r\n", 2), '\n');
  for (const auto& [phrase, short_form] : phrase_table()) {
    // The search resumes after each replacement; what lies beyond it is untouched text.
    std::string out;
    out.reserve(w.size());
    std::size_t pos = 0;
    for (;;) {
      const std::size_t f = find_from(w, phrase, pos);
      if (f == std::string::npos) break;
      out.append(w, pos, f - pos);
      out += short_form;
      pos = f + phrase.size();
    }
    out.append(w, pos, std::string::npos);
    w.swap(out);
  }
  const std::size_t first = w.find_first_not_of(" \t\n\r");
  if (first == std::string::npos) return "";
  const std::size_t last = w.find_last_not_of(" \t\n\r");
  return w.substr(first, last - first + 1);
}

// Expands the short forms entry by entry. The inside of a long phrase put in by an earlier
// entry (all its bytes but the first and last, its boundary spaces) is closed to the
// matches of later entries: such an occurrence is passed over and the search goes on from
// the byte after its start. Within one entry the search resumes after the inserted text.
inline std::string decompress(const std::string& text) {
  if (text.empty()) return "";
  std::string w = text;
  // closed[k] != 0: byte k lies inside a long phrase that an earlier entry inserted.
  std::string closed(w.size(), '\0');
  for (const auto& [phrase, short_form] : phrase_table()) {
    std::string out, out_closed;
    out.reserve(w.size());
    out_closed.reserve(w.size());
    std::size_t pos = 0;  // next byte of w to search from
    std::size_t copied = 0;  // bytes of w already in out
    for (;;) {
      const std::size_t f = find_from(w, short_form, pos);
      if (f == std::string::npos) break;
      const auto inside = closed.begin() + static_cast<std::ptrdiff_t>(f);
      if (std::any_of(inside, inside + static_cast<std::ptrdiff_t>(short_form.size()), [](char k) { return k != 0; })) {
        pos = f + 1;
        continue;
      }
      out.append(w, copied, f - copied);
      out_closed.append(closed, copied, f - copied);
      out += phrase;
      std::string inserted(phrase.size(), '\1');
      inserted.front() = '\0';
      inserted.back() = '\0';
      out_closed += inserted;
      pos = copied = f + short_form.size();
    }
    out.append(w, copied, std::string::npos);
    out_closed.append(closed, copied, std::string::npos);
    w.swap(out);
    closed.swap(out_closed);
  }
  return w;
}

}  // namespace fuzzref
