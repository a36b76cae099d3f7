// Path joining: appends pieces to a text, with the platform's separator between
// consecutive pieces unless the text already ends with one.
#pragma once

#include <initializer_list>

#include "common/text.h"

// Appends the pieces in order; a null piece ends the list. Returns false and
// leaves dest unchanged when the result would not fit.
bool FILE_MakePath(zel::TextRef dest, const char* const* pieces, std::size_t count);
inline bool FILE_MakePath(zel::TextRef dest, std::initializer_list<const char*> pieces) {
  return FILE_MakePath(dest, pieces.begin(), pieces.size());
}
