// Decimal numbers read the way the Windows C runtime's atoi reads them, alike on
// every platform: leading white space, an optional sign, decimal digits up to the
// first other character, 0 when there are none. A value beyond the int range
// gives INT_MAX or INT_MIN (glibc's atoi would wrap it around instead).
#pragma once

namespace zel {

int to_int(const char* text);

}  // namespace zel
