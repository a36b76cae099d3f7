#include "common/number.h"

#include <climits>

namespace zel {

int to_int(const char* text) {
  if (text == nullptr) return 0;
  const char* s = text;
  while (*s == ' ' || (*s >= '\t' && *s <= '\r')) ++s;
  const bool negative = *s == '-';
  if (*s == '-' || *s == '+') ++s;
  // Accumulated as a negative number, whose range holds INT_MIN.
  long long v = 0;
  for (; *s >= '0' && *s <= '9'; ++s) {
    v = v * 10 - (*s - '0');
    if (v < INT_MIN) return negative ? INT_MIN : INT_MAX;
  }
  if (!negative) return v < -INT_MAX ? INT_MAX : static_cast<int>(-v);
  return static_cast<int>(v);
}

}  // namespace zel
