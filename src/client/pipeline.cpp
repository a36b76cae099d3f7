#include "client/pipeline.h"

#include <cstring>

#include "client/answers.h"
#include "client/probe.h"
#include "client/termfiles.h"
#include "common/number.h"
#include "log/log.h"
#include "tran/fields.h"
#include "tran/packet.h"

namespace {

constexpr std::size_t kTroquelListCapacity = 261;
constexpr std::size_t kKeptListCapacity = 265;
constexpr std::size_t kTroquelRecordMax = 53;
// Reply bytes read at most: one less than the buffer, so the text always ends.
constexpr int kReplyReadMax = static_cast<int>(kPacketBufferSize) - 1;

// Removes carriage returns and line feeds from the end; the first character stays.
void strip_line_ends(zel::TextRef text) {
  std::size_t len = text.size();
  while (len > 1 && (text.c_str()[len - 1] == '\r' || text.c_str()[len - 1] == '\n')) --len;
  text.truncate(len);
}

// Record width that divides the list's length (51, 52, 53 in that order), or 0.
int record_width(std::size_t length) {
  for (int width : {51, 52, 53}) {
    if (length % static_cast<std::size_t>(width) == 0) return width;
  }
  return 0;
}

// Keeps the records whose leading number is not 0; returns how many were kept.
int keep_troqueles(const zel::Text<kTroquelListCapacity>& list, int width,
                   zel::Text<kKeptListCapacity>& kept) {
  int count = 0;
  const std::size_t records = list.size() / static_cast<std::size_t>(width);
  for (std::size_t r = 0; r < records; ++r) {
    const zel::Text<kTroquelRecordMax> record(std::string_view(
        list.c_str() + r * static_cast<std::size_t>(width), static_cast<std::size_t>(width)));
    if (zel::to_int(record.c_str()) != 0) {
      kept.append(record.view());  // fits: the kept list is never longer than the list
      ++count;
    }
  }
  return count;
}

// Replaces G06 with the kept list and stamps the terminal name; false when the
// edited request would not fit the request buffer.
bool rewrite_request(zel::TextRef request, const char* kept, const char* name) {
  ZEL_TranDelField(request, "G06");
  return ZEL_TranPutfield(request, "G06", kept) == 0 &&
         ZEL_TranPutfield(request, "G41", name) == 0 && ZEL_TranEnd(request) == 0;
}

void log_timing(std::int64_t startMs) {
  const double seconds = static_cast<double>(plat::monotonic_ms() - startMs) * 0.001;
  LOG_Print(LOG_CLI_DEBUG, "");
  LOG_Print(LOG_CLI_DEBUG, "ZELClient_Process tardo %lf segundos en procesar una receta", seconds);
  LOG_Print(LOG_CLI_DEBUG, "");
}

// A local answer after a failure on the road to the gateway; the probe decides
// its letter. The step's line follows, and the connection, if any, is closed.
void answer_unreachable(ZELClient& client, int index, const char* line, int id) {
  ZELClient_GenAutoResponse(client, index, ZELClient_ProbeReachable(client));
  LOG_Print(LOG_CLI_ERROR, "%s", line);
  if (id != -1) SOCKET_Close(id, 2);
}

// Frames the edited request, exchanges it with the gateway and answers the
// terminal. Returns after every outcome; the timing lines follow a reply only.
void exchange(ZELClient& client, int index, int packetType, std::int64_t startMs) {
  const ZELClientConfig& config = client.config;
  std::memset(client.packet, 0, sizeof client.packet);
  const int packetLength = ZEL_MakePacket(packetType, client.sender.c_str(), client.request.c_str(),
                                          client.packet, sizeof client.packet);
  if (packetLength == -1) {
    ZELClient_GenAutoResponse(client, index, 1);
    LOG_Print(LOG_CLI_ERROR, "ZELClient_Process ZEL_MakePacket");
    return;
  }

  const int id = SOCKET_Connect(config.gatewayHost.c_str(), config.gatewayPort);
  if (id == -1) {
    zel::Text<kHostMax + 64> line;
    line.format("ZELClient_Process conectandose al gateway en [%s:%d]", config.gatewayHost.c_str(),
                config.gatewayPort);
    answer_unreachable(client, index, line.c_str(), id);
    return;
  }

  int length = packetLength;
  if (SOCKET_Send(id, client.packet, &length, 0) == -1) {
    answer_unreachable(client, index, "ZELClient_Process SOCKET_Send", id);
    return;
  }
  LOG_Print(LOG_CLI_INFO, "");
  LOG_Print(LOG_CLI_INFO, "ZELClient_Process Envio hacia el Gateway:[%s]",
            reinterpret_cast<const char*>(client.packet + kPacketHeaderSize));
  LOG_Print(LOG_CLI_INFO, "");

  std::memset(client.reply, 0, sizeof client.reply);
  int replyLength = 0;
  if (SOCKET_Receive(id, client.reply, kReplyReadMax, 0, &replyLength) == -1) {
    answer_unreachable(client, index, "ZELClient_Process SOCKET_Receive", id);
    return;
  }
  const char* reply = reinterpret_cast<const char*>(client.reply + kPacketHeaderSize);
  LOG_Print(LOG_CLI_INFO, "");
  LOG_Print(LOG_CLI_INFO, "ZELClient_Process Recibio del Gateway:[%s]", reply);
  LOG_Print(LOG_CLI_INFO, "");
  LOG_Print(LOG_CLI_INFO, "Hubo una validacion, se reinicializa timer de vida");
  client.lifeTimer = client.clock();
  SOCKET_Close(id, 2);

  if (ZEL_TranHasField(reply, "F52") && !ZELClient_AnswerFits(client, reply)) {
    // The gateway's answer cannot be handed on whole: the terminal is told so and
    // may ask again; a local authorisation would add a second one to the gateway's.
    LOG_Print(LOG_CLI_ERROR, "ZELClient_Process respuesta del gateway mayor a %zu caracteres",
              kRequestCapacity);
    ZELClient_GenErrorResponse(client, index, "ND", "Respuesta demasiado larga");
  } else if (ZEL_TranHasField(reply, "F52")) {
    Path path;
    if (!ZELClient_TerminalPath(client, config.terminals[index].c_str(), kDecidedFile, path) ||
        ZELClient_WriteFileOutput(client, path.c_str(), reply) == -1) {
      LOG_Print(LOG_CLI_ERROR, "ZELClient_Process WriteFileOutput");
    }
  } else {
    ZELClient_GenAutoResponse(client, index, 1);
    LOG_Print(LOG_CLI_ERROR, "ZELClient_Process no existe campo F52 en el mensaje de respuesta");
  }
  log_timing(startMs);
}

}  // namespace

// Checks, edits and relays the request in the request buffer, and decides the
// terminal's answer. Every path ends in an answer attempt.
void ZELClient_Decide(ZELClient& client, int index, bool whole, std::int64_t startMs) {
  if (!whole) {
    ZELClient_GenErrorResponse(client, index, "ND", kTooLong);
    LOG_Print(LOG_CLI_ERROR, "ZELClient_Process receta demasiado larga para el buffer");
    return;
  }
  zel::Text<6> tranType;
  zel::TextRef tranRef = tranType;
  ZEL_TranGetField(client.request.c_str(), "G99", &tranRef);
  int packetType = 0;
  if (tranType.view() == "000020") {
    packetType = 1;
  } else if (tranType.view() == "000010") {
    packetType = 3;
  } else {
    ZELClient_GenAutoResponse(client, index, 1);
    LOG_Print(LOG_CLI_ERROR, "ZELClient_Process Tipo de transaccion invalido");
    return;
  }

  strip_line_ends(client.request);

  // A troquel list longer than its buffer is refused like one of no valid width.
  zel::Text<kTroquelListCapacity> troqueles;
  zel::TextRef troquelRef = troqueles;
  const bool listFits = ZEL_TranGetField(client.request.c_str(), "G06", &troquelRef) != nullptr;
  const int width = listFits ? record_width(troqueles.size()) : 0;
  if (width == 0) {
    ZELClient_GenErrorResponse(client, index, "ND", "Formato de Troquel invalido");
    LOG_Print(LOG_CLI_ERROR, "ZELClient_Process Formato de Troquel invalido");
    return;
  }

  zel::Text<kKeptListCapacity> kept;
  if (keep_troqueles(troqueles, width, kept) > client.config.troquelLimit) {
    ZELClient_GenErrorResponse(client, index, "ND", "N\xFAmero de Troqueles invalido");
    LOG_Print(LOG_CLI_ERROR, "ZELClient_Process N\xFAmero de Troqueles invalido");
    return;
  }

  if (!rewrite_request(client.request, kept.c_str(), client.config.terminals[index].c_str())) {
    ZELClient_GenErrorResponse(client, index, "ND", kTooLong);
    LOG_Print(LOG_CLI_ERROR, "ZELClient_Process receta demasiado larga para el buffer");
    return;
  }

  exchange(client, index, packetType, startMs);
}
