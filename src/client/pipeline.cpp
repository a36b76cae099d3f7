#include "client/pipeline.h"

#include <cstring>

#include "client/answers.h"
#include "client/exchange.h"
#include "client/standin.h"
#include "client/termfiles.h"
#include "common/number.h"
#include "log/log.h"
#include "tran/fields.h"

namespace {

constexpr std::size_t kKeptListCapacity = 265;
constexpr std::size_t kTroquelRecordMax = 53;

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
int keep_troqueles(const zel::Text<kTroquelListMax>& list, int width,
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

}  // namespace

zc::Edit zc::edit_request(const ZELClient& client, int index, zel::TextRef request,
                          int* packetType) {
  zel::Text<6> tranType;
  zel::TextRef tranRef = tranType;
  ZEL_TranGetField(request.c_str(), "G99", &tranRef);
  if (tranType.view() == "000020") {
    *packetType = 1;
  } else if (tranType.view() == "000010") {
    *packetType = 3;
  } else {
    return Edit::BadType;
  }

  strip_line_ends(request);

  // A troquel list longer than its buffer is refused like one of no valid width.
  zel::Text<kTroquelListMax> troqueles;
  zel::TextRef troquelRef = troqueles;
  const bool listFits = ZEL_TranGetField(request.c_str(), "G06", &troquelRef) != nullptr;
  const int width = listFits ? record_width(troqueles.size()) : 0;
  if (width == 0) return Edit::BadFormat;

  zel::Text<kKeptListCapacity> kept;
  if (keep_troqueles(troqueles, width, kept) > client.config.troquelLimit) return Edit::TooMany;
  if (!rewrite_request(request, kept.c_str(), client.config.terminals[index].c_str())) {
    return Edit::TooLong;
  }
  return Edit::Ok;
}

// Checks, edits and relays the request in the request buffer, and decides the
// terminal's answer. Every path ends in an answer attempt.
bool zc::decide_request(ZELClient& client, int index, RequestRead read, std::int64_t startMs,
                        bool relay) {
  if (read == RequestRead::Foreign) {
    ZELClient_GenErrorResponse(client, index, "ND", kForeignBytes);
    return false;
  }
  int packetType = 0;
  switch (read == RequestRead::Ok ? zc::edit_request(client, index, client.request, &packetType)
                                  : Edit::TooLong) {
    case Edit::Ok:
      if (relay) return zc::exchange(client, index, packetType, startMs);
      zc::stand_in(client, index, 1, Cause::NoReply);
      return false;
    case Edit::BadType:
      // Turned down: a request that is none gets no number (and no gateway's).
      ZELClient_GenErrorResponse(client, index, "ND", kBadType);
      LOG_Print(LOG_CLI_ERROR, "ZELClient_Process Tipo de transaccion invalido");
      return false;
    case Edit::BadFormat:
      ZELClient_GenErrorResponse(client, index, "ND", "Formato de Troquel invalido");
      LOG_Print(LOG_CLI_ERROR, "ZELClient_Process Formato de Troquel invalido");
      return false;
    case Edit::TooMany:
      ZELClient_GenErrorResponse(client, index, "ND", "N\xFAmero de Troqueles invalido");
      LOG_Print(LOG_CLI_ERROR, "ZELClient_Process N\xFAmero de Troqueles invalido");
      return false;
    case Edit::TooLong:
      break;
  }
  ZELClient_GenErrorResponse(client, index, "ND", kTooLong);
  LOG_Print(LOG_CLI_ERROR, "ZELClient_Process receta demasiado larga para el buffer");
  return false;
}
