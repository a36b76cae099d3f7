#include "client/lifesignal.h"

#include <cstring>

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
  const ZELClientConfig& config = client.config;
  const int id = SOCKET_Connect(config.gatewayHost.c_str(), config.gatewayPort);
  if (id == -1) {
    LOG_Print(LOG_CLI_ERROR, "ZELClient_MensajeDeVida conectandose al gateway en [%s:%d]",
              config.gatewayHost.c_str(), config.gatewayPort);
    return false;
  }
  int length = packetLength;
  const bool sent = SOCKET_Send(id, client.packet, &length, 0) != -1;
  if (!sent) LOG_Print(LOG_CLI_ERROR, "ZELClient_Enviar_Mensaje_de_vida SOCKET_Send");
  SOCKET_Close(id, 2);
  return sent;
}
