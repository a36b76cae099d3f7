// Field-list messages: "|name=value|name=value|" texts, read and edited in place
// through five operations with plain, first-occurrence substring finding.
#pragma once

#include <cstdint>

#include "common/text.h"

constexpr std::size_t kSharedValueCapacity = 511;
constexpr std::size_t kGetFieldSourceMax = 4095;

// Reads name's value into dest (nullptr: into the shared value buffer, returned).
// Returns dest (or the shared buffer); nullptr for invalid input (absent or empty
// source or name, a source over 4095 characters) and for a value longer than
// the destination holds, which is refused: dest is left unchanged.
char* ZEL_TranGetField(const char* source, const char* name, zel::TextRef* dest);

// 1 when name occurs anywhere in text, else 0.
std::int16_t ZEL_TranHasField(const char* text, const char* name);

// Removes the first occurrence of name through the next '|'. 0, or -1 for an
// empty text or name.
int ZEL_TranDelField(zel::TextRef text, const char* name);

// Appends "|name=value" (no bar when the text already ends in one). 0, or -1 for
// invalid input or when the result would not fit (text unchanged).
int ZEL_TranPutfield(zel::TextRef text, const char* name, const char* value);

// Appends the closing '|' to a non-empty text. 0, or -1 when it would not fit.
int ZEL_TranEnd(zel::TextRef text);
