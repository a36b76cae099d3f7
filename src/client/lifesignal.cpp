#include "client/lifesignal.h"

#include <cstring>

#include "client/gateway.h"
#include "log/log.h"
#include "tran/fields.h"
#include "tran/packet.h"

bool ZELClient_EnviarMensaje_de_vida(ZELClient& client, const char* sender) {
  LOG_Print(LOG_CLI_DEBUG, "ZELClient_Enviar Mensage de vida Entry");
  // At most 5 + 127 + 10 characters: always fits.
  zel::Text<kRequestCapacity> message;
  zel::Text<16> g81;
  ZEL_TranPutfield(message, "G01", client.config.pharmacyId.c_str());
  ZEL_TranPutfield(g81, "G81", "0001|");
  message.append(g81.view());

  std::memset(client.packet, 0, sizeof client.packet);
  const int packetLength =
      ZEL_MakePacket(0, sender, message.c_str(), client.packet, sizeof client.packet);
  if (packetLength == -1) {
    LOG_Print(LOG_CLI_ERROR, "ZELClient_EnviarMensaje_de_vida ZEL_MakePacket");
    return false;
  }
  // To the address that answered last; the others after it.
  GatewayReach reach;
  const int id = zc::gateway_connect(client, client.links.lastAnswered.load(), reach);
  if (id == -1) {
    const GatewayAddress& a = client.config.addresses[reach.address < 0 ? 0 : reach.address];
    LOG_Print(LOG_CLI_ERROR, "ZELClient_MensajeDeVida conectandose al gateway en [%s:%d]",
              a.host.c_str(), a.port);
    zc::gateway_reached(client, reach, false);
    return false;
  }
  int length = packetLength;
  const bool sent = SOCKET_Send(id, client.packet, &length, 0) != -1;
  if (!sent) LOG_Print(LOG_CLI_ERROR, "ZELClient_Enviar_Mensaje_de_vida SOCKET_Send");
  SOCKET_Close(id, 2);
  zc::gateway_reached(client, reach, sent);
  return sent;
}
