#include "common/cp1252.h"

namespace zel {

namespace {

// Code points of 0x80..0x9F; 0 where the byte is undefined.
constexpr char32_t kHigh[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

}  // namespace

std::size_t cp1252_to_utf8(unsigned char b, char (&out)[3]) {
  char32_t c = (b >= 0x80 && b < 0xA0) ? kHigh[b - 0x80] : b;
  if (c == 0 && b != 0) c = U'?';
  if (c < 0x80) {
    out[0] = static_cast<char>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<char>(0xC0 | (c >> 6));
    out[1] = static_cast<char>(0x80 | (c & 0x3F));
    return 2;
  }
  out[0] = static_cast<char>(0xE0 | (c >> 12));
  out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
  out[2] = static_cast<char>(0x80 | (c & 0x3F));
  return 3;
}

std::string cp1252_to_utf8(const std::string& in) {
  std::string out;
  for (const char ch : in) {
    char utf8[3];
    out.append(utf8, cp1252_to_utf8(static_cast<unsigned char>(ch), utf8));
  }
  return out;
}

std::string utf8_to_cp1252(const std::string& in) {
  std::string out;
  for (std::size_t i = 0; i < in.size();) {
    const auto b = static_cast<unsigned char>(in[i]);
    char32_t c = b;
    std::size_t len = 1;
    if (b >= 0xE0 && i + 2 < in.size()) {
      c = ((b & 0x0Fu) << 12) | ((in[i + 1] & 0x3Fu) << 6) | (in[i + 2] & 0x3Fu);
      len = 3;
    } else if (b >= 0xC0 && i + 1 < in.size()) {
      c = ((b & 0x1Fu) << 6) | (in[i + 1] & 0x3Fu);
      len = 2;
    }
    i += len;
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
      out += static_cast<char>(c);
      continue;
    }
    char mapped = '?';
    for (int k = 0; k < 32; ++k) {
      if (kHigh[k] == c) mapped = static_cast<char>(0x80 + k);
    }
    out += mapped;
  }
  return out;
}

}  // namespace zel
