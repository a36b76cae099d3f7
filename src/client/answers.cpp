#include "client/answers.h"

#include <cinttypes>
#include <cstring>

#include "client/decision.h"
#include "client/sequence.h"
#include "client/termfiles.h"
#include "log/log.h"
#include "tran/fields.h"

namespace {

// Values copied from the request. They are read whole (the request buffer is
// their only limit), so the answer carries exactly what the terminal sent.
using Value = zel::Text<kRequestCapacity>;

// Room for any answer built from a request: four values of at most the request's
// length and the fixed fields.
using Answer = zel::Text<4 * kRequestCapacity + 256>;

struct RequestFields {
  Value codeFarm;   // G01
  Value nroReceta;  // G04
  Value nroBenp;    // G08
  Value tipoTran;   // G99
};

void read_field(const ZELClient& client, const char* function, const char* name, const char* label,
                Value& value) {
  value.clear();
  zel::TextRef ref = value.ref();
  ZEL_TranGetField(client.request.c_str(), name, &ref);
  LOG_Print(LOG_CLI_DEBUG, "%s %s=[%s]", function, label, value.c_str());
}

void read_fields(const ZELClient& client, const char* function, RequestFields& f) {
  read_field(client, function, "G01", "CodeFarm", f.codeFarm);
  read_field(client, function, "G04", "NroReceta", f.nroReceta);
  read_field(client, function, "G08", "NroBenp", f.nroBenp);
  read_field(client, function, "G99", "TipoTran", f.tipoTran);
}

// The values cut to their usual widths, so that an answer made of them always fits.
void cut_to_widths(RequestFields& f) {
  f.codeFarm.truncate(10);
  f.nroReceta.truncate(20);
  f.nroBenp.truncate(10);
  f.tipoTran.truncate(6);
}

// Builds the answer; false when it does not fit in the answer buffer.
bool build_answer(zel::TextRef answer, const RequestFields& f, const char* terminal,
                  const char* code, const char* reason, const char* number) {
  const char* f99 = std::strcmp(f.tipoTran.c_str(), "000020") == 0 ? "000021" : "000031";
  answer.clear();
  bool ok = ZEL_TranPutfield(answer, "F01", f.codeFarm.c_str()) == 0 &&
            ZEL_TranPutfield(answer, "F04", f.nroReceta.c_str()) == 0 &&
            ZEL_TranPutfield(answer, "F08", f.nroBenp.c_str()) == 0 &&
            ZEL_TranPutfield(answer, "F41", terminal) == 0 &&
            ZEL_TranPutfield(answer, "F50", code) == 0 &&
            ZEL_TranPutfield(answer, "F51", reason) == 0;
  if (ok && number != nullptr) ok = ZEL_TranPutfield(answer, "F52", number) == 0;
  return ok && ZEL_TranPutfield(answer, "F99", f99) == 0 && ZEL_TranEnd(answer) == 0;
}

const char* terminal_name(const ZELClient& client, int index) {
  return index >= 0 && index < kMaxTerminals ? client.config.terminals[index].c_str() : nullptr;
}

}  // namespace

Decision::Kind ZELClient_GenAutoResponse(ZELClient& client, int index, std::int16_t flag,
                                         Cause cause) {
  const std::time_t now = client.clock();
  LOG_Print(LOG_CLI_DEBUG, "ZELClient_GenAutoResponse Entry");
  const char* terminal = terminal_name(client, index);
  if (terminal == nullptr) {
    LOG_Print(LOG_CLI_ERROR, "ZELClient_GenAutoResponse terminal [%d] fuera de la tabla", index);
    LOG_Print(LOG_CLI_DEBUG, "ZELClient_GenAutoResponse Exit");
    return Decision::Kind::None;
  }
  RequestFields fields;
  read_fields(client, "ZELClient_GenAutoResponse", fields);
  SequenceNumber taken = zc::next_number(client, now);
  zel::Text<40> authorisation;
  authorisation.format("%c%4d%07" PRId64, flag != 0 ? 'G' : 'I', taken.year, taken.number);
  Answer answer;
  // An answer that could not be written whole takes no number: the error answer instead.
  if (!build_answer(answer, fields, terminal, "ND", "RECETA PRE-AUTORIZADA",
                    authorisation.c_str()) ||
      !zc::answer_fits(client, answer.c_str())) {
    LOG_Print(LOG_CLI_ERROR, "ZELClient_GenAutoResponse respuesta mayor a %zu caracteres",
              kRequestCapacity);
    LOG_Print(LOG_CLI_DEBUG, "ZELClient_GenAutoResponse Exit");
    return ZELClient_GenErrorResponse(client, index, "ND", kTooLong);
  }
  // A number that cannot be stored, or a pre-authorisation that cannot be
  // journalled, is not given: it could be given again after a restart, or be
  // recorded nowhere.
  DecisionWrite written = DecisionWrite::NotRecorded;
  if (taken.unreadable == nullptr && zc::store_number(client, taken)) {
    const zc::LocalNumber local{authorisation.c_str(), taken, cause};
    written = zc::decide_answer(client, index, Decision::Kind::Local, answer.c_str(), &local);
  }
  if (written == DecisionWrite::Waits) {
    LOG_Print(LOG_CLI_ERROR, "ZELClient_GenAutoResponse WriteFileOutput");
  }
  LOG_Print(LOG_CLI_DEBUG, "ZELClient_GenAutoResponse Exit");
  if (written == DecisionWrite::NotRecorded) {
    return ZELClient_GenErrorResponse(client, index, "ND", kNotRecorded);
  }
  return Decision::Kind::Local;
}

Decision::Kind ZELClient_GenErrorResponse(ZELClient& client, int index, const char* code,
                                          const char* reason) {
  LOG_Print(LOG_CLI_DEBUG, "ZELClient_GenErrorResponse Entry");
  const char* terminal = terminal_name(client, index);
  RequestFields fields;
  read_fields(client, "ZELClient_GenErrorResponse", fields);
  Answer answer;
  bool built = terminal != nullptr && code != nullptr && reason != nullptr &&
               build_answer(answer, fields, terminal, code, reason, nullptr);
  if (built && !zc::answer_fits(client, answer.c_str())) {
    cut_to_widths(fields);
    built = build_answer(answer, fields, terminal, code, reason, nullptr);
  }
  if (!built || zc::decide_answer(client, index, Decision::Kind::Error, answer.c_str()) !=
                    DecisionWrite::Written) {
    LOG_Print(LOG_CLI_ERROR, "ZELClient_GenErrorResponse WriteFileOutput");
  }
  LOG_Print(LOG_CLI_DEBUG, "ZELClient_GenErrorResponse Exit");
  return built ? Decision::Kind::Error : Decision::Kind::None;
}
