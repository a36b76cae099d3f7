#include "fileutil/path.h"

#include <string_view>

#include "platform/platform.h"

bool FILE_MakePath(zel::TextRef dest, const char* const* pieces, std::size_t count) {
  // Build past the current end first; only a complete result is kept.
  const std::size_t start = dest.size();
  const char* const* end = pieces + count;
  for (const char* const* it = pieces; it != end && *it != nullptr; ++it) {
    if (!dest.append(std::string_view(*it))) {
      dest.truncate(start);
      return false;
    }
    const auto next = it + 1;
    if (next == end || *next == nullptr) break;
    const std::size_t len = dest.size();
    if ((len == 0 || dest.c_str()[len - 1] != plat::kPathSeparator) &&
        !dest.append(plat::kPathSeparator)) {
      dest.truncate(start);
      return false;
    }
  }
  return true;
}
