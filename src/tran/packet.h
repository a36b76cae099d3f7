// Packet framing: a 10-byte header (length, type, sender name) and the message.
// Framing builds a packet; the reading side tells how long a packet is and what
// its header says, for whoever receives packets (the gateway, the tests).
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kPacketHeaderSize = 10;

// Frames message into out (outSize bytes). Returns the packet length (message
// length + 10), or -1 for an absent or empty name or message, or when the packet
// would not fit in out (nothing written then).
int ZEL_MakePacket(int type, const char* clientName, const char* message, unsigned char* out,
                   std::size_t outSize);

struct ZELPacketHeader {
  std::uint32_t length;  // bytes that follow the length field: 6 + the message
  std::uint16_t type;
  char sender[4];  // not terminated; a short name is followed by zero bytes
};

// The header of the n bytes at data; false when fewer than 10 bytes are there.
bool ZEL_ReadPacketHeader(const unsigned char* data, std::size_t n, ZELPacketHeader* out);

// The whole size of the packet that starts at data (4 + its length field), or 0
// while fewer than 4 bytes have arrived.
std::size_t ZEL_PacketSize(const unsigned char* data, std::size_t n);
