// zelbench_relay: the exactly-once floor, a minimal relay that does only what
// exactly-once needs of a service built on dropped files. For each request it
// takes the file by rename (TERMin.txt -> TERMin.zel), reads it, relays it to the
// gateway (connect, send, receive the whole packet, close), writes the answer whole
// under a name no terminal reads (TERMout.zel), publishes it by rename (-> TERMout.txt)
// and releases the request (unlinks TERMin.zel). No fsync, no exclusive open, no log,
// no journal, no local answers: a request it cannot relay ends it with status 1.
// It takes zelclient's command line (-n NAME -r ROOT -t T1,T2,... -g HOST:PORT;
// other options are ignored), so the end-to-end benchmark runs it in zelclient's
// place, and it ends with status 0 when ZELCLIENTSTOP.tmp appears in ROOT.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tran/packet.h"

namespace {

constexpr int kMaxTerminals = 16;
constexpr std::size_t kNameMax = 64;
constexpr std::size_t kRootMax = 1024;
constexpr std::size_t kPathMax = kRootMax + kNameMax + 16;
constexpr std::size_t kTextMax = 1100;

struct Relay {
  char sender[8] = "BNCH";
  char root[kRootMax] = ".";
  char terminals[kMaxTerminals][kNameMax] = {};
  int count = 0;
  sockaddr_in gateway{};
};

bool parse(int argc, char** argv, Relay* r) {
  r->gateway.sin_family = AF_INET;
  for (int i = 1; i + 1 < argc; i += 2) {
    const char* v = argv[i + 1];
    if (std::strcmp(argv[i], "-n") == 0) {
      std::snprintf(r->sender, sizeof r->sender, "%s", v);
    } else if (std::strcmp(argv[i], "-r") == 0) {
      std::snprintf(r->root, sizeof r->root, "%s", v);
    } else if (std::strcmp(argv[i], "-t") == 0) {
      for (const char* p = v; *p != '\0' && r->count < kMaxTerminals; ++r->count) {
        const std::size_t n = std::strcspn(p, ",");
        if (n == 0 || n >= kNameMax) return false;
        std::memcpy(r->terminals[r->count], p, n);
        p += p[n] == ',' ? n + 1 : n;
      }
    } else if (std::strcmp(argv[i], "-g") == 0) {
      const char* colon = std::strrchr(v, ':');
      char host[64] = {};
      if (colon == nullptr || colon - v >= static_cast<long>(sizeof host)) return false;
      std::memcpy(host, v, static_cast<std::size_t>(colon - v));
      r->gateway.sin_port = htons(static_cast<std::uint16_t>(std::atoi(colon + 1)));
      if (::inet_pton(AF_INET, host, &r->gateway.sin_addr) != 1) return false;
    }
  }
  return r->count > 0 && r->gateway.sin_port != 0;
}

// The exchange: the packet sent, the whole reply packet read into reply. Its size, or -1.
ssize_t exchange(const Relay& r, const unsigned char* packet, int length, unsigned char* reply,
                 std::size_t capacity) {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return -1;
  ssize_t got = 0;
  if (::connect(s, reinterpret_cast<const sockaddr*>(&r.gateway), sizeof r.gateway) != 0 ||
      ::send(s, packet, static_cast<std::size_t>(length), MSG_NOSIGNAL) != length) {
    got = -1;
  }
  while (got >= 0) {
    const std::size_t whole = ZEL_PacketSize(reply, static_cast<std::size_t>(got));
    if (whole > 0 && static_cast<std::size_t>(got) >= whole) break;
    const ssize_t n = ::recv(s, reply + got, capacity - static_cast<std::size_t>(got), 0);
    got = n > 0 ? got + n : -1;
  }
  ::close(s);
  return got;
}

// One request of terminal t, from its take to its release. false when it failed.
bool relay_one(const Relay& r, int t) {
  const char* name = r.terminals[t];
  char in[kPathMax], taken[kPathMax], part[kPathMax], out[kPathMax];
  std::snprintf(in, sizeof in, "%s/%sin.txt", r.root, name);
  std::snprintf(taken, sizeof taken, "%s/%sin.zel", r.root, name);
  std::snprintf(part, sizeof part, "%s/%sout.zel", r.root, name);
  std::snprintf(out, sizeof out, "%s/%sout.txt", r.root, name);
  if (::rename(in, taken) != 0) return true;  // not there (an event of an earlier take)

  char text[kTextMax + kNameMax];
  int fd = ::open(taken, O_RDONLY | O_CLOEXEC);
  const ssize_t got = fd >= 0 ? ::read(fd, text, kTextMax) : -1;
  if (fd >= 0) ::close(fd);
  if (got <= 0) return false;
  std::size_t n = static_cast<std::size_t>(got);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n')) --n;
  std::snprintf(text + n, sizeof text - n, "G41=%s|", name);  // as zelclient names it

  unsigned char packet[2048], reply[4096];
  const int length = ZEL_MakePacket(1, r.sender, text, packet, sizeof packet);
  const ssize_t size = length > 0 ? exchange(r, packet, length, reply, sizeof reply) : -1;
  if (size <= kPacketHeaderSize) return false;

  fd = ::open(part, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const auto body = static_cast<std::size_t>(size - kPacketHeaderSize);
  const bool written =
      fd >= 0 && ::write(fd, reply + kPacketHeaderSize, body) == static_cast<ssize_t>(body);
  if (fd >= 0 && ::close(fd) != 0) return false;
  return written && ::rename(part, out) == 0 && ::unlink(taken) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  static Relay relay;
  if (!parse(argc, argv, &relay)) {
    std::fprintf(stderr, "usage: zelbench_relay -r ROOT -t T1[,T2...] -g ADDRESS:PORT [-n NAME]\n");
    return 2;
  }
  const int ino = ::inotify_init1(IN_CLOEXEC);
  if (ino < 0 || ::inotify_add_watch(ino, relay.root, IN_CLOSE_WRITE | IN_MOVED_TO) < 0) {
    std::perror("zelbench_relay: inotify");
    return 1;
  }
  alignas(inotify_event) char events[8192];
  for (;;) {
    pollfd p{ino, POLLIN, 0};
    if (::poll(&p, 1, -1) < 0) return 1;
    const ssize_t n = ::read(ino, events, sizeof events);
    for (ssize_t at = 0; at < n;) {
      const auto* ev = reinterpret_cast<const inotify_event*>(events + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
      if (ev->len == 0) continue;
      if (std::strcmp(ev->name, "ZELCLIENTSTOP.tmp") == 0) return 0;
      for (int t = 0; t < relay.count; ++t) {
        const std::size_t len = std::strlen(relay.terminals[t]);
        if (std::strncmp(ev->name, relay.terminals[t], len) == 0 &&
            std::strcmp(ev->name + len, "in.txt") == 0 && !relay_one(relay, t)) {
          std::fprintf(stderr, "zelbench_relay: %s could not be relayed\n", ev->name);
          return 1;
        }
      }
    }
  }
}
