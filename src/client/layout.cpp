// The fixed-width answer layout. The text is rebuilt in a scratch copy with the
// field operations and copied back only when the whole result fits, so a text
// without room is left exactly as it was.
#include "client/layout.h"

#include <cstring>

#include "tran/fields.h"

namespace {

struct LayoutRow {
  const char* name;
  std::size_t width;  // a minimum: longer values are moved unchanged
  char pad;           // '0' pads on the left, ' ' on the right; '\0' no padding
  bool always;        // false: only when the text holds the name
};

constexpr LayoutRow kLayout[] = {
    {"F01", 10, '0', true},  {"F04", 20, '0', true},  {"F08", 10, '0', true},
    {"F41", 0, '\0', false}, {"F50", 2, '0', true},   {"F51", 50, ' ', true},
    {"F52", 12, '0', true},  {"F06", 100, '0', true}, {"F99", 6, '0', true},
};

// The field operations read sources of at most this many characters, so no
// longer text can be laid out.
constexpr std::size_t kMaxText = kGetFieldSourceMax;

bool pad(zel::TextRef value, const LayoutRow& row) {
  const std::size_t len = value.size();
  if (row.pad == '\0' || len >= row.width) return true;
  const std::size_t add = row.width - len;
  if (add > value.room()) return false;
  char* v = value.data();
  if (row.pad == ' ') {
    std::memset(v + len, ' ', add);
  } else {
    std::memmove(v + add, v, len);
    std::memset(v, '0', add);
  }
  v[row.width] = '\0';
  return true;
}

}  // namespace

bool ZELClient_FixedLayout(zel::TextRef text) {
  const std::size_t cap = text.capacity() < kMaxText ? text.capacity() : kMaxText;
  if (text.size() > cap) return false;
  char scratchBuf[kMaxText + 1];
  char valueBuf[kMaxText + 1];
  zel::TextRef work(scratchBuf, cap);
  work.assign(text.view());

  // Strip line ends from the back; the first character is never examined.
  std::size_t len = work.size();
  while (len > 1 && (scratchBuf[len - 1] == '\r' || scratchBuf[len - 1] == '\n')) {
    scratchBuf[--len] = '\0';
  }

  for (const LayoutRow& row : kLayout) {
    if (!row.always && ZEL_TranHasField(work.c_str(), row.name) == 0) continue;
    zel::TextRef value(valueBuf, kMaxText);
    value.clear();
    ZEL_TranGetField(work.c_str(), row.name, &value);
    if (!pad(value, row)) return false;
    ZEL_TranDelField(work, row.name);
    if (ZEL_TranPutfield(work, row.name, value.c_str()) != 0) return false;
  }
  if (ZEL_TranEnd(work) != 0 || !work.append('\n')) return false;
  text.assign(work.view());
  return true;
}
