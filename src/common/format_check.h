// The compiler's check of printf-like formats. MinGW's compiler checks "printf"
// against the old Microsoft runtime, which knows no %zu or %lld; the build uses the
// C99 printf of MinGW (__USE_MINGW_ANSI_STDIO), which is "gnu_printf" there.
#pragma once

#ifdef __MINGW32__
#define ZEL_PRINTF_LIKE(fmt, first) __attribute__((format(gnu_printf, fmt, first)))
#else
#define ZEL_PRINTF_LIKE(fmt, first) __attribute__((format(printf, fmt, first)))
#endif
