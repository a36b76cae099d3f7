// Fuzz target: the field operations, packet framing and the fixed layout on texts
// and capacities chosen by the input, in buffers of exactly their capacity (so
// the address sanitizer sees any write past one), each checked against what it
// must do. Input: capacity byte, name (3 bytes), value length byte, value, text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "client/layout.h"
#include "tran/fields.h"
#include "tran/packet.h"

#define CHECK(c) \
  if (!(c)) std::abort()

namespace {

// A text of exactly capacity + 1 bytes on the heap, holding s cut to fit.
struct Exact {
  Exact(const std::string& s, std::size_t capacity)
      : buf(new char[capacity + 1]()), ref(buf.get(), capacity) {
    ref.assign(std::string_view(s.c_str(), std::min(std::strlen(s.c_str()), capacity)));
  }
  std::unique_ptr<char[]> buf;
  zel::TextRef ref;
};

void check_fields(const std::string& text, std::size_t cap, const std::string& name,
                  const std::string& value) {
  // Get: the value between the first '=' after the first occurrence and the next '|'.
  Exact dest("#", cap);
  const std::string mark(dest.ref.view());
  zel::TextRef d = dest.ref;
  const bool valid = !text.empty() && text.size() <= kGetFieldSourceMax && !name.empty();
  const std::size_t at = text.find(name);
  const std::size_t eq = at == std::string::npos ? at : text.find('=', at);
  const std::size_t bar = eq == std::string::npos ? eq : text.find('|', eq + 1);
  const char* r = ZEL_TranGetField(text.c_str(), name.c_str(), &d);
  if (!valid || (bar != std::string::npos && bar - eq - 1 > cap)) {
    CHECK(r == nullptr && dest.ref.view() == mark);  // refused whole, never cut
  } else {
    CHECK(r == dest.buf.get());
    CHECK(dest.ref.view() == (bar == std::string::npos ? mark : text.substr(eq + 1, bar - eq - 1)));
  }
  // Put and End: appended whole or not at all.
  Exact t(text, cap);
  const std::string before(t.ref.view());
  const std::string added =
      (before.empty() || before.back() != '|' ? "|" : "") + name + "=" + value;
  if (ZEL_TranPutfield(t.ref, name.c_str(), value.c_str()) == 0) {
    CHECK(!name.empty() && t.ref.view() == before + added);
  } else {
    CHECK(t.ref.view() == before && (name.empty() || before.size() + added.size() > cap));
  }
  const std::string put(t.ref.view());
  if (ZEL_TranEnd(t.ref) == 0) {
    CHECK(t.ref.view() == (put.empty() ? put : put + "|"));
  } else {
    CHECK(t.ref.view() == put && put.size() == cap);
  }
  // Del: the first occurrence through the next bar.
  Exact del(text, cap);
  const std::string was(del.ref.view());
  ZEL_TranDelField(del.ref, name.c_str());
  const std::size_t from = name.empty() ? std::string::npos : was.find(name);
  const std::size_t to = from == std::string::npos ? from : was.find('|', from);
  CHECK(del.ref.view() ==
        (to == std::string::npos ? was : was.substr(0, from) + was.substr(to + 1)));
}

void check_packet(const std::string& name, const std::string& message) {
  unsigned char out[kPacketHeaderSize + 64];
  const int n = ZEL_MakePacket(7, name.c_str(), message.c_str(), out, sizeof out);
  if (name.empty() || message.empty() || message.size() + kPacketHeaderSize > sizeof out) {
    CHECK(n == -1);
    return;
  }
  ZELPacketHeader h{};
  CHECK(n == static_cast<int>(message.size()) + kPacketHeaderSize);
  CHECK(ZEL_ReadPacketHeader(out, static_cast<std::size_t>(n), &h));
  CHECK(ZEL_PacketSize(out, 4) == static_cast<std::size_t>(n) && h.type == 7);
  CHECK(std::strncmp(h.sender, name.c_str(), 4) == 0);
  CHECK(std::memcmp(out + kPacketHeaderSize, message.data(), message.size()) == 0);
}

void check_layout(const std::string& text, std::size_t cap) {
  Exact t(text, cap);
  const std::string before(t.ref.view());
  if (ZELClient_FixedLayout(t.ref)) {
    CHECK(t.ref.size() >= 2 && t.ref.view().substr(t.ref.size() - 2) == "|\n");
  } else {
    CHECK(t.ref.view() == before);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5) return 0;
  const std::size_t cap = data[0];
  const std::string name(reinterpret_cast<const char*>(data) + 1, 3);
  std::size_t valueLen = data[4];
  if (valueLen > size - 5) valueLen = size - 5;
  const std::string value(reinterpret_cast<const char*>(data) + 5, valueLen);
  const std::string text(reinterpret_cast<const char*>(data) + 5 + valueLen, size - 5 - valueLen);
  // Texts end at their first zero byte, as terminated texts do.
  const auto cut = [](const std::string& s) { return s.substr(0, s.find('\0')); };
  check_fields(cut(text), cap, cut(name), cut(value));
  check_packet(cut(name), cut(value));
  check_layout(cut(text), cap * 8);
  return 0;
}
