// SSSE3 + SSE4.1 row kernels, for CPUs without AVX2 (many low-cost laptops have SSE4.2 but
// no AVX). Only this file is compiled with -mssse3 -msse4.1; it runs only when the CPU reports
// both (selectKernels). Over the SSE2 table it adds the byte shuffle (pshufb), which the
// 24-bit rows need, and SSE4.1's 32-bit multiply, min/max and blend for the tone map and the
// difference.
#include <smmintrin.h>
#include <tmmintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "kernels.h"

#include "kernels_ssse3.inl"

namespace pixelwell {

// Called only once the CPU has been seen to run SSSE3 and SSE4.1 (ssse3Kernels, cpu_features.cpp).
const KernelTable* ssse3KernelTable() {
    static const KernelTable table = makeTable("ssse3");
    return &table;
}

}  // namespace pixelwell
