#include "client/pipeline.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client/answers.h"
#include "client/config.h"
#include "client/files.h"
#include "client/probe.h"
#include "common/number.h"
#include "fileutil/path.h"
#include "log/log.h"
#include "platform/platform.h"
#include "socket/socket.h"
#include "tran/fields.h"
#include "tran/packet.h"

namespace {

constexpr std::size_t kTroquelListCapacity = 261;
constexpr std::size_t kKeptListCapacity = 265;
constexpr std::size_t kTroquelRecordMax = 53;
// Reply bytes read at most: one less than the buffer, so the text always ends.
constexpr int kReplyReadMax = static_cast<int>(kPacketBufferSize) - 1;

void log_unlink_failure(const char* path) {
  if (errno == ENOENT) {
    LOG_Print(LOG_CLI_ERROR, "ZELClient_Process borrando archivo [%s], ubicacion erronea", path);
  } else if (errno == EACCES) {
    LOG_Print(LOG_CLI_ERROR, "ZELClient_Process borrando archivo [%s], no pudo accederlo", path);
  }
}

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
    zel::Text<kTroquelRecordMax> record(std::string_view(
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
bool rewrite_request(const char* kept, const char* name) {
  ZEL_TranDelField(g_request, "G06");
  return ZEL_TranPutfield(g_request, "G06", kept) == 0 &&
         ZEL_TranPutfield(g_request, "G41", name) == 0 && ZEL_TranEnd(g_request) == 0;
}

// Local answer after a failure on the road to the gateway.
void answer_unreachable(int index) {
  ZELClient_GenAutoResponse(index, ZELClient_ProbeReachable());
}

void log_timing(std::int64_t startMs) {
  const double seconds = static_cast<double>(plat::monotonic_ms() - startMs) * 0.001;
  LOG_Print(LOG_CLI_DEBUG, "");
  LOG_Print(LOG_CLI_DEBUG, "ZELClient_Process tardo %lf segundos en procesar una receta", seconds);
  LOG_Print(LOG_CLI_DEBUG, "");
}

// Frames the edited request, exchanges it with the gateway and answers the
// terminal. Returns after every outcome; the timing lines follow a reply only.
void exchange(int index, const char* name, int packetType, std::time_t* lifeTimer,
              std::int64_t startMs) {
  std::memset(g_packet, 0, sizeof g_packet);
  const int packetLength = ZEL_MakePacket(packetType, g_config.name.c_str(), g_request.c_str(),
                                          g_packet, sizeof g_packet);
  if (packetLength == -1) {
    ZELClient_GenAutoResponse(index, 1);
    LOG_Print(LOG_CLI_ERROR, "ZELClient_Process ZEL_MakePacket");
    return;
  }

  GatewayAddress address;
  ZELClient_GatewayAddress(address);
  const int id = SOCKET_Open(address.data(), 0);
  if (id == -1) {
    answer_unreachable(index);
    LOG_Print(LOG_CLI_ERROR, "ZELClient_Process conectandose al gateway en [%s]", address.c_str());
    return;
  }

  int length = packetLength;
  if (SOCKET_Send(id, g_packet, &length, 0) == -1) {
    answer_unreachable(index);
    LOG_Print(LOG_CLI_ERROR, "ZELClient_Process SOCKET_Send");
    SOCKET_Close(id, 2);
    return;
  }
  LOG_Print(LOG_CLI_INFO, "");
  LOG_Print(LOG_CLI_INFO, "ZELClient_Process Envio hacia el Gateway:[%s]",
            reinterpret_cast<const char*>(g_packet + kPacketHeaderSize));
  LOG_Print(LOG_CLI_INFO, "");

  std::memset(g_reply, 0, sizeof g_reply);
  int replyLength = 0;
  if (SOCKET_Receive(id, g_reply, kReplyReadMax, 0, &replyLength) == -1) {
    answer_unreachable(index);
    LOG_Print(LOG_CLI_ERROR, "ZELClient_Process SOCKET_Receive");
    SOCKET_Close(id, 2);
    return;
  }
  const char* reply = reinterpret_cast<const char*>(g_reply + kPacketHeaderSize);
  LOG_Print(LOG_CLI_INFO, "");
  LOG_Print(LOG_CLI_INFO, "ZELClient_Process Recibio del Gateway:[%s]", reply);
  LOG_Print(LOG_CLI_INFO, "");
  LOG_Print(LOG_CLI_INFO, "Hubo una validacion, se reinicializa timer de vida");
  *lifeTimer = std::time(nullptr);
  SOCKET_Close(id, 2);

  if (ZEL_TranHasField(reply, "F52")) {
    zel::Text<63> answerName;
    answerName.format("%sout.txt", name);
    zel::Text<256> path;
    if (!FILE_MakePath(path, {g_config.rootPath.c_str(), answerName.c_str()}) ||
        ZELClient_WriteFileOutput(path.c_str(), reply) == -1) {
      LOG_Print(LOG_CLI_ERROR, "ZELClient_Process WriteFileOutput");
    }
  } else {
    ZELClient_GenAutoResponse(index, 1);
    LOG_Print(LOG_CLI_ERROR, "ZELClient_Process no existe campo F52 en el mensaje de respuesta");
  }
  log_timing(startMs);
}

// A request is taken from its terminal by renaming its file to "<terminal>in.zel"
// beside it, and that file is removed only once the request has been answered.
// A run that ends in between (a crash, a kill) leaves the request there, and the
// next run answers it first. Each terminal is looked at once per run for that.
bool g_resumeChecked[kMaxTerminals] = {};

bool held_path(const char* name, zel::Text<256>& held) {
  zel::Text<63> heldName;
  held.clear();
  return heldName.format("%sin.zel", name) &&
         FILE_MakePath(held, {g_config.rootPath.c_str(), heldName.c_str()});
}

enum class Take { Held, Removed, Failed };

// Takes the request file that was read away from the terminal's name: renamed to
// held, or removed when there is no held path. A failure is logged.
Take take_request(const char* path, const char* held) {
  const bool toHeld = held[0] != '\0';
  if (toHeld ? std::rename(path, held) == 0 : plat::file_unlink(path) == 0) {
    return toHeld ? Take::Held : Take::Removed;
  }
  errno = errno == ENOENT || errno == ENOTDIR ? ENOENT : EACCES;
  log_unlink_failure(path);
  return errno == ENOENT ? Take::Removed : Take::Failed;
}

// The last request of each terminal whose file could not be taken. It has been
// answered once; as long as the same request stands in the file it is not
// answered again, or every pass (each woken by the answer just written) would
// relay it once more.
zel::Text<kRequestCapacity> g_untaken[kMaxTerminals];

void release_request(const char* held) {
  if (plat::file_unlink(held) != 0 && errno != ENOENT) log_unlink_failure(held);
}

// Checks, edits and relays the request in the request buffer, and answers the
// terminal. Every path ends in an answer attempt.
void handle_request(int index, const char* name, std::time_t* lifeTimer, std::int64_t startMs) {
  zel::Text<6> tranType;
  zel::TextRef tranRef = tranType;
  ZEL_TranGetField(g_request.c_str(), "G99", &tranRef);
  int packetType = 0;
  if (tranType.view() == "000020") {
    packetType = 1;
  } else if (tranType.view() == "000010") {
    packetType = 3;
  } else {
    ZELClient_GenAutoResponse(index, 1);
    LOG_Print(LOG_CLI_ERROR, "ZELClient_Process Tipo de transaccion invalido");
    return;
  }

  strip_line_ends(g_request);

  // A troquel list longer than its buffer is refused like one of no valid width.
  zel::Text<kTroquelListCapacity> troqueles;
  zel::TextRef troquelRef = troqueles;
  const bool listFits = ZEL_TranGetField(g_request.c_str(), "G06", &troquelRef) != nullptr;
  const int width = listFits ? record_width(troqueles.size()) : 0;
  if (width == 0) {
    ZELClient_GenErrorResponse(index, "ND", "Formato de Troquel invalido");
    LOG_Print(LOG_CLI_ERROR, "ZELClient_Process Formato de Troquel invalido");
    return;
  }

  zel::Text<kKeptListCapacity> kept;
  if (keep_troqueles(troqueles, width, kept) > g_config.troquelLimit) {
    ZELClient_GenErrorResponse(index, "ND", "N\xFAmero de Troqueles invalido");
    LOG_Print(LOG_CLI_ERROR, "ZELClient_Process N\xFAmero de Troqueles invalido");
    return;
  }

  if (!rewrite_request(kept.c_str(), name)) {
    ZELClient_GenErrorResponse(index, "ND", "Receta demasiado larga");
    LOG_Print(LOG_CLI_ERROR, "ZELClient_Process receta demasiado larga para el buffer");
    return;
  }

  exchange(index, name, packetType, lifeTimer, startMs);
}

}  // namespace

bool ZELClient_ProcessTerminal(int index, const char* name, std::time_t* lifeTimer) {
  zel::Text<63> requestName;
  zel::Text<256> path;
  zel::Text<256> held;
  if (!requestName.format("%sin.txt", name) ||
      !FILE_MakePath(path, {g_config.rootPath.c_str(), requestName.c_str()})) {
    return false;
  }
  if (!held_path(name, held)) held.clear();  // too long a path: removed at once instead

  // A request taken by an earlier run and not answered comes first. The
  // terminal's request file, if any, follows in the same visit: the changes of
  // this first pass happen before the directory is watched, so no change would
  // bring the service back to it.
  if (index >= 0 && index < kMaxTerminals && !g_resumeChecked[index]) {
    if (!held.empty() && plat::file_access(held.c_str(), 4) == 0) {
      LOG_Print(LOG_CLI_WARNING, "ZELClient_Process retomando archivo [%s]", held.c_str());
      const std::int64_t startMs = plat::monotonic_ms();
      if (ZELClient_ReadFileInput(held.c_str()) == -1) {
        const bool busy = errno == EACCES;
        LOG_Print(LOG_CLI_WARNING, "ZELClient_Process ReadFileInput file [%s]", held.c_str());
        return busy;  // the request file waits behind it
      }
      handle_request(index, name, lifeTimer, startMs);
      release_request(held.c_str());
    }
    g_resumeChecked[index] = true;
  }

  if (plat::file_access(path.c_str(), 4) != 0) return false;
  const std::int64_t startMs = plat::monotonic_ms();
  if (ZELClient_ReadFileInput(path.c_str()) == -1) {
    const bool busy = errno == EACCES;  // not a file too long for the buffer
    LOG_Print(LOG_CLI_WARNING, "ZELClient_Process ReadFileInput file [%s]", path.c_str());
    return busy;
  }
  const Take take = take_request(path.c_str(), held.c_str());
  zel::Text<kRequestCapacity>* untaken =
      index >= 0 && index < kMaxTerminals ? &g_untaken[index] : nullptr;
  const bool answered =
      untaken != nullptr && !untaken->empty() && untaken->view() == g_request.view();
  if (take == Take::Failed) {
    if (answered) return false;
    if (untaken != nullptr) untaken->assign(g_request.view());
  } else if (untaken != nullptr) {
    untaken->clear();
  }
  if (!answered) handle_request(index, name, lifeTimer, startMs);
  if (take == Take::Held) release_request(held.c_str());
  return false;
}
