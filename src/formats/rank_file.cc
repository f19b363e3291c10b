#include "formats/rank_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <limits>
#include <stdexcept>
#include <system_error>

#include "core/utf8.h"

namespace corvane {

namespace {

bool is_ascii_space(unsigned char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r' || c == '\n'; }

struct LineError {
  const char* reason;
};

// Python's binascii.a2b_base64 in its default (non-strict) mode.
void b64decode(std::string_view s, std::string& out) {
  static const auto table = [] {
    std::array<int8_t, 256> t{};
    t.fill(-1);
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(alphabet[i])] = static_cast<int8_t>(i);
    return t;
  }();
  out.clear();
  int quad = 0, pads = 0;
  unsigned left = 0;
  for (unsigned char c : s) {
    if (c == '=') {
      if (quad >= 2 && quad + ++pads >= 4) return;  // complete padding ends the data
      continue;
    }
    const int v = table[c];
    if (v < 0) continue;
    pads = 0;
    switch (quad) {
      case 0:
        quad = 1;
        left = static_cast<unsigned>(v);
        break;
      case 1:
        quad = 2;
        out.push_back(static_cast<char>((left << 2) | (static_cast<unsigned>(v) >> 4)));
        left = static_cast<unsigned>(v) & 0x0f;
        break;
      case 2:
        quad = 3;
        out.push_back(static_cast<char>((left << 4) | (static_cast<unsigned>(v) >> 2)));
        left = static_cast<unsigned>(v) & 0x03;
        break;
      default:
        quad = 0;
        out.push_back(static_cast<char>((left << 6) | static_cast<unsigned>(v)));
        left = 0;
        break;
    }
  }
  if (quad == 1) throw LineError{"invalid base64 (one character more than a multiple of four)"};
  if (quad != 0) throw LineError{"invalid base64 (incorrect padding)"};
}

// Python's int() of an ASCII decimal literal, as a rank.
int32_t parse_rank(std::string_view s) {
  std::size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  if (i == s.size()) throw LineError{"the rank is not an integer"};
  int64_t value = 0;
  bool big = false, digit_before = false;
  for (; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '_') {
      if (!digit_before || i + 1 == s.size()) throw LineError{"the rank is not an integer"};
      digit_before = false;
      continue;
    }
    if (c < '0' || c > '9') throw LineError{"the rank is not an integer"};
    digit_before = true;
    if (!big) {
      value = value * 10 + (c - '0');
      if (value > std::numeric_limits<int32_t>::max()) big = true;
    }
  }
  if (big || (negative && value != 0)) throw LineError{"the rank is out of range (0 to 2147483647)"};
  return static_cast<int32_t>(value);
}

}  // namespace

std::string RankFile::bytes_repr(std::string_view bytes) {
  const bool has_single = bytes.find('\'') != std::string_view::npos;
  const bool has_double = bytes.find('"') != std::string_view::npos;
  const char quote = has_single && !has_double ? '"' : '\'';
  std::string out = "b";
  out.push_back(quote);
  static const char* hex = "0123456789abcdef";
  for (unsigned char c : bytes) {
    if (c == static_cast<unsigned char>(quote) || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c == '\t') {
      out.append("\\t");
    } else if (c == '\n') {
      out.append("\\n");
    } else if (c == '\r') {
      out.append("\\r");
    } else if (c < 0x20 || c >= 0x7f) {
      out.append("\\x");
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 15]);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  out.push_back(quote);
  return out;
}

RankedTokens RankFile::parse(std::string_view contents, std::string_view name) {
  RankedTokens e;
  e.bytes.reserve(contents.size() / 2);
  e.ends.reserve(contents.size() / 12);
  e.ranks.reserve(contents.size() / 12);
  std::string token;
  std::size_t pos = 0;
  const std::size_t n = contents.size();
  while (pos < n) {
    std::size_t eol = pos;
    while (eol < n && contents[eol] != '\n' && contents[eol] != '\r') ++eol;
    const std::string_view line = contents.substr(pos, eol - pos);
    pos = eol;
    if (pos < n) pos += (contents[pos] == '\r' && pos + 1 < n && contents[pos + 1] == '\n') ? 2 : 1;
    if (line.empty()) continue;
    try {
      std::string_view fields[2];
      std::size_t count = 0, i = 0;
      while (i < line.size()) {
        while (i < line.size() && is_ascii_space(static_cast<unsigned char>(line[i]))) ++i;
        if (i == line.size()) break;
        const std::size_t b = i;
        while (i < line.size() && !is_ascii_space(static_cast<unsigned char>(line[i]))) ++i;
        if (count < 2) fields[count] = line.substr(b, i - b);
        ++count;
      }
      if (count != 2) throw LineError{"expected a token and a rank separated by whitespace"};
      b64decode(fields[0], token);
      const int32_t rank = parse_rank(fields[1]);
      e.push(token, rank);
    } catch (const LineError& err) {
      throw std::invalid_argument("Error parsing line " + bytes_repr(line) + " in " + std::string(name) + ": " +
                                  err.reason);
    }
  }
  return e;
}

RankedTokens RankFile::read(const std::string& path) {
  if (path.find('\0') != std::string::npos) throw std::invalid_argument("embedded null byte");
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), path);
  std::string data;
  char buf[1 << 16];
  for (;;) {
    const ssize_t got = ::read(fd, buf, sizeof buf);
    if (got < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      throw std::system_error(err, std::generic_category(), path);
    }
    if (got == 0) break;
    data.append(buf, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return parse(data, Utf8::repair(path));
}

}  // namespace corvane
