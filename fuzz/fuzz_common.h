// Helpers shared by the fuzz targets: cutting the input into parts, and buffers
// of exactly the requested size on the heap, so that the address sanitizer sees
// any write past a text's capacity.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/text.h"
#include "log/log.h"

namespace zf {

// Cuts data at every zero byte into at most maxParts parts (the last keeps the
// rest, zeros included). Seeds are written the same way: parts joined by "\0".
inline std::vector<std::string> split(const std::uint8_t* data, std::size_t size,
                                      std::size_t maxParts) {
  std::vector<std::string> parts;
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  while (parts.size() + 1 < maxParts) {
    const std::size_t zero = rest.find('\0');
    if (zero == std::string_view::npos) break;
    parts.emplace_back(rest.substr(0, zero));
    rest.remove_prefix(zero + 1);
  }
  parts.emplace_back(rest);
  return parts;
}

// The part at i, or "" when the input had fewer parts.
inline const std::string& part(const std::vector<std::string>& parts, std::size_t i) {
  static const std::string empty;
  return i < parts.size() ? parts[i] : empty;
}

// A number from the first bytes of a part (little-endian), or 0.
inline std::size_t number(const std::string& s, std::size_t bytes) {
  std::size_t v = 0;
  for (std::size_t i = 0; i < bytes && i < s.size(); ++i) {
    v |= static_cast<std::size_t>(static_cast<unsigned char>(s[i])) << (8 * i);
  }
  return v;
}

// A text buffer of exactly capacity + 1 bytes, holding s cut at its first zero
// byte and at the capacity.
class ExactText {
 public:
  ExactText(std::string_view s, std::size_t capacity)
      : buf_(new char[capacity + 1]), cap_(capacity) {
    std::memset(buf_.get(), 0, capacity + 1);
    s = s.substr(0, s.find('\0'));
    s = s.substr(0, capacity);
    std::memcpy(buf_.get(), s.data(), s.size());
  }
  zel::TextRef ref() { return zel::TextRef(buf_.get(), cap_); }
  const char* c_str() const { return buf_.get(); }
  std::string str() const { return std::string(buf_.get()); }

 private:
  std::unique_ptr<char[]> buf_;
  std::size_t cap_;
};

// A terminated copy of s cut at its first zero byte, in a buffer of exactly its size.
inline std::unique_ptr<char[]> cstr(std::string_view s) {
  s = s.substr(0, s.find('\0'));
  std::unique_ptr<char[]> out(new char[s.size() + 1]);
  std::memcpy(out.get(), s.data(), s.size());
  out[s.size()] = '\0';
  return out;
}

// Ends the run as a crash, so that libFuzzer keeps the input that broke a rule.
[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}
#define ZF_CHECK(cond)              \
  do {                              \
    if (!(cond)) ::zf::fail(#cond); \
  } while (0)

// Opens the log on the null device with every level, so that each log line is
// formatted with the fuzzed texts without filling a disk.
inline void open_null_log() {
  static char spec[] = "/dev/null,0,300";
  LOG_Open(0, 300, spec);
}

}  // namespace zf
