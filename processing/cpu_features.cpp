// Start-up choice of the kernel table: the widest instruction set the CPU runs, unless the
// environment caps it.
#include <cstdlib>
#include <cstring>

#include "kernels.h"

namespace pixelwell {

namespace {

bool cpuHasAvx2() {
#if defined(PIXELWELL_X86_KERNELS)
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

KernelTable chooseTable() {
    const char* scalar = std::getenv("PIXELWELL_SCALAR");
    if (scalar && std::strcmp(scalar, "0") != 0 && *scalar != '\0') return scalarKernels();
    const char* cap = std::getenv("PIXELWELL_KERNELS");
    const bool allowSse2 = !cap || std::strcmp(cap, "scalar") != 0;
    const bool allowAvx2 = !cap || (std::strcmp(cap, "scalar") != 0 && std::strcmp(cap, "sse2") != 0);
    if (allowAvx2 && avx2Kernels()) return *avx2Kernels();
    if (allowSse2 && sse2Kernels()) return *sse2Kernels();
    return scalarKernels();
}

}  // namespace

// In kernels_avx2.cpp, which is compiled for AVX2: never entered before the CPU check.
const KernelTable* avx2KernelTable();

const KernelTable* avx2Kernels() { return cpuHasAvx2() ? avx2KernelTable() : nullptr; }

KernelTable kernels = chooseTable();

void selectKernels() { kernels = chooseTable(); }

void useScalarKernels() { kernels = scalarKernels(); }

}  // namespace pixelwell
