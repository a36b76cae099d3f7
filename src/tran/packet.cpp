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
