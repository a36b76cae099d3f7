// zelgateway: a gateway simulator for zelclient. Listens on a TCP port, reads one
// packet per connection (10-byte header and field-list message) and answers as
// its mode says; one thread per connection, one line per exchange on stdout.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "exchange.h"
#include "log/log.h"
#include "platform/platform.h"
#include "socket/socket.h"

namespace {

struct Options {
  int port = 8000;
  GatewaySettings settings;
  char* log = nullptr;
};

void usage() {
  std::fprintf(stderr,
               "usage: zelgateway [-p PORT] [-m approve|reject|close|delay|silent|split] "
               "[-d MS] [-l LOG[,MIN,MAX]]\n"
               "  -p PORT  port to listen on (default 8000; 0: any free port)\n"
               "  -m MODE  approve (default): answer with F52; reject: answer without F52;\n"
               "           close: close without answering; delay: approve after -d MS;\n"
               "           silent: never answer; split: approve in two pieces -d MS apart\n"
               "  -d MS    delay of 'delay' and gap of 'split' (default 1000)\n"
               "  -l LOG   log file of the socket layer (window 1..300 unless given)\n");
}

// A whole decimal number in [0, max], or -1.
long number(const char* text, long max) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  return end != text && *end == '\0' && v >= 0 && v <= max ? v : -1;
}

bool parse(int argc, char** argv, Options* o) {
  static const struct {
    const char* name;
    GatewayMode mode;
  } kModes[] = {{"approve", GatewayMode::Approve}, {"reject", GatewayMode::Reject},
                {"close", GatewayMode::Close},     {"delay", GatewayMode::Delay},
                {"silent", GatewayMode::Silent},   {"split", GatewayMode::Split}};
  for (int i = 1; i < argc; ++i) {
    const char* opt = argv[i];
    if (std::strlen(opt) != 2 || opt[0] != '-' || i + 1 >= argc) return false;
    char* arg = argv[++i];
    switch (opt[1]) {
      case 'p': {
        const long port = number(arg, 65535);
        if (port < 0) return false;
        o->port = static_cast<int>(port);
        break;
      }
      case 'd': {
        const long ms = number(arg, 3600000);
        if (ms < 0) return false;
        o->settings.delayMs = static_cast<std::uint32_t>(ms);
        break;
      }
      case 'm': {
        bool known = false;
        for (const auto& m : kModes) {
          if (std::strcmp(arg, m.name) == 0) {
            o->settings.mode = m.mode;
            known = true;
          }
        }
        if (!known) return false;
        break;
      }
      case 'l':
        o->log = arg;
        break;
      default:
        return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  plat::process_setup();
  Options options;
  if (!parse(argc, argv, &options)) {
    usage();
    return 2;
  }
  if (options.log != nullptr) LOG_Open(1, 300, options.log);
  static std::atomic<bool> stop{false};
  plat::on_terminate(&stop);

  if (SOCKET_Init("T") != 0) {
    std::fprintf(stderr, "zelgateway: the socket layer cannot start\n");
    return 1;
  }
  char text[16];
  std::snprintf(text, sizeof text, "%d", options.port);
  const int listener = SOCKET_Open(text, 0);
  if (listener < 0) {
    std::fprintf(stderr, "zelgateway: cannot listen on port %d\n", options.port);
    return 1;
  }
  const int port = SOCKET_GetLocalPort(listener);
  std::printf("listening on port %d\n", port);
  std::fflush(stdout);

  // A stop request wakes the accept below with a connection of our own.
  std::atomic<bool> accepting{true};
  std::thread waker([&] {
    while (!stop) plat::sleep_ms(20);
    char self[32];
    std::snprintf(self, sizeof self, "127.0.0.1:%d", port);
    while (accepting) {
      const int id = SOCKET_Open(self, 0);
      if (id >= 0) SOCKET_Close(id, 2);
      plat::sleep_ms(100);
    }
  });

  std::atomic<int> active{0};
  while (!stop) {
    int length = 0;
    const int id = SOCKET_Receive(listener, nullptr, 0, 0, &length);
    if (id < 0) {
      plat::sleep_ms(10);  // table full or accept failure: the listener stays usable
      continue;
    }
    if (stop) {
      SOCKET_Close(id, 2);
      break;
    }
    ++active;
    try {
      std::thread([id, &options, &active] {
        GATEWAY_Exchange(id, options.settings, stop);
        SOCKET_Close(id, 2);
        --active;
      }).detach();
    } catch (...) {
      SOCKET_Close(id, 2);
      --active;
    }
  }
  accepting = false;
  waker.join();
  SOCKET_Close(listener, 2);

  // Exchanges end on the stop flag, or at the latest at their receive bound.
  for (int i = 0; i < 150 && active > 0; ++i) plat::sleep_ms(20);
  std::printf("stopped\n");
  std::fflush(stdout);
  if (active > 0) std::_Exit(0);  // a receive is still bounded elsewhere: leave it to the system
  SOCKET_End();
  LOG_Close();
  return 0;
}
