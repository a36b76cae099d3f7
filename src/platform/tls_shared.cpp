// What both TLS backends share: the words for a handshake's faults, and the
// spelling of a pin.
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

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int base64_digit(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  return c == '+' ? 62 : c == '/' ? 63 : -1;
}

}  // namespace

bool tls_pin_parse(const char* text, unsigned char out[32]) {
  std::size_t len = 0;
  while (len < 65 && text[len] != '\0') ++len;
  if (len == 64) {
    for (std::size_t i = 0; i < 32; ++i) {
      const int hi = hex_digit(text[2 * i]), lo = hex_digit(text[2 * i + 1]);
      if (hi < 0 || lo < 0) return false;
      out[i] = static_cast<unsigned char>(hi * 16 + lo);
    }
    return true;
  }
  // 32 bytes in base64: 43 digits and one '=', the last digit's low two bits 0.
  if (len != 44 || text[43] != '=') return false;
  unsigned bits = 0;
  int have = 0;
  std::size_t n = 0;
  for (std::size_t i = 0; i < 43; ++i) {
    const int d = base64_digit(text[i]);
    if (d < 0) return false;
    bits = (bits << 6) | static_cast<unsigned>(d);
    have += 6;
    if (have >= 8) {
      have -= 8;
      out[n++] = static_cast<unsigned char>(bits >> have);
      bits &= (1u << have) - 1;
    }
  }
  return n == 32 && bits == 0;
}

}  // namespace plat
