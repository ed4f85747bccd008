#pragma once

// Lets the compiler check printf-style formats of our own variadic functions. MinGW's C library
// follows the GNU conventions (%llu, %zu) once its ANSI stdio is in use, which C++ builds enable.
#if defined(__MINGW32__)
#define ORB_PRINTF(formatIndex, firstArgument) \
    __attribute__((format(gnu_printf, formatIndex, firstArgument)))
#elif defined(__GNUC__)
#define ORB_PRINTF(formatIndex, firstArgument) \
    __attribute__((format(printf, formatIndex, firstArgument)))
#else
#define ORB_PRINTF(formatIndex, firstArgument)
#endif
