// The gateway link: TLS (a verified gateway, or a local answer with the cause
// tls and its fault named) and a second address (tried at once when the first
// cannot be reached; a request sent is never sent again). One row per case, each
// held to the same invariants: one answer, the gateway asked once at most, no
// request text on the wire with TLS, one ERROR per failed handshake.
#ifndef _WIN32
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "certs.h"
#endif

#include <gtest/gtest.h>

#include "socket/socket.h"
#include "testsupport.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using zt::kRequest;

#ifndef _WIN32
// The run's certificates, made once: ours/ (ca.pem and what it signs) and other/
// (an authority the service does not know).
const zt::TempDir& certs() {
  static zt::TempDir dir;
  static const bool made = [] {
    fs::create_directories(dir / "ours");
    fs::create_directories(dir / "other");
    const std::string ours = (dir / "ours").string();
    std::string why;
    gw::CertSpec expired, wrongName, soon, client;
    expired.fromDays = -10;
    expired.toDays = -1;
    wrongName.names = "gateway.example";
    soon.toDays = 5;
    client.client = true;
    return gw::make_certificate(ours, "good", {}, &why) &&
           gw::make_certificate(ours, "expired", expired, &why) &&
           gw::make_certificate(ours, "wrongname", wrongName, &why) &&
           gw::make_certificate(ours, "soon", soon, &why) &&
           gw::make_certificate(ours, "client", client, &why) &&
           gw::make_certificate((dir / "other").string(), "good", {}, &why);
  }();
  EXPECT_TRUE(made);
  return dir;
}

// Forwards one connection at a time from its port to 127.0.0.1:target, keeping
// every byte the client sent: what a capture of the wire would show.
class Relay {
 public:
  explicit Relay(int target) : target_(target) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_ANY);  // 127.0.0.2 too
    socklen_t len = sizeof sa;
    ::bind(listener_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    ::listen(listener_, 8);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    thread_ = std::thread([this] { run(); });
  }
  ~Relay() {
    ::shutdown(listener_, SHUT_RDWR);
    ::close(listener_);
    thread_.join();
  }
  int port() const { return port_; }
  std::string sent() const { return sent_; }  // read once the exchanges are over

 private:
  void run() {
    for (int client; (client = ::accept(listener_, nullptr, nullptr)) >= 0;) {
      const int server = ::socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in sa{};
      sa.sin_family = AF_INET;
      sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      sa.sin_port = htons(static_cast<std::uint16_t>(target_));
      if (::connect(server, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) pump(client, server);
      ::close(server);
      ::close(client);
    }
  }
  void pump(int client, int server) {
    pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    char buf[4096];
    while (::poll(p, 2, 5000) > 0) {
      for (int i = 0; i < 2; ++i) {
        if (p[i].revents == 0) continue;
        const ssize_t n = ::read(p[i].fd, buf, sizeof buf);
        if (n <= 0) return;
        if (i == 0) sent_.append(buf, static_cast<std::size_t>(n));
        // A side that has gone fails the send; it raises no SIGPIPE in the test.
        if (::send(p[1 - i].fd, buf, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) return;
      }
    }
  }
  int target_;
  int listener_;
  int port_ = 0;
  std::string sent_;
  std::thread thread_;
};
#endif

// What stands at an address.
enum class At {
  None,      // no second address
  Closed,    // nothing listens: refused
  Full,      // a listener whose queue is full: the connection is never made
  Mute,      // a gateway that takes the packet and never answers
  Approver,  // a gateway that approves
};

struct Row {
  const char* name;
  bool tls;
  const char* serverCert;  // the gateway's, in ours/ (or "other" for the unknown authority)
  At first, second;
  std::vector<std::string> env;  // further settings; {CERTS} is the certificates' folder
  const char* expect;            // the answer's F52 prefix: "GW" the gateway's, "I"/"G" local
  const char* fault;             // the ERROR of the failed handshake; "" none
  const char* firstHost = "127.0.0.1";  // 127.0.0.2: not the certificate's
  bool clientRequired = false;          // the gateway wants a client certificate
};

// clang-format off
const Row kRows[] = {
    {"Verified", true, "good", At::Approver, At::None, {}, "GW", ""},
    {"UnknownIssuer", true, "other", At::Approver, At::None, {}, "I", "emisor desconocido"},
    {"WrongName", true, "wrongname", At::Approver, At::None, {}, "I", "no es del nombre", "localhost"},
    {"Expired", true, "expired", At::Approver, At::None, {}, "I", "esta vencido"},
    {"PinMismatch", true, "good", At::Approver, At::None, {"ZELCLIENT_TLS_PIN={PIN:soon}"}, "I",
     "no es la fijada"},
    {"PinMatches", true, "good", At::Approver, At::None, {"ZELCLIENT_TLS_PIN={PIN:good}"}, "GW", ""},
    {"ExpiresSoon", true, "soon", At::Approver, At::None, {}, "GW", ""},
    {"ClientCertificateMissing", true, "good", At::Approver, At::None, {}, "I", "rechazo",
     "127.0.0.1", true},
    {"ClientCertificateGiven", true, "good", At::Approver, At::None,
     {"ZELCLIENT_TLS_CERT={CERTS}/ours/client.pem", "ZELCLIENT_TLS_KEY={CERTS}/ours/client.key"},
     "GW", "", "127.0.0.1", true},
    {"FirstRefuses", false, "", At::Closed, At::Approver, {}, "GW", ""},
    {"FirstSilent", false, "", At::Full, At::Approver, {}, "GW", ""},
    {"FirstFailsItsHandshake", true, "good", At::Approver, At::Approver, {}, "GW",
     "no es del nombre", "127.0.0.2"},
    {"FirstTakesTheRequestAndNeverAnswers", false, "", At::Mute, At::Approver, {}, "I", ""},
};
// clang-format on

class Link : public ::testing::TestWithParam<Row> {};

std::string fill(std::string text, const fs::path& certs) {
  const std::string key = "{CERTS}";
  if (const std::size_t at = text.find(key); at != std::string::npos) {
    text.replace(at, key.size(), certs.string());
  }
#ifndef _WIN32
  if (const std::size_t at = text.find("{PIN:"); at != std::string::npos) {
    const std::size_t end = text.find('}', at);
    const std::string stem = text.substr(at + 5, end - at - 5);
    text.replace(at, end - at + 1, gw::public_key_pin((certs / "ours" / (stem + ".pem")).string()));
  }
#endif
  return text;
}

TEST_P(Link, OneAnswerOneAskNothingInTheClear) {
  const Row& row = GetParam();
  if (zt::kWindows && row.tls) GTEST_SKIP() << "TLS under Wine: scripts/test-windows-tls.sh";
#ifndef _WIN32
  const fs::path dir = certs().path();
  if (row.tls) {
    const fs::path cert = row.serverCert == std::string("other")
                              ? dir / "other" / "good.pem"
                              : dir / "ours" / (std::string(row.serverCert) + ".pem");
    std::string why;
    std::string key = cert.string();
    key.replace(key.size() - 4, 4, ".key");
    ASSERT_TRUE(gw::serve_tls(cert.string(), key,
                              row.clientRequired ? (dir / "ours" / "ca.pem").string() : "", &why))
        << why;
  }
#else
  const fs::path dir;
#endif
  ASSERT_TRUE(gw::start_sockets());
  // Each address: what stands there, and the gateway stand-in when it is one.
  std::unique_ptr<gw::Gateway> gateways[2];
  std::unique_ptr<zt::FullListener> full;
  int ports[2] = {0, 0};
  for (int i = 0; i < 2; ++i) {
    const At at = i == 0 ? row.first : row.second;
    if (at == At::Approver || at == At::Mute) {
      gateways[i] = std::make_unique<gw::Gateway>(
          at == At::Approver ? gw::approver() : [](const gw::Received&) { return gw::hold(); }, 0,
          row.tls);
      ports[i] = gateways[i]->port();
    } else if (at == At::Full) {
      full = std::make_unique<zt::FullListener>();
      ports[i] = full->port();
    } else if (at == At::Closed) {
      ports[i] = zt::closed_port();
    }
  }
#ifndef _WIN32
  std::unique_ptr<Relay> relay;
  if (row.tls) relay = std::make_unique<Relay>(ports[0]);  // the wire to the first address
  const int firstPort = relay ? relay->port() : ports[0];
#else
  const int firstPort = ports[0];
#endif
  std::vector<std::string> env = {zt::probe_hosts(zt::closed_port()),
                                  "ZELCLIENT_CONNECT_TIMEOUT_MS=1000",
                                  "ZELCLIENT_NET_TIMEOUT_MS=2000"};
  if (row.tls) {
    env.push_back("ZELCLIENT_TLS=on");
    env.push_back("ZELCLIENT_TLS_CA=" + (dir / "ours" / "ca.pem").string());
  }
  if (row.second != At::None) {
    env.push_back("ZELCLIENT_GATEWAY_ALT=127.0.0.1:" + std::to_string(ports[1]));
  }
  for (const std::string& e : row.env) env.push_back(fill(e, dir));
  const zt::TempDir metrics;
  env.push_back("ZELCLIENT_METRICS_FILE=" + (metrics / "zel.prom").string());
  const std::string first = std::string(row.firstHost) + ":" + std::to_string(firstPort);
  zt::Service svc(ports[0], {"-g", first, "-p", "-1"}, env);
  svc.logWindow = "1,44";
  svc.start();
  const auto started = std::chrono::steady_clock::now();
  const std::string answer = svc.ask("caja1", kRequest);
  const auto took = std::chrono::steady_clock::now() - started;

  // The answer: the gateway's, within the same exchange, or a local one.
  EXPECT_NE(answer.find(std::string("|F52=") + row.expect), std::string::npos) << answer;
  EXPECT_LT(took, 6s);  // the bounds: a connect (1 s) and a receive (2 s) at most
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(svc.answered("caja1"));  // answered once
  std::size_t asked = 0;
  for (const auto& g : gateways) asked += g ? zt::requests(*g).size() : 0;
  EXPECT_LE(asked, 1u);  // at most one ask, over every address
  EXPECT_EQ(asked, std::string(row.expect) == "GW" || row.first == At::Mute ? 1u : 0u);
  EXPECT_TRUE(svc.stop());

  const auto lines = svc.log();
  const std::string causes = zt::read_file(svc.work / "zelcausas.txt");
  const bool local = std::string(row.expect) != "GW";
  EXPECT_EQ(causes.find("|tls|") != std::string::npos, local && row.fault[0] != '\0') << causes;
  if (row.fault[0] != '\0') {  // one ERROR naming the fault, one WARNING of the change
    EXPECT_EQ(zt::count_with(lines, "ERROR\tZELClient_Process TLS con el gateway"), 1);
    EXPECT_EQ(zt::count_with(lines, row.fault), 2);
  }
  EXPECT_EQ(zt::count_with(lines, "vence el"), row.serverCert == std::string("soon") ? 1 : 0);

  // The metrics agree: a failed handshake counted once, the answering address up.
  const std::string prom = zt::read_file(metrics / "zel.prom");
  int failures = 0;
  for (std::size_t at = 0;
       (at = prom.find("\nzelclient_tls_failures_total{", at)) != std::string::npos;) {
    at = prom.find("} ", at) + 2;
    failures += std::atoi(prom.c_str() + at);
  }
  EXPECT_EQ(failures, row.fault[0] != '\0' ? 1 : 0) << prom;
  if (!local) {
    const int answering = row.first == At::Approver && row.fault[0] == '\0' ? firstPort : ports[1];
    EXPECT_NE(prom.find(":" + std::to_string(answering) + "\"} 1\n"), std::string::npos) << prom;
  }
#ifndef _WIN32
  if (relay) {
    EXPECT_EQ(relay->sent().find("556677"), std::string::npos);  // no request text
  }
#endif
}

std::string row_name(const ::testing::TestParamInfo<Row>& row) {
  return row.param.name;
}
INSTANTIATE_TEST_SUITE_P(Rows, Link, ::testing::ValuesIn(kRows), row_name);

}  // namespace
