// Local answers: the pre-authorisation answer, numbered from the yearly sequence
// and journalled, and the error answer; both from the request in the request
// buffer, decided as the terminal's answer (published by the request's
// lifecycle). Every request gets one: an answer that would not fit an answer
// file becomes the error answer "Receta demasiado larga", its values cut to their
// usual widths, and takes no number; a pre-authorisation that cannot be recorded
// becomes the error answer "Pre-autorizacion no registrada".
#pragma once

#include <cstdint>

#include "client/context.h"

// The reason of the error answer to a request or an answer too long for its file.
constexpr const char* kTooLong = "Receta demasiado larga";
// The reasons of the error answers to a request holding a byte no request holds,
// to one without a valid transaction type, and to one that cannot be framed.
constexpr const char* kForeignBytes = "Receta con caracteres invalidos";
constexpr const char* kBadType = "Tipo de transaccion invalido";
constexpr const char* kNoPacket = "Receta que no se puede enviar";
// The reason of the error answer given instead of a local pre-authorisation that
// could not be recorded: its number not stored, or its journal line not written.
constexpr const char* kNotRecorded = "Pre-autorizacion no registrada";

// Each decides the terminal's answer (its decision, in the terminal's state) and
// returns what was decided: a local pre-authorisation, or an error answer (also
// when a pre-authorisation could not be given); None for a terminal out of the table.
// cause: why the pre-authorisation is given, for the causes record.
Decision::Kind ZELClient_GenAutoResponse(ZELClient& client, int index, std::int16_t flag,
                                         Cause cause);
Decision::Kind ZELClient_GenErrorResponse(ZELClient& client, int index, const char* code,
                                          const char* reason);
