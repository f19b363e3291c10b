#pragma once

// A literal compressor, for differential fuzzing only: every pass rebuilds the text and
// every table entry searches it with std::string::find from the start.

#include <array>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fuzzref {

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
  std::string out;
  for (std::size_t i = 0; i < s.size();) {
    if (set.find(s[i]) != std::string_view::npos) {
      while (i < s.size() && set.find(s[i]) != std::string_view::npos) ++i;
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
    std::size_t pos = 0;
    for (;;) {
      const std::size_t f = w.find(phrase, pos);
      if (f == std::string::npos) break;
      w.replace(f, phrase.size(), short_form);
      pos = f + short_form.size();
    }
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
    std::size_t pos = 0;
    for (;;) {
      const std::size_t f = w.find(short_form, pos);
      if (f == std::string::npos) break;
      if (closed.find_first_not_of('\0', f) < f + short_form.size()) {
        pos = f + 1;
        continue;
      }
      w.replace(f, short_form.size(), phrase);
      std::string inserted(phrase.size(), '\1');
      inserted.front() = '\0';
      inserted.back() = '\0';
      closed.replace(f, short_form.size(), inserted);
      pos = f + phrase.size();
    }
  }
  return w;
}

}  // namespace fuzzref
