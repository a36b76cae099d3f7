// Field-list messages. Every operation finds a name by a plain, case-sensitive
// substring search from the start of the text and takes the first occurrence.
// Nothing here needs set-up: the only state is the shared value buffer, and the
// log writes nothing until it is opened.
#include "tran/fields.h"

#include <cstring>
#include <string_view>

#include "log/log.h"

namespace {

// The shared value buffer: results of reads made without a destination. It
// lasts until the next read that passes the input tests.
char g_sharedValue[kSharedValueCapacity + 1];

bool is_empty(const char* s) {
  return s == nullptr || s[0] == '\0';
}

}  // namespace

char* ZEL_TranGetField(const char* source, const char* name, zel::TextRef* dest) {
  LOG_Print(LOG_TRAN_DEBUG, "ZEL_TranGetField Entry");
  if (is_empty(source) || is_empty(name)) return nullptr;
  const std::size_t sourceLen = strnlen(source, kGetFieldSourceMax + 1);
  if (sourceLen > kGetFieldSourceMax) {
    LOG_Print(LOG_TRAN_ERROR, "ZEL_TranGetField texto de origen mayor a %zu caracteres",
              kGetFieldSourceMax);
    return nullptr;
  }

  std::memset(g_sharedValue, 0, sizeof g_sharedValue);
  zel::TextRef shared(g_sharedValue, kSharedValueCapacity);
  zel::TextRef& out = dest != nullptr ? *dest : shared;

  // A source that is the shared buffer itself was cleared just above, as it
  // would be by any read that clears before copying its source.
  const char* occurrence = std::strstr(source, name);
  const char* equals = occurrence ? std::strchr(occurrence, '=') : nullptr;
  const char* bar = equals ? std::strchr(equals + 1, '|') : nullptr;
  if (bar != nullptr) {
    const std::string_view value(equals + 1, static_cast<std::size_t>(bar - equals - 1));
    if (value.size() > out.capacity()) {
      // A cut value would be a wrong value: refuse, and leave the destination as it was.
      LOG_Print(LOG_TRAN_ERROR, "ZEL_TranGetField valor de [%s] con %zu caracteres no cabe en %zu",
                name, value.size(), out.capacity());
      return nullptr;
    }
    if (!value.empty()) LOG_Print(LOG_TRAN_DEBUG, "ZEL_TranGetField copiando buffer");
    out.assign(value);  // memmove: the destination may overlap the source
    LOG_Print(LOG_TRAN_DEBUG, "ZEL_TranGetField Retorna=[%s]", out.c_str());
  }
  LOG_Print(LOG_TRAN_DEBUG, "ZEL_TranGetField Exit");
  return out.data();
}

std::int16_t ZEL_TranHasField(const char* text, const char* name) {
  if (text == nullptr || name == nullptr) return 0;
  return std::strstr(text, name) != nullptr ? 1 : 0;
}

int ZEL_TranDelField(zel::TextRef text, const char* name) {
  if (text.data() == nullptr || text.empty() || is_empty(name)) return -1;
  char* occurrence = std::strstr(text.data(), name);
  if (occurrence == nullptr) return 0;
  char* bar = std::strchr(occurrence, '|');
  if (bar == nullptr) return 0;
  std::memmove(occurrence, bar + 1, std::strlen(bar + 1) + 1);
  return 0;
}

int ZEL_TranPutfield(zel::TextRef text, const char* name, const char* value) {
  LOG_Print(LOG_TRAN_DEBUG, "ZEL_TranPutfield Entry");
  if (text.data() == nullptr || is_empty(name) || value == nullptr) {
    LOG_Print(LOG_TRAN_ERROR, "ZEL_TranPutfield valores de input invalidos");
    return -1;
  }
  const std::size_t len = text.size();
  const bool bar = len == 0 || text.c_str()[len - 1] != '|';
  const std::size_t need = (bar ? 1 : 0) + std::strlen(name) + 1 + std::strlen(value);
  if (need > text.room()) {
    LOG_Print(LOG_TRAN_ERROR, "ZEL_TranPutfield campo [%s] no cabe: faltan %zu caracteres", name,
              need - text.room());
    return -1;
  }
  if (bar) text.append('|');
  text.append(name);
  text.append('=');
  text.append(value);
  LOG_Print(LOG_TRAN_DEBUG, "ZEL_TranPutfield Tran=[%s]", text.c_str());
  LOG_Print(LOG_TRAN_DEBUG, "ZEL_TranPutfield Exit");
  return 0;
}

int ZEL_TranEnd(zel::TextRef text) {
  if (text.data() == nullptr || text.empty()) return 0;
  if (!text.append('|')) {
    LOG_Print(LOG_TRAN_ERROR, "ZEL_TranEnd no hay lugar para la barra final");
    return -1;
  }
  return 0;
}
