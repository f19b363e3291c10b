#include "core/onig_regex.h"

#include <oniguruma.h>

#include <memory>
#include <mutex>
#include <stdexcept>

#include "core/utf8.h"

namespace corvane {

namespace {

std::mutex& compile_mutex() {
  static std::mutex m;
  return m;
}

std::string error_text(int code, OnigErrorInfo* info) {
  OnigUChar buf[ONIG_MAX_ERROR_MESSAGE_LEN];
  const int n = info ? onig_error_code_to_str(buf, code, info) : onig_error_code_to_str(buf, code);
  return "Oniguruma error: " + std::string(reinterpret_cast<const char*>(buf), n > 0 ? static_cast<std::size_t>(n) : 0);
}

std::size_t char_len_at(std::string_view s, std::size_t i) {
  if (i >= s.size()) return 1;
  const std::size_t n = Utf8::char_length(reinterpret_cast<const unsigned char*>(s.data()) + i, s.size() - i);
  return n == 0 ? 1 : n;
}

}  // namespace

OnigRegex::OnigRegex(std::string_view pattern) : pattern_(pattern) {
  if (Utf8::repair(pattern) != pattern) throw std::invalid_argument("Oniguruma error: pattern is not valid UTF-8");
  std::lock_guard<std::mutex> lock(compile_mutex());
  static const bool initialised = [] {
    OnigEncoding encodings[] = {ONIG_ENCODING_UTF8};
    onig_initialize(encodings, 1);
    return true;
  }();
  (void)initialised;
  regex_t* reg = nullptr;
  OnigErrorInfo info{};
  const auto* p = reinterpret_cast<const OnigUChar*>(pattern_.data());
  const int r = onig_new(&reg, p, p + pattern_.size(), ONIG_OPTION_NONE, ONIG_ENCODING_UTF8, ONIG_SYNTAX_DEFAULT, &info);
  if (r != ONIG_NORMAL) {
    if (reg) onig_free(reg);
    throw std::invalid_argument(error_text(r, &info));
  }
  regex_ = reg;
}

OnigRegex::~OnigRegex() {
  if (regex_) onig_free(static_cast<regex_t*>(regex_));
}

std::vector<std::pair<std::size_t, std::size_t>> OnigRegex::find_all(std::string_view text) const {
  std::vector<std::pair<std::size_t, std::size_t>> out;
  for_each_match(text, [&](std::size_t s, std::size_t e) { out.emplace_back(s, e); });
  return out;
}

void OnigRegex::visit(std::string_view text, void (*on_match)(void*, std::size_t, std::size_t), void* ctx) const {
  auto* reg = static_cast<regex_t*>(regex_);
  std::unique_ptr<OnigRegion, void (*)(OnigRegion*)> region(onig_region_new(), [](OnigRegion* r) { onig_region_free(r, 1); });
  if (!region) throw std::bad_alloc();
  const auto* str = reinterpret_cast<const OnigUChar*>(text.data());
  const OnigUChar* end = str + text.size();
  std::size_t last_end = 0;
  // An empty match right where a non-empty match ended is dropped (an empty match found
  // further on is kept).
  bool after_nonempty = false;
  std::size_t nonempty_end = 0;
  while (last_end <= text.size()) {
    onig_region_clear(region.get());
    const int r = onig_search(reg, str, end, str + last_end, end, region.get(), ONIG_OPTION_NONE);
    if (r == ONIG_MISMATCH) break;
    if (r < 0) throw std::runtime_error(error_text(r, nullptr));
    const auto s = static_cast<std::size_t>(region->beg[0]);
    const auto e = static_cast<std::size_t>(region->end[0]);
    last_end = e;
    if (s == e) {
      last_end += char_len_at(text, last_end);
      const bool drop = after_nonempty && s == nonempty_end;
      after_nonempty = false;
      if (drop) continue;
    } else {
      after_nonempty = true;
      nonempty_end = e;
    }
    on_match(ctx, s, e);
  }
}

}  // namespace corvane
