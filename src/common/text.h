// Fixed-capacity texts: a terminator-ended character buffer that knows its room,
// so that no append, assignment or format can ever write past its end.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "common/format_check.h"

namespace zel {

// A view on a caller-owned buffer of capacity() characters plus the terminator.
// Every operation that would not fit leaves the text unchanged and returns false.
class TextRef {
 public:
  TextRef(char* buffer, std::size_t capacity) : buf_(buffer), cap_(capacity) {}

  const char* c_str() const { return buf_; }
  char* data() { return buf_; }
  std::size_t capacity() const { return cap_; }
  std::size_t size() const { return std::strlen(buf_); }
  bool empty() const { return buf_[0] == '\0'; }
  std::size_t room() const { return cap_ - size(); }
  std::string_view view() const { return {buf_, size()}; }

  // Zeroes the whole buffer, terminator included.
  void clear() { std::memset(buf_, 0, cap_ + 1); }
  bool assign(std::string_view s);
  bool append(std::string_view s);
  bool append(char c) { return append(std::string_view(&c, 1)); }
  // Keeps the first n characters (no-op when the text is shorter).
  void truncate(std::size_t n);
  // printf into the buffer; on overflow the text is left unchanged and false returned.
  bool format(const char* fmt, ...) ZEL_PRINTF_LIKE(2, 3);
  bool appendf(const char* fmt, ...) ZEL_PRINTF_LIKE(2, 3);
  // Formats at offset at (0 or size()); all or nothing.
  bool vformat_at(std::size_t at, const char* fmt, va_list ap) ZEL_PRINTF_LIKE(3, 0);

 private:
  char* buf_;
  std::size_t cap_;
};

// A text that owns its buffer: N characters plus terminator, zeroed on construction.
template <std::size_t N>
class Text {
 public:
  static constexpr std::size_t kCapacity = N;
  Text() = default;
  explicit Text(std::string_view s) { ref().assign(s); }
  Text(const Text& other) { std::memcpy(buf_, other.buf_, sizeof buf_); }
  Text& operator=(const Text& other) {
    std::memcpy(buf_, other.buf_, sizeof buf_);
    return *this;
  }

  TextRef ref() { return TextRef(buf_, N); }
  operator TextRef() { return ref(); }  // NOLINT(google-explicit-constructor)

  const char* c_str() const { return buf_; }
  char* data() { return buf_; }
  static constexpr std::size_t capacity() { return N; }
  std::size_t size() const { return std::strlen(buf_); }
  bool empty() const { return buf_[0] == '\0'; }
  std::string_view view() const { return {buf_, size()}; }
  void clear() { std::memset(buf_, 0, sizeof buf_); }
  bool assign(std::string_view s) { return ref().assign(s); }
  bool append(std::string_view s) { return ref().append(s); }
  bool append(char c) { return ref().append(c); }
  void truncate(std::size_t n) { ref().truncate(n); }
  bool format(const char* fmt, ...) ZEL_PRINTF_LIKE(2, 3) {
    va_list ap;
    va_start(ap, fmt);
    const bool ok = ref().vformat_at(0, fmt, ap);
    va_end(ap);
    return ok;
  }
  bool appendf(const char* fmt, ...) ZEL_PRINTF_LIKE(2, 3) {
    va_list ap;
    va_start(ap, fmt);
    const bool ok = ref().vformat_at(size(), fmt, ap);
    va_end(ap);
    return ok;
  }

 private:
  char buf_[N + 1] = {};
};

// A byte as a line of the service's shows it: a control byte (a line feed, a
// carriage return, an escape) as the four characters \xNN, so that a line holds
// one record and nothing acts on a terminal that shows it; any other as it is.
// The characters into out; their count.
std::size_t escape_control(unsigned char c, char (&out)[4]);

}  // namespace zel
