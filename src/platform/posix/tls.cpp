// TLS with OpenSSL. Its records go through memory: what it makes is sent, and what
// arrives is read for it, with net.cpp's bounded calls, within what is left of the
// step's bound.
#include "platform/tls.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

namespace plat {

struct TlsLink {
  SSL* ssl;
  SocketValue s;
  BIO* in;   // records received, not yet opened
  BIO* out;  // records made, not yet sent
  TlsFault fault;
  bool closed;  // the peer closed the connection
};

namespace {

constexpr int kSessionSlots = 8;

SSL_CTX* g_client = nullptr;
SSL_CTX* g_server = nullptr;
unsigned char g_pin[32];
bool g_pinned = false;
std::mutex g_sessionsLock;
SSL_SESSION* g_sessions[kSessionSlots] = {};
int g_slotIndex = -1;  // ex_data index of an SSL's session slot

// The session a server gave (at the handshake in TLS 1.2, in a ticket after it in
// TLS 1.3) is kept for the address's next connection.
int keep_session(SSL* ssl, SSL_SESSION* session) {
  const auto slot = reinterpret_cast<std::intptr_t>(SSL_get_ex_data(ssl, g_slotIndex));
  if (slot < 0 || slot >= kSessionSlots) return 0;
  std::lock_guard<std::mutex> guard(g_sessionsLock);
  if (g_sessions[slot] != nullptr) SSL_SESSION_free(g_sessions[slot]);
  g_sessions[slot] = session;
  return 1;  // the reference is ours now
}

const char* last_error(char* buf, std::size_t cap) {
  const unsigned long e = ERR_peek_last_error();
  if (e == 0) return "sin detalle";
  ERR_error_string_n(e, buf, cap);
  return buf;
}

bool failed_setup(const char* what, const char* file, char* why, std::size_t cap) {
  char err[200];
  std::snprintf(why, cap, "%s %s: %s", what, file, last_error(err, sizeof err));
  ERR_clear_error();
  return false;
}

// Sends every record made so far, in one send when the socket takes them.
Status flush(TlsLink* l, std::int64_t deadline) {
  char* data = nullptr;
  const long n = BIO_get_mem_data(l->out, &data);
  const Status r =
      n > 0 ? net_send_all(l->s, data, static_cast<std::size_t>(n), deadline) : Status::Ok;
  (void)BIO_reset(l->out);
  return r;
}

// Reads what has arrived, in one read, for OpenSSL to open.
Status fill(TlsLink* l, std::int64_t deadline) {
  char buf[16 * 1024 + 512];
  std::size_t got = 0;
  const Status r = net_recv(l->s, buf, sizeof buf, ms_until(deadline), &got);
  if (r == Status::Ok) BIO_write(l->in, buf, static_cast<int>(got));
  if (r == Status::Closed) l->closed = true;
  return r;
}

std::int64_t not_after(X509* cert) {
  std::tm tm{};
  if (cert == nullptr || ASN1_TIME_to_tm(X509_get0_notAfter(cert), &tm) != 1) return 0;
  return static_cast<std::int64_t>(timegm(&tm));
}

TlsFault verify_fault(long result) {
  switch (result) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return TlsFault::Expired;
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return TlsFault::NotYetValid;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
      return TlsFault::UnknownIssuer;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return TlsFault::NameMismatch;
    default:
      return TlsFault::Other;
  }
}

// The fault of a handshake step that failed with sslError.
TlsFault step_fault(SSL* ssl, int sslError, bool timedOut) {
  if (timedOut) return TlsFault::TimedOut;
  const long verified = SSL_get_verify_result(ssl);
  if (verified != X509_V_OK) return verify_fault(verified);
  const unsigned long e = ERR_peek_last_error();
  if (ERR_GET_LIB(e) == ERR_LIB_SSL) {
    const int reason = ERR_GET_REASON(e);
    if (reason == SSL_R_WRONG_VERSION_NUMBER || reason == SSL_R_UNSUPPORTED_PROTOCOL ||
        reason == SSL_R_TLSV1_ALERT_PROTOCOL_VERSION || reason == SSL_R_PACKET_LENGTH_TOO_LONG) {
      return TlsFault::Protocol;
    }
    if (reason >= SSL_AD_REASON_OFFSET) return TlsFault::Refused;  // an alert from the peer
  }
  if (sslError == SSL_ERROR_ZERO_RETURN || (sslError == SSL_ERROR_SYSCALL && e == 0)) {
    return TlsFault::Closed;
  }
  return TlsFault::Other;
}

// Runs step (a handshake, a read or a write) until it is done or the deadline
// passes: what it wants to send goes out before each wait for the peer. Returns
// the step's result (> 0 done), its SSL error in *sslError and in *io what the
// socket said when it stopped the step (Ok otherwise).
template <typename Step>
int drive(TlsLink* l, std::int64_t deadline, Step step, int* sslError, Status* io) {
  *io = Status::Ok;
  for (;;) {
    ERR_clear_error();
    const int r = step();
    if (r > 0) return r;
    *sslError = SSL_get_error(l->ssl, r);
    if (*sslError != SSL_ERROR_WANT_READ) return r;
    if ((*io = flush(l, deadline)) != Status::Ok || (*io = fill(l, deadline)) != Status::Ok) {
      return -1;
    }
  }
}

// A link for ssl on socket s: records go through memory, sent and received here,
// so that a handshake's last flight leaves with the first data in one segment.
TlsLink* new_link(SSL* ssl, SocketValue s) {
  BIO* in = BIO_new(BIO_s_mem());
  BIO* out = BIO_new(BIO_s_mem());
  if (in == nullptr || out == nullptr) {
    BIO_free(in);
    BIO_free(out);
    SSL_free(ssl);
    return nullptr;
  }
  SSL_set_bio(ssl, in, out);  // the SSL owns them from now
  // Nothing a record waits for is held back (Nagle's delay): each send is whole.
  const int one = 1;
  ::setsockopt(static_cast<int>(s), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return new TlsLink{ssl, s, in, out, TlsFault::None, false};
}

void free_link(TlsLink* l) {
  SSL_free(l->ssl);
  delete l;
}

Status handshake(TlsLink* l, bool client, std::int32_t timeoutMs, TlsLink** link, TlsPeer* peer) {
  SSL* ssl = l->ssl;
  const std::int64_t deadline = monotonic_ms() + timeoutMs;
  int sslError = 0;
  Status io = Status::Ok;
  const int r = drive(
      l, deadline, [&] { return client ? SSL_connect(ssl) : SSL_accept(ssl); }, &sslError, &io);
  // A refusal (an alert) leaves at once; a last flight that succeeded (the
  // client's Finished, the server's tickets) leaves with the first data.
  if (r <= 0) flush(l, deadline);
  X509* cert = SSL_get1_peer_certificate(ssl);
  peer->notAfter = not_after(cert);
  if (r > 0 && client && g_pinned) {
    unsigned char der[4096];
    unsigned char* p = der;
    const int n = cert != nullptr ? i2d_X509_PUBKEY(X509_get_X509_PUBKEY(cert), nullptr) : -1;
    unsigned char digest[32];
    unsigned int dlen = 0;
    const bool same =
        n > 0 && n <= static_cast<int>(sizeof der) &&
        i2d_X509_PUBKEY(X509_get_X509_PUBKEY(cert), &p) == n &&
        EVP_Digest(der, static_cast<std::size_t>(n), digest, &dlen, EVP_sha256(), nullptr) == 1 &&
        dlen == 32 && std::memcmp(digest, g_pin, 32) == 0;
    if (!same) peer->fault = TlsFault::PinMismatch;
  }
  X509_free(cert);
  const bool timedOut = io == Status::TimedOut;
  if (r <= 0) {
    peer->fault = io == Status::Closed   ? TlsFault::Closed
                  : io == Status::Failed ? TlsFault::Other
                                         : step_fault(ssl, sslError, timedOut);
  }
  if (peer->fault != TlsFault::None) {
    char err[120];
    std::snprintf(peer->detail, sizeof peer->detail, "%s",
                  peer->fault == TlsFault::PinMismatch || io != Status::Ok
                      ? ""
                      : (SSL_get_verify_result(ssl) != X509_V_OK
                             ? X509_verify_cert_error_string(SSL_get_verify_result(ssl))
                             : last_error(err, sizeof err)));
    ERR_clear_error();
    free_link(l);
    return timedOut ? Status::TimedOut : Status::Failed;
  }
  peer->resumed = SSL_session_reused(ssl) == 1;
  *link = l;
  return Status::Ok;
}

}  // namespace

bool tls_client_setup(const TlsClientSettings& settings, char* why, std::size_t cap) {
  if (g_client != nullptr) SSL_CTX_free(g_client);
  g_client = SSL_CTX_new(TLS_client_method());
  if (g_client == nullptr) return failed_setup("SSL_CTX_new", "", why, cap);
  SSL_CTX_set_min_proto_version(g_client, TLS1_2_VERSION);
  SSL_CTX_set_verify(g_client, SSL_VERIFY_PEER, nullptr);
  const char* ca = settings.caFile;
  if (ca != nullptr && ca[0] != '\0') {
    if (SSL_CTX_load_verify_locations(g_client, ca, nullptr) != 1) {
      return failed_setup("ZELCLIENT_TLS_CA", ca, why, cap);
    }
  } else if (SSL_CTX_set_default_verify_paths(g_client) != 1) {
    return failed_setup("los certificados del sistema", "", why, cap);
  }
  const char* cert = settings.cert;
  if (cert != nullptr && cert[0] != '\0') {
    const char* key = settings.key != nullptr && settings.key[0] != '\0' ? settings.key : cert;
    if (SSL_CTX_use_certificate_chain_file(g_client, cert) != 1) {
      return failed_setup("ZELCLIENT_TLS_CERT", cert, why, cap);
    }
    if (SSL_CTX_use_PrivateKey_file(g_client, key, SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(g_client) != 1) {
      return failed_setup("ZELCLIENT_TLS_KEY", key, why, cap);
    }
  }
  g_pinned = settings.pin != nullptr && settings.pin[0] != '\0';
  if (g_pinned && !tls_pin_parse(settings.pin, g_pin)) {
    std::snprintf(why, cap, "ZELCLIENT_TLS_PIN %s: no es un SHA-256 (64 hex o 44 base64)",
                  settings.pin);
    return false;
  }
  if (g_slotIndex < 0) g_slotIndex = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  SSL_CTX_set_session_cache_mode(g_client,
                                 SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(g_client, keep_session);
  return true;
}

bool tls_server_setup(const char* cert, const char* key, const char* clientCa, char* why,
                      std::size_t cap) {
  if (g_server != nullptr) SSL_CTX_free(g_server);
  g_server = SSL_CTX_new(TLS_server_method());
  if (g_server == nullptr) return failed_setup("SSL_CTX_new", "", why, cap);
  SSL_CTX_set_min_proto_version(g_server, TLS1_2_VERSION);
  if (SSL_CTX_use_certificate_chain_file(g_server, cert) != 1) {
    return failed_setup("certificate", cert, why, cap);
  }
  if (SSL_CTX_use_PrivateKey_file(g_server, key, SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(g_server) != 1) {
    return failed_setup("key", key, why, cap);
  }
  if (clientCa != nullptr && clientCa[0] != '\0') {
    if (SSL_CTX_load_verify_locations(g_server, clientCa, nullptr) != 1) {
      return failed_setup("client CA", clientCa, why, cap);
    }
    SSL_CTX_set_client_CA_list(g_server, SSL_load_client_CA_file(clientCa));
    SSL_CTX_set_verify(g_server, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
  }
  return true;
}

Status tls_connect(SocketValue s, const char* host, int sessionSlot, std::int32_t timeoutMs,
                   TlsLink** link, TlsPeer* peer) {
  *link = nullptr;
  *peer = TlsPeer{};
  SSL* ssl = g_client != nullptr ? SSL_new(g_client) : nullptr;
  TlsLink* l = ssl != nullptr ? new_link(ssl, s) : nullptr;
  if (l == nullptr) {
    peer->fault = TlsFault::Other;
    return Status::Failed;
  }
  // The name checked: a dotted address as an address, else as a DNS name (sent
  // too, so that a server of several names shows the right certificate).
  X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
  if (X509_VERIFY_PARAM_set1_ip_asc(param, host) != 1) {
    SSL_set1_host(ssl, host);
    SSL_ctrl(ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name, const_cast<char*>(host));
  }
  if (sessionSlot >= 0 && sessionSlot < kSessionSlots) {
    SSL_set_ex_data(ssl, g_slotIndex,
                    reinterpret_cast<void*>(static_cast<std::intptr_t>(sessionSlot)));
    std::lock_guard<std::mutex> guard(g_sessionsLock);
    if (g_sessions[sessionSlot] != nullptr) SSL_set_session(ssl, g_sessions[sessionSlot]);
  } else {
    SSL_set_ex_data(ssl, g_slotIndex, reinterpret_cast<void*>(static_cast<std::intptr_t>(-1)));
  }
  return handshake(l, true, timeoutMs, link, peer);
}

Status tls_accept(SocketValue s, std::int32_t timeoutMs, TlsLink** link, TlsPeer* peer) {
  *link = nullptr;
  *peer = TlsPeer{};
  SSL* ssl = g_server != nullptr ? SSL_new(g_server) : nullptr;
  TlsLink* l = ssl != nullptr ? new_link(ssl, s) : nullptr;
  if (l == nullptr) {
    peer->fault = TlsFault::Other;
    return Status::Failed;
  }
  return handshake(l, false, timeoutMs, link, peer);
}

Status tls_send(TlsLink* link, const void* data, std::size_t n, std::int32_t timeoutMs,
                std::size_t* sent) {
  *sent = 0;
  if (link == nullptr) return Status::BadHandle;
  const std::int64_t deadline = monotonic_ms() + timeoutMs;
  int sslError = 0;
  Status io = Status::Ok;
  const int chunk = n > 16384 ? 16384 : static_cast<int>(n);
  const int r = drive(
      link, deadline, [&] { return SSL_write(link->ssl, data, chunk); }, &sslError, &io);
  if (r <= 0) return io != Status::Ok ? io : Status::Failed;
  const Status flushed = flush(link, deadline);  // with a handshake's last flight
  if (flushed != Status::Ok) return flushed;
  *sent = static_cast<std::size_t>(r);
  return Status::Ok;
}

Status tls_recv(TlsLink* link, void* dest, std::size_t n, std::int32_t timeoutMs,
                std::size_t* got) {
  *got = 0;
  if (link == nullptr) return Status::BadHandle;
  int sslError = 0;
  Status io = Status::Ok;
  const int chunk = n > 0x7fffffff ? 0x7fffffff : static_cast<int>(n);
  const int r = drive(
      link, monotonic_ms() + timeoutMs, [&] { return SSL_read(link->ssl, dest, chunk); }, &sslError,
      &io);
  if (r > 0) {
    *got = static_cast<std::size_t>(r);
    return Status::Ok;
  }
  if (io != Status::Ok) return io;  // timed out, the peer gone (without its close_notify)
  if (sslError == SSL_ERROR_SSL) link->fault = step_fault(link->ssl, sslError, false);
  ERR_clear_error();
  return sslError == SSL_ERROR_ZERO_RETURN ? Status::Closed : Status::Failed;
}

TlsFault tls_fault(const TlsLink* link) {
  return link != nullptr ? link->fault : TlsFault::None;
}

bool tls_pending(const TlsLink* link) {
  // What waits may be records not yet opened as well as plain bytes.
  return link != nullptr && (SSL_has_pending(link->ssl) == 1 || BIO_ctrl_pending(link->in) > 0);
}

void tls_close(TlsLink* link) {
  if (link == nullptr) return;
  ERR_clear_error();
  if (!link->closed && SSL_shutdown(link->ssl) >= 0) {  // close_notify, once; not the peer's
    flush(link, monotonic_ms() + 100);
  }
  free_link(link);
}

}  // namespace plat
