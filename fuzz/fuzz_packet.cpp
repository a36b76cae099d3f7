// Fuzz target: packet framing and the Windows text format of the files. A packet
// is the 10-byte header and the message, never longer than its buffer; a text
// translated to disk form and read back, in chunks cut anywhere, is unchanged.
// Input: type (2 bytes) \0 client name \0 buffer size (2 bytes) \0 message.
#include <string>

#include "fileutil/textfile.h"
#include "fuzz_common.h"
#include "tran/packet.h"

namespace {

void check_packet(int type, const std::string& name, std::size_t outSize,
                  const std::string& message) {
  const auto nm = zf::cstr(name);
  const auto msg = zf::cstr(message);
  const std::string text = msg.get();
  std::unique_ptr<unsigned char[]> out(new unsigned char[outSize + 1]);
  std::memset(out.get(), 0xA5, outSize + 1);
  const int n = ZEL_MakePacket(type, nm.get(), msg.get(), out.get(), outSize);

  if (name.empty() || name[0] == '\0' || text.empty() ||
      outSize < text.size() + kPacketHeaderSize) {
    ZF_CHECK(n == -1);
    for (std::size_t i = 0; i <= outSize; ++i) ZF_CHECK(out[i] == 0xA5);  // nothing written
    return;
  }
  ZF_CHECK(n == static_cast<int>(text.size()) + kPacketHeaderSize);
  const std::size_t length = static_cast<std::size_t>(out[0]) << 24 |
                             static_cast<std::size_t>(out[1]) << 16 |
                             static_cast<std::size_t>(out[2]) << 8 | out[3];
  ZF_CHECK(length == text.size() + 6);
  ZF_CHECK((out[4] << 8 | out[5]) == (type & 0xFFFF));
  const std::string shortName = std::string(nm.get()).substr(0, 4);
  for (std::size_t i = 0; i < 4; ++i) {
    ZF_CHECK(out[6 + i] == (i < shortName.size() ? static_cast<unsigned char>(shortName[i]) : 0));
  }
  ZF_CHECK(std::memcmp(out.get() + kPacketHeaderSize, text.data(), text.size()) == 0);
  ZF_CHECK(static_cast<std::size_t>(n) == outSize || out[n] == 0xA5);  // nothing past the packet
}

// Encodes to disk form, then reads it back in chunks whose sizes come from seed.
void check_text_format(const std::string& text, std::size_t seed) {
  std::unique_ptr<char[]> disk(new char[2 * text.size() + 1]);
  const std::size_t n = zel::crlf_encode(text, disk.get());
  ZF_CHECK(n <= 2 * text.size());

  zel::CrLfReader reader;
  std::string back;
  std::size_t at = 0;
  while (at < n) {
    std::size_t chunk = 1 + (seed % 7);
    seed = seed * 1103515245u + 12345u;
    if (chunk > n - at) chunk = n - at;
    std::unique_ptr<char[]> piece(new char[chunk + 1]);
    const std::size_t got = reader.translate(disk.get() + at, chunk, piece.get());
    ZF_CHECK(got <= chunk + 1);
    back.append(piece.get(), got);
    at += chunk;
  }
  char tail[1];
  back.append(tail, reader.finish(tail));
  ZF_CHECK(back == text);  // every byte comes back, a lone CR included
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zf::open_null_log();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto parts = zf::split(data, size, 4);
  const int type = static_cast<int>(zf::number(zf::part(parts, 0), 4));
  const std::string& name = zf::part(parts, 1);
  const std::size_t outSize = zf::number(zf::part(parts, 2), 2) % 4200;
  const std::string& message = zf::part(parts, 3);
  check_packet(type, name, outSize, message);
  check_packet(type, name, message.size() + kPacketHeaderSize, message);
  check_text_format(message, size);
  return 0;
}
