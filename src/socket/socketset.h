// The socket set and its highest socket: bookkeeping for a user of the socket
// layer that waits on several sockets at once. Kept in single-threaded mode for
// listening sockets and the connections accepted on them; nothing in the layer
// reads it.
#pragma once

#include <cstdint>

constexpr int kSocketSetSize = 64;

struct SocketSet {
  std::uint32_t count;
  std::int32_t members[kSocketSetSize];
};

const SocketSet& SOCKET_GetSet();
int SOCKET_GetHighest();

namespace sock {

void set_add(std::int32_t socket);     // ignored once the set is full
void set_remove(std::int32_t socket);  // the first equal member; order kept
void set_clear();
void raise_highest(std::int32_t socket);
void set_highest(std::int32_t socket);

}  // namespace sock
