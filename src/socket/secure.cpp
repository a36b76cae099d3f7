// TLS on the socket layer's connections: the handshake puts a link on the slot,
// and send, receive, the readable wait and close go through it from then on.
#include "log/log.h"
#include "socket/socket_state.h"

int SOCKET_TlsInit(const plat::TlsClientSettings& settings, char* why, std::size_t cap) {
  return plat::tls_client_setup(settings, why, cap) ? 0 : -1;
}

int SOCKET_Secure(int id, const char* host, int sessionSlot, std::int32_t spentMs,
                  plat::TlsPeer* peer) {
  const std::int32_t bound = sock::g_connectTimeoutMs;
  const std::int32_t left = spentMs < bound ? bound - spentMs : 0;
  plat::TlsLink* link = nullptr;
  const plat::Status r =
      plat::tls_connect(sock::socket_of(id), host, sessionSlot, left, &link, peer);
  if (r == plat::Status::Ok) {
    sock::set_link(id, link);
    LOG_Print(LOG_SOCK_INFO, "SOCKET_Secure TLS con [%s] %s", host,
              peer->resumed ? "reanudada" : "nueva");
    return id;
  }
  // The caller says it as an error, once, in its own words.
  LOG_Print(LOG_SOCK_INFO, "SOCKET_Secure TLS con [%s]: %s%s%s", host,
            plat::tls_fault_text(peer->fault), peer->detail[0] != '\0' ? ": " : "", peer->detail);
  if (r == plat::Status::TimedOut) sock::log_timed_out("SOCKET_Secure", bound);
  SOCKET_Close(id, 2);
  return -1;
}

int SOCKET_SecureAccept(int id) {
  plat::TlsLink* link = nullptr;
  plat::TlsPeer peer;
  if (plat::tls_accept(sock::socket_of(id), sock::g_netTimeoutMs, &link, &peer) ==
      plat::Status::Ok) {
    sock::set_link(id, link);
    return id;
  }
  LOG_Print(LOG_SOCK_ERROR, "SOCKET_SecureAccept TLS: %s%s%s", plat::tls_fault_text(peer.fault),
            peer.detail[0] != '\0' ? ": " : "", peer.detail);
  SOCKET_Close(id, 2);
  return -1;
}

plat::TlsFault SOCKET_LinkFault(int id) {
  return plat::tls_fault(sock::link_of(id));
}
