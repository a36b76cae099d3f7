// Packet framing: a 10-byte header (length, type, sender name) and the message.
#pragma once

#include <cstddef>

constexpr int kPacketHeaderSize = 10;

// Frames message into out (outSize bytes). Returns the packet length (message
// length + 10), or -1 for an absent or empty name or message, or when the packet
// would not fit in out (nothing written then).
int ZEL_MakePacket(int type, const char* clientName, const char* message, unsigned char* out,
                   std::size_t outSize);
