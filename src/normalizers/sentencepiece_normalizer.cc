#include "normalizers/sentencepiece_normalizer.h"

#include <algorithm>
#include <utility>

namespace corvane {

namespace {

constexpr std::string_view kSpaceSymbol = "\xe2\x96\x81";

inline std::size_t char_length(unsigned char b) { return b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4; }

}  // namespace

SentencePieceNormalizer::SentencePieceNormalizer(std::shared_ptr<const PrecompiledCharsmap> charsmap, Options options,
                                                 const std::vector<std::string>& user_defined)
    : charsmap_(std::move(charsmap)), options_(options), user_defined_(user_defined) {
  std::vector<std::pair<std::string_view, int32_t>> keys;
  for (const std::string& u : user_defined_) keys.emplace_back(u, 0);
  has_user_defined_ = !keys.empty();
  matcher_ = PieceTrie(std::move(keys));
  static const std::array<char, 128> kAscii = [] {
    std::array<char, 128> a{};
    for (int i = 0; i < 128; ++i) a[static_cast<std::size_t>(i)] = static_cast<char>(i);
    return a;
  }();
  for (unsigned b = 0; b < 128; ++b) {
    const auto c = static_cast<unsigned char>(b);
    bool simple = true;
    for (const std::string& u : user_defined_) simple = simple && static_cast<unsigned char>(u[0]) != c;
    std::string_view normalized(&kAscii[b], 1);
    if (charsmap_ && c != 0) {
      simple = simple && !charsmap_->has_longer_keys(&c, 1);
      charsmap_->for_each_match(&c, 1, [&](std::size_t, std::string_view r) { normalized = r; });
    }
    ascii_simple_[b] = simple;
    ascii_normalized_[b] = normalized;
    identity_[b] = simple && normalized.size() == 1 && static_cast<unsigned char>(normalized[0]) == c;
  }
}

std::pair<std::string_view, std::size_t> SentencePieceNormalizer::normalize_prefix(std::string_view input) const {
  const auto* p = reinterpret_cast<const unsigned char*>(input.data());
  if (p[0] < 0x80 && ascii_simple_[p[0]]) return {ascii_normalized_[p[0]], 1};
  if (has_user_defined_) {
    std::size_t len = 0;
    matcher_.for_each_prefix(p, input.size(), [&](std::size_t l, int32_t) { len = l; });
    if (len > 0) return {input.substr(0, len), len};
  }
  if (charsmap_) {
    std::size_t len = 0;
    std::string_view replacement;
    charsmap_->for_each_match(p, input.size(), [&](std::size_t l, std::string_view r) {
      len = l;
      replacement = r;
    });
    if (len > 0) return {replacement, len};
  }
  const std::size_t len = std::min(char_length(p[0]), input.size());
  return {input.substr(0, len), len};
}

// SentencePiece's Normalize: normalized byte k came from the input bytes from
// source[k].start on (the bytes of one character, and of a dummy space, start alike); see
// the end for where each source ends.
bool SentencePieceNormalizer::run(std::string_view input, std::string& out, std::vector<Source>& source) const {
  out.clear();
  source.clear();
  if (input.empty()) return true;
  bool on_boundaries = true;
  std::size_t consumed = 0;
  if (options_.remove_extra_whitespaces) {
    while (consumed < input.size()) {
      const auto [norm, len] = normalize_prefix(input.substr(consumed));
      if (norm != " ") break;
      consumed += len;
      if (consumed < input.size() && (static_cast<unsigned char>(input[consumed]) & 0xC0) == 0x80) on_boundaries = false;
    }
  }
  if (consumed == input.size()) return true;
  out.reserve((input.size() - consumed) * 3 / 2 + 4);
  source.reserve(out.capacity());
  const std::string_view space = options_.escape_whitespaces ? kSpaceSymbol : std::string_view(" ");
  auto add_space = [&](std::size_t at) {
    out.append(space);
    source.insert(source.end(), space.size(), Source{static_cast<uint32_t>(at), static_cast<uint32_t>(at)});
  };
  if (!options_.treat_whitespace_as_suffix && options_.add_dummy_prefix) add_space(consumed);
  bool prev_space = options_.remove_extra_whitespaces;
  const auto* bytes = reinterpret_cast<const unsigned char*>(input.data());
  while (consumed < input.size()) {
    // A run of ASCII characters that stay as they are (no space among them): copied at once.
    std::size_t run_end = consumed;
    while (run_end < input.size() && bytes[run_end] < 0x80 && bytes[run_end] != ' ' && identity_[bytes[run_end]]) {
      ++run_end;
    }
    if (run_end > consumed) {
      out.append(input.data() + consumed, run_end - consumed);
      const std::size_t at = source.size();
      source.resize(at + (run_end - consumed));
      Source* to = source.data() + at;
      for (std::size_t k = consumed; k < run_end; ++k) {
        *to++ = Source{static_cast<uint32_t>(k), static_cast<uint32_t>(k + 1)};
      }
      consumed = run_end;
      prev_space = false;
      continue;
    }
    if (bytes[consumed] == ' ' && identity_[' ']) {
      // A space that stays a space (as below, without the lookup): dropped after a space
      // when extra whitespace is removed, else written (escaped when so asked).
      if (!prev_space) {
        const Source from{static_cast<uint32_t>(consumed), static_cast<uint32_t>(consumed + 1)};
        out.append(space);
        source.insert(source.end(), space.size(), from);
      }
      prev_space = options_.remove_extra_whitespaces;
      ++consumed;
      continue;
    }
    auto [norm, len] = normalize_prefix(input.substr(consumed));
    if (consumed + len < input.size() && (static_cast<unsigned char>(input[consumed + len]) & 0xC0) == 0x80) {
      on_boundaries = false;
    }
    while (prev_space && !norm.empty() && norm.front() == ' ') norm.remove_prefix(1);
    if (!norm.empty()) {
      const Source from{static_cast<uint32_t>(consumed), static_cast<uint32_t>(consumed + len)};
      for (char c : norm) {
        if (c == ' ' && options_.escape_whitespaces) {
          out.append(kSpaceSymbol);
          source.insert(source.end(), kSpaceSymbol.size(), from);
        } else {
          out.push_back(c);
          source.push_back(from);
        }
      }
      prev_space = norm.back() == ' ';
    }
    consumed += len;
    if (!options_.remove_extra_whitespaces) prev_space = false;
  }
  // Where the text ends for the pieces: before the trailing spaces that are removed.
  std::size_t end = input.size();
  if (options_.remove_extra_whitespaces) {
    while (out.size() >= space.size() && std::string_view(out).substr(out.size() - space.size()) == space) {
      out.resize(out.size() - space.size());
      end = source[out.size()].start;
      source.resize(out.size());
    }
  }
  if (options_.treat_whitespace_as_suffix && options_.add_dummy_prefix) add_space(end);
  // As sentencepiece reports a piece's range (from where its first byte's source starts to
  // where the next byte's starts), each byte's source ends where the next byte's starts (the
  // end above, for the last): input dropped between characters (extra whitespace) goes with
  // the character before it, and every byte of a character or replacement but its last is
  // empty, so a piece that is part of a character (a byte of byte fallback) reports what
  // sentencepiece reports.
  auto next = static_cast<uint32_t>(end);
  for (std::size_t k = out.size(); k-- > 0;) {
    source[k].end = next;
    next = source[k].start;
  }
  return on_boundaries;
}

std::string SentencePieceNormalizer::normalize_string(std::string_view input) const {
  std::string out;
  std::vector<Source> source;
  run(input, out, source);
  return out;
}

void SentencePieceNormalizer::normalize(NormalizedText& text) const {
  const std::string& in = text.normalized();
  std::string out;
  std::vector<Source> source;
  if (run(in, out, source) && text.aligned_to_itself()) {
    // The input's own bytes: where each normalized byte came from is its span already (a
    // source starts and ends on character boundaries).
    text.assign(std::move(out), std::move(source));
    return;
  }
  const auto& align = text.alignments();
  std::vector<NormalizedText::Span> spans(out.size());
  for (std::size_t k = 0; k < out.size(); ++k) {
    const Source f = source[k];
    if (f.end > f.start) {
      spans[k] = {align[f.start].start, align[f.end - 1].end};
    } else {
      const uint32_t at = f.start < align.size() ? align[f.start].start : (align.empty() ? 0 : align.back().end);
      spans[k] = {at, at};
    }
  }
  text.assign(std::move(out), std::move(spans));
}

}  // namespace corvane
