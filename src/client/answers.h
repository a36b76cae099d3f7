// Local answers: the pre-authorisation answer with its yearly authorisation
// sequence ("anio.txt", "nroaut.txt") and answer journal ("zelautoresp.txt"),
// and the error answer.
#pragma once

#include <cstdint>
#include <ctime>

void ZELClient_GenAutoResponse(int index, std::int16_t flag);
void ZELClient_GenErrorResponse(int index, const char* code, const char* reason);

// The clock that decides the year of the sequence; tests inject their own.
using ZELClockFn = std::time_t (*)();
void ZELClient_SetClock(ZELClockFn clock);
std::time_t ZELClient_Now();

// Forgets the authorisation numbers issued in this run, which otherwise act as a
// floor that the next number of the same year never goes below. For tests.
void ZELClient_ResetIssuedNumbers();
