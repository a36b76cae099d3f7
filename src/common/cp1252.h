// Windows-1252, the character set of every text the service writes, to and from
// UTF-8 for a console.
#pragma once

#include <cstddef>
#include <string>

namespace zel {

std::string cp1252_to_utf8(const std::string& in);
// One byte's character in UTF-8 into out; its length (1 to 3).
std::size_t cp1252_to_utf8(unsigned char b, char (&out)[3]);
// Characters without a Windows-1252 form become '?'.
std::string utf8_to_cp1252(const std::string& in);

}  // namespace zel
