// The words for a handshake's faults, alike on both builds.
#include "platform/tls.h"

namespace plat {

const char* tls_fault_text(TlsFault fault) {
  switch (fault) {
    case TlsFault::None:
      return "";
    case TlsFault::Expired:
      return "el certificado del gateway esta vencido";
    case TlsFault::NotYetValid:
      return "el certificado del gateway aun no es valido";
    case TlsFault::UnknownIssuer:
      return "el certificado del gateway es de un emisor desconocido";
    case TlsFault::NameMismatch:
      return "el certificado no es del nombre del gateway";
    case TlsFault::PinMismatch:
      return "la clave del gateway no es la fijada en ZELCLIENT_TLS_PIN";
    case TlsFault::Refused:
      return "el gateway rechazo la conexion segura (pide un certificado de cliente?)";
    case TlsFault::Protocol:
      return "el gateway no habla TLS 1.2 o posterior";
    case TlsFault::TimedOut:
      return "tiempo de espera agotado en el saludo TLS";
    case TlsFault::Closed:
      return "el gateway cerro la conexion en el saludo TLS";
    case TlsFault::Other:
      break;
  }
  return "fallo el saludo TLS";
}

const char* tls_fault_name(TlsFault fault) {
  static const char* const kNames[] = {
      "",        "expired",  "not_yet_valid", "unknown_issuer", "name_mismatch", "pin_mismatch",
      "refused", "protocol", "timed_out",     "closed",         "other"};
  const auto i = static_cast<std::size_t>(fault);
  return i < sizeof kNames / sizeof kNames[0] ? kNames[i] : "other";
}

}  // namespace plat
