// zelgateway: a gateway simulator for zelclient. Listens on a TCP port, reads one
// packet per connection (10-byte header and field-list message) and answers as
// its mode says; one thread per connection, one line per exchange on stdout.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "certs.h"
#include "common/cli.h"
#include "gateway.h"
#include "log/log.h"
#include "platform/platform.h"
#include "socket/socket.h"

namespace {

enum class Mode { Approve, Reject, Close, Delay, Silent, Split };

struct Options {
  int port = 8000;
  Mode mode = Mode::Approve;
  int delayMs = 1000;  // the wait of delay, the gap between the pieces of split
  long modeFor = 0;    // the mode for this many requests, then approve; 0: always
  char* log = nullptr;
  const char* tlsDir = nullptr;    // -s: serve TLS with the certificate there
  const char* clientCa = nullptr;  // -a: require client certificates of this authority
};

void usage(std::FILE* out) {
  std::fprintf(out,
               "usage: zelgateway [-p PORT] [-m approve|reject|close|delay|silent|split] "
               "[-d MS] [-n COUNT] [-l LOG[,MIN,MAX]] [-s DIR [-a CAFILE]]\n"
               "  -p PORT  port to listen on (default 8000; 0: any free port)\n"
               "  -m MODE  approve (default): answer with F52; reject: answer without F52;\n"
               "           close: close without answering; delay: approve after -d MS;\n"
               "           silent: never answer; split: approve in two pieces -d MS apart\n"
               "  -d MS    delay of 'delay' and gap of 'split' (default 1000)\n"
               "  -n COUNT the mode for the first COUNT requests, then approve (an outage\n"
               "           that ends; default 0: the mode for every request)\n"
               "  -l LOG   log file of the socket layer (window 1..300 unless given)\n"
               "  -s DIR   serve TLS with DIR/gateway.pem and DIR/gateway.key; made for\n"
               "           localhost and 127.0.0.1 when absent, signed by an authority of\n"
               "           the run's own, DIR/ca.pem (give it to zelclient: ZELCLIENT_TLS_CA)\n"
               "  -a FILE  with -s: require a client certificate signed by the authority\n"
               "           of FILE (PEM)\n");
}

// A whole decimal number in [0, max], or -1.
long number(const char* text, long max) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  return end != text && *end == '\0' && v >= 0 && v <= max ? v : -1;
}

bool parse(int argc, char** argv, Options* o) {
  static const char* const kModes[] = {"approve", "reject", "close", "delay", "silent", "split"};
  for (int i = 1; i < argc; ++i) {
    const char* opt = argv[i];
    if (std::strlen(opt) != 2 || opt[0] != '-' || i + 1 >= argc) return false;
    char* arg = argv[++i];
    long v = -1;
    switch (opt[1]) {
      case 'p':
        if ((v = number(arg, 65535)) < 0) return false;
        o->port = static_cast<int>(v);
        break;
      case 'd':
        if ((v = number(arg, 3600000)) < 0) return false;
        o->delayMs = static_cast<int>(v);
        break;
      case 'm':
        for (int m = 0; m < 6; ++m) {
          if (std::strcmp(arg, kModes[m]) == 0) v = m;
        }
        if (v < 0) return false;
        o->mode = static_cast<Mode>(v);
        break;
      case 'n':
        if ((o->modeFor = number(arg, 1000000000)) < 0) return false;
        break;
      case 'l':
        o->log = arg;
        break;
      case 's':
        o->tlsDir = arg;
        break;
      case 'a':
        o->clientCa = arg;
        break;
      default:
        return false;
    }
  }
  return true;
}

// Printable copy for the traffic line: control bytes show as '.'.
std::string printable(std::string text) {
  for (char& c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) c = '.';
  }
  return text;
}

// The mode as a script; prints one line per exchange.
gw::Script script(const Options& options) {
  auto approved = std::make_shared<std::atomic<std::uint32_t>>(0);
  auto requests = std::make_shared<std::atomic<long>>(0);
  return [options, approved, requests](const gw::Received& r) {
    Options o = options;
    if (r.whole() && r.type() != 0 && o.modeFor > 0 && ++*requests > o.modeFor) {
      o.mode = Mode::Approve;
    }
    if (r.status == gw::Received::Status::Refused) {
      std::printf("refused packet: length field %u\n", static_cast<unsigned>(r.length()));
    } else if (!r.whole()) {
      std::printf("incomplete packet: %zu bytes\n", r.bytes.size());
    }
    if (!r.whole()) {
      std::fflush(stdout);
      return gw::hang_up();
    }
    static const char* const kOutcomes[] = {"approved",
                                            "rejected",
                                            "closed without answer",
                                            "approved after a delay",
                                            "holding the connection without answer",
                                            "approved in two pieces"};
    const bool life = r.type() == 0;
    std::string text;
    std::string number;
    if (!life && o.mode == Mode::Reject) {
      text = gw::rejection_text(r.message());
    } else if (!life && o.mode != Mode::Close && o.mode != Mode::Silent) {
      text = gw::approval_text(r.message(), ++*approved);
      number = " F52=" + gw::field(text, "F52");
    }
    std::printf("type=%d sender=[%s] message=[%s] -> %s%s\n", r.type(),
                printable(r.sender()).c_str(), printable(r.message()).c_str(),
                life ? "life signal, no answer" : kOutcomes[static_cast<int>(o.mode)],
                number.c_str());
    std::fflush(stdout);
    if (life || o.mode == Mode::Close) return gw::hang_up();
    if (o.mode == Mode::Silent) return gw::hold();
    const std::string reply = gw::reply_packet(r.type(), text);
    if (o.mode == Mode::Split) {
      const std::size_t half = reply.size() / 2;
      return gw::answer({reply.substr(0, half), reply.substr(half)}, 0, o.delayMs);
    }
    return gw::answer({reply}, o.mode == Mode::Delay ? o.delayMs : 0);
  };
}

// TLS with the certificate of the folder -s names, made there when absent.
bool serve_tls(const Options& o) {
#ifdef _WIN32
  (void)o;
  std::fprintf(stderr, "zelgateway: TLS is served by the Linux build only\n");
  return false;
#else
  const std::string dir = o.tlsDir;
  const std::string cert = dir + "/gateway.pem", key = dir + "/gateway.key";
  std::string why;
  std::FILE* f = std::fopen(cert.c_str(), "r");
  if (f != nullptr) {
    std::fclose(f);
  } else if (!gw::make_certificate(dir, "gateway", gw::CertSpec{}, &why)) {
    std::fprintf(stderr, "zelgateway: %s\n", why.c_str());
    return false;
  } else {
    std::printf("TLS: made %s for localhost and 127.0.0.1, signed by %s/ca.pem\n", cert.c_str(),
                dir.c_str());
  }
  if (!gw::serve_tls(cert, key, o.clientCa != nullptr ? o.clientCa : "", &why)) {
    std::fprintf(stderr, "zelgateway: TLS: %s\n", why.c_str());
    return false;
  }
  std::printf("TLS: serving %s (public key pin %s)%s\n", cert.c_str(),
              gw::public_key_pin(cert).c_str(),
              o.clientCa != nullptr ? ", client certificates required" : "");
  return true;
#endif
}

}  // namespace

int main(int argc, char** argv) {
  if (const int done = zel::help_or_version(argc, argv, "zelgateway", usage); done >= 0)
    return done;
  plat::process_setup();
  Options options;
  if (!parse(argc, argv, &options)) {
    usage(stderr);
    return 2;
  }
  if (options.log != nullptr) LOG_Open(1, 300, options.log);
  static std::atomic<bool> stop{false};
  plat::on_terminate(&stop);

  if (!gw::start_sockets()) {
    std::fprintf(stderr, "zelgateway: the socket layer cannot start\n");
    return 1;
  }
  if (options.tlsDir != nullptr && !serve_tls(options)) return 1;
  gw::Gateway gateway(script(options), options.port, options.tlsDir != nullptr);
  if (!gateway.listening()) {
    std::fprintf(stderr, "zelgateway: cannot listen on port %d\n", options.port);
    return 1;
  }
  std::printf("listening on port %d\n", gateway.port());
  std::fflush(stdout);
  while (!stop) std::this_thread::sleep_for(std::chrono::milliseconds(20));

  // Exchanges end with the stop, or at the latest at their receive bound.
  const bool ended = gateway.stop(std::chrono::seconds(3));
  std::printf("stopped\n");
  std::fflush(stdout);
  if (!ended) std::_Exit(0);  // a receive is still bounded elsewhere: leave it to the system
  SOCKET_End();
  LOG_Close();
  return 0;
}
