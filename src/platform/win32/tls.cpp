// TLS with Schannel through SSPI.
#include "platform/tls.h"

#include <cstdio>

namespace plat {

struct TlsLink {};

bool tls_client_setup(const TlsClientSettings&, char* why, std::size_t cap) {
  std::snprintf(why, cap, "TLS no disponible todavia en Windows");
  return false;
}
bool tls_server_setup(const char*, const char*, const char*, char* why, std::size_t cap) {
  std::snprintf(why, cap, "the gateway simulator serves TLS on Linux only");
  return false;
}
Status tls_connect(SocketValue, const char*, int, std::int32_t, TlsLink** link, TlsPeer* peer) {
  *link = nullptr;
  peer->fault = TlsFault::Other;
  return Status::Failed;
}
Status tls_accept(SocketValue, std::int32_t, TlsLink** link, TlsPeer* peer) {
  *link = nullptr;
  peer->fault = TlsFault::Other;
  return Status::Failed;
}
Status tls_send(TlsLink*, const void*, std::size_t, std::int32_t, std::size_t* sent) {
  *sent = 0;
  return Status::Failed;
}
Status tls_recv(TlsLink*, void*, std::size_t, std::int32_t, std::size_t* got) {
  *got = 0;
  return Status::Failed;
}
TlsFault tls_fault(const TlsLink*) {
  return TlsFault::None;
}
bool tls_pending(const TlsLink*) {
  return false;
}
void tls_close(TlsLink*) {}

}  // namespace plat
