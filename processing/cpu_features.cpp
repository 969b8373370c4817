// Start-up choice of the kernel table: the widest instruction set the CPU runs, unless the
// environment caps it.
#include <cstdlib>
#include <cstring>

#include "kernels.h"

namespace pixelwell {

namespace {

bool cpuHasAvx2() {
#if defined(__x86_64__) || defined(__i386__)
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
    if (allowAvx2 && cpuHasAvx2() && avx2Kernels()) return *avx2Kernels();
    if (allowSse2 && sse2Kernels()) return *sse2Kernels();
    return scalarKernels();
}

}  // namespace

KernelTable kernels = chooseTable();

void selectKernels() { kernels = chooseTable(); }

void useScalarKernels() { kernels = scalarKernels(); }

}  // namespace pixelwell
