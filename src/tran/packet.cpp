#include "tran/packet.h"

#include <cstdint>
#include <cstring>

#include "log/log.h"

int ZEL_MakePacket(int type, const char* clientName, const char* message, unsigned char* out,
                   std::size_t outSize) {
  LOG_Print(LOG_TRAN_DEBUG, "ZEL_MakePacket Entry");
  int result = -1;
  if (clientName != nullptr && message != nullptr && clientName[0] != '\0' && message[0] != '\0' &&
      out != nullptr) {
    const std::size_t n = std::strlen(message);
    // The length field holds n + 6 in 32 bits, and the result is an int.
    if (n <= static_cast<std::size_t>(INT32_MAX) - kPacketHeaderSize &&
        outSize >= n + kPacketHeaderSize) {
      const auto length = static_cast<std::uint32_t>(n + 6);
      const auto type16 = static_cast<std::uint16_t>(type);
      out[0] = static_cast<unsigned char>(length >> 24);
      out[1] = static_cast<unsigned char>(length >> 16);
      out[2] = static_cast<unsigned char>(length >> 8);
      out[3] = static_cast<unsigned char>(length);
      out[4] = static_cast<unsigned char>(type16 >> 8);
      out[5] = static_cast<unsigned char>(type16);
      // The first four name bytes; a shorter name is followed by zero bytes (its
      // terminator and the cleared rest of its field), never read past its end.
      bool ended = false;
      for (int i = 0; i < 4; ++i) {
        ended = ended || clientName[i] == '\0';
        out[6 + i] = ended ? 0 : static_cast<unsigned char>(clientName[i]);
      }
      std::memcpy(out + kPacketHeaderSize, message, n);
      result = static_cast<int>(n) + kPacketHeaderSize;
    }
  }
  LOG_Print(LOG_TRAN_DEBUG, "ZEL_MakePacket Exit");
  return result;
}

bool ZEL_ReadPacketHeader(const unsigned char* data, std::size_t n, ZELPacketHeader* out) {
  if (data == nullptr || out == nullptr || n < kPacketHeaderSize) return false;
  out->length = static_cast<std::uint32_t>(ZEL_PacketSize(data, n) - 4);
  out->type = static_cast<std::uint16_t>(data[4] << 8 | data[5]);
  std::memcpy(out->sender, data + 6, sizeof out->sender);
  return true;
}

std::size_t ZEL_PacketSize(const unsigned char* data, std::size_t n) {
  if (data == nullptr || n < 4) return 0;
  const std::uint32_t length = static_cast<std::uint32_t>(data[0]) << 24 |
                               static_cast<std::uint32_t>(data[1]) << 16 |
                               static_cast<std::uint32_t>(data[2]) << 8 | data[3];
  return static_cast<std::size_t>(length) + 4;
}
