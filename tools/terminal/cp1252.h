// Windows-1252, the character set of every text the service writes, to and from
// UTF-8 for a console.
#pragma once

#include <string>

namespace zel {

std::string cp1252_to_utf8(const std::string& in);
// Characters without a Windows-1252 form become '?'.
std::string utf8_to_cp1252(const std::string& in);

}  // namespace zel
