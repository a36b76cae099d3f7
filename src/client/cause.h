// Why a local pre-authorisation was given (or refused past a limit), recorded
// beside the journal for its reconciliation with the gateway. The journal, the
// stand-in and the answers all name causes; none of them owns them.
#pragma once

#include <cstdint>

// (Earlier versions also gave numbers to malformed requests: "tipo_invalido" and
// "sin_paquete" in old causes records.)
enum class Cause : std::uint8_t {
  NoConnection,  // no connection, or the request could not be sent
  NoReply,       // sent, and no reply in time: the gateway may have authorised it
  NoF52,         // the gateway replied without an authorisation number
  KnownDown,     // not asked: the gateway had failed a moment before
  Recovered,     // finished after a restart, its cause unknown
  Tls,           // the connection's TLS failed: the gateway could not be trusted
  // Not a local answer: the gateway's own number, which its answer, too long for
  // the answer file, never delivered.
  TooLongToDeliver,
};

namespace zc {

// The text of a cause, as the causes record and the reconciliation show it.
const char* cause_name(Cause cause);

}  // namespace zc
