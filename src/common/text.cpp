#include "common/text.h"

#include <cstdio>

namespace zel {

bool TextRef::assign(std::string_view s) {
  if (s.size() > cap_) return false;
  std::memmove(buf_, s.data(), s.size());
  buf_[s.size()] = '\0';
  return true;
}

bool TextRef::append(std::string_view s) {
  const std::size_t len = size();
  if (s.size() > cap_ - len) return false;
  std::memmove(buf_ + len, s.data(), s.size());
  buf_[len + s.size()] = '\0';
  return true;
}

void TextRef::truncate(std::size_t n) {
  if (n < size()) buf_[n] = '\0';
}

bool TextRef::vformat_at(std::size_t at, const char* fmt, va_list ap) {
  // Measure first, so that a result that does not fit leaves the text untouched.
  va_list probe;
  va_copy(probe, ap);
  const int n = std::vsnprintf(nullptr, 0, fmt, probe);
  va_end(probe);
  if (n < 0 || static_cast<std::size_t>(n) > cap_ - at) return false;
  std::vsnprintf(buf_ + at, cap_ + 1 - at, fmt, ap);
  return true;
}

bool TextRef::format(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  const bool ok = vformat_at(0, fmt, ap);
  va_end(ap);
  return ok;
}

bool TextRef::appendf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  const bool ok = vformat_at(size(), fmt, ap);
  va_end(ap);
  return ok;
}

std::size_t escape_control(unsigned char c, char (&out)[4]) {
  if (c >= 0x20 && c != 0x7f) {
    out[0] = static_cast<char>(c);
    return 1;
  }
  static const char kHex[] = "0123456789ABCDEF";
  out[0] = '\\';
  out[1] = 'x';
  out[2] = kHex[c >> 4];
  out[3] = kHex[c & 0x0f];
  return 4;
}

}  // namespace zel
