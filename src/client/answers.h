// Local answers: the pre-authorisation answer, numbered from the yearly sequence
// and journalled, and the error answer; both from the request in the request
// buffer, written as the terminal's answer file.
#pragma once

#include <cstdint>

#include "client/context.h"

void ZELClient_GenAutoResponse(ZELClient& client, int index, std::int16_t flag);
void ZELClient_GenErrorResponse(ZELClient& client, int index, const char* code, const char* reason);
