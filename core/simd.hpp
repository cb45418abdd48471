// Which vector instructions the core's scans are built with. Every scan has
// a portable version beside its vector one; ROWVANE_PORTABLE (the CMake
// option of that name) builds the portable versions on any machine, so that
// the tests run them on x86-64 too.
#pragma once

#if defined(__SSE2__) && !defined(ROWVANE_PORTABLE)
#define ROWVANE_SSE2 1
#include <emmintrin.h>
#else
#define ROWVANE_SSE2 0
#endif

// The AVX2 paths chosen at run time (core/simd_dispatch.cpp).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(ROWVANE_PORTABLE)
#define ROWVANE_AVX2_DISPATCH 1
#else
#define ROWVANE_AVX2_DISPATCH 0
#endif
