#include "socket/socketset.h"

#include <cstring>

namespace sock {
namespace {

SocketSet g_set{};
std::int32_t g_highest = 0;

}  // namespace

void set_add(std::int32_t socket) {
  if (g_set.count < static_cast<std::uint32_t>(kSocketSetSize)) {
    g_set.members[g_set.count++] = socket;
  }
}

void set_remove(std::int32_t socket) {
  for (std::uint32_t i = 0; i < g_set.count; ++i) {
    if (g_set.members[i] == socket) {
      std::memmove(&g_set.members[i], &g_set.members[i + 1],
                   (g_set.count - i - 1) * sizeof g_set.members[0]);
      --g_set.count;
      return;
    }
  }
}

void set_clear() {
  g_set.count = 0;
}

void raise_highest(std::int32_t socket) {
  if (socket > g_highest) g_highest = socket;
}

void set_highest(std::int32_t socket) {
  g_highest = socket;
}

}  // namespace sock

const SocketSet& SOCKET_GetSet() {
  return sock::g_set;
}

int SOCKET_GetHighest() {
  return sock::g_highest;
}
