#include "client/lifesignal.h"

#include <cstring>

#include "client/config.h"
#include "log/log.h"
#include "socket/socket.h"
#include "tran/fields.h"
#include "tran/packet.h"

namespace {
// Work buffer of the life message, used only here.
zel::Text<kRequestCapacity> g_lifeWork;
}  // namespace

int ZELClient_EnviarMensaje_de_vida() {
  LOG_Print(LOG_CLI_DEBUG, "ZELClient_Enviar Mensage de vida Entry");
  g_request.clear();
  g_lifeWork.clear();
  ZEL_TranPutfield(g_request, "G01", g_config.pharmacyId.c_str());
  ZEL_TranPutfield(g_lifeWork, "G81", "0001|");
  g_request.append(g_lifeWork.view());  // at most 5 + 127 + 10 characters: always fits
  g_config.name.clear();
  g_config.name.assign("CLI1");

  std::memset(g_packet, 0, sizeof g_packet);
  const int packetLength =
      ZEL_MakePacket(0, g_config.name.c_str(), g_request.c_str(), g_packet, sizeof g_packet);
  if (packetLength == -1) {
    LOG_Print(LOG_CLI_ERROR, "ZELClient_EnviarMensaje_de_vida ZEL_MakePacket");
    return 0;
  }
  GatewayAddress address;
  ZELClient_GatewayAddress(address);
  const int id = SOCKET_Open(address.data(), 0);
  if (id == -1) {
    LOG_Print(LOG_CLI_ERROR, "ZELClient_MensajeDeVida conectandose al gateway en [%s]",
              address.c_str());
    return 0;
  }
  int length = packetLength;
  if (SOCKET_Send(id, g_packet, &length, 0) == -1) {
    LOG_Print(LOG_CLI_ERROR, "ZELClient_Enviar_Mensaje_de_vida SOCKET_Send");
  }
  SOCKET_Close(id, 2);
  return 0;
}
