// The choice of a core's kernel table: the widest instruction set the CPU runs, unless the
// environment caps it.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#if defined(PIXELWELL_X86_KERNELS)
#include <cpuid.h>
#endif

#include "kernels.h"

namespace pixelwell {

namespace {

// Each asked once (cores made on several threads at once ask together).
bool cpuHasSsse3() {
#if defined(PIXELWELL_X86_KERNELS)
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("ssse3") && __builtin_cpu_supports("sse4.1");
    }();
    return has;
#elif defined(PIXELWELL_WASM_KERNELS)
    return true;  // a SIMD128 module only loads where the engine validated its vector code
#else
    return false;
#endif
}

bool cpuHasAvx2() {
#if defined(PIXELWELL_X86_KERNELS)
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2");
    }();
    return has;
#else
    return false;
#endif
}

// The tables from narrowest to widest; PIXELWELL_KERNELS names the widest one allowed (any
// other value allows all).
constexpr const char* kTableNames[] = {"scalar", "sse2", "ssse3", "avx2"};

const KernelTable& widestAllowed() {
    const char* scalar = std::getenv("PIXELWELL_SCALAR");
    if (scalar && std::strcmp(scalar, "0") != 0 && *scalar != '\0') return scalarKernels();
    const char* cap = std::getenv("PIXELWELL_KERNELS");
    int widest = 3;
    for (int k = 0; cap && k < 4; ++k)
        if (std::strcmp(cap, kTableNames[k]) == 0) widest = k;
    if (widest >= 3 && wasmKernels()) return *wasmKernels();
    if (widest >= 3 && avx2Kernels()) return *avx2Kernels();
    if (widest >= 2 && ssse3Kernels()) return *ssse3Kernels();
    if (widest >= 1 && sse2Kernels()) return *sse2Kernels();
    return scalarKernels();
}

// The deterministic cache parameters: leaf 4 on Intel, 0x8000001D on AMD; each sub-leaf one
// cache, until a sub-leaf of type 0.
int64_t largestDataCache() {
#if defined(PIXELWELL_X86_KERNELS)
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(0, &a, &b, &c, &d)) return 0;
    unsigned leaf = 4;
    if (b == 0x68747541) {  // "AuthenticAMD"
        leaf = 0x8000001D;
        if (static_cast<unsigned>(__get_cpuid_max(0x80000000, nullptr)) < leaf) return 0;
    } else if (a < leaf) {
        return 0;
    }
    int64_t largest = 0;
    for (unsigned sub = 0; sub < 16; ++sub) {
        __cpuid_count(leaf, sub, a, b, c, d);
        const unsigned type = a & 31;  // 1 data, 2 instructions, 3 unified
        if (type == 0) break;
        if (type == 2) continue;
        const int64_t ways = (b >> 22) + 1, partitions = ((b >> 12) & 0x3FF) + 1, line = (b & 0xFFF) + 1;
        largest = std::max(largest, ways * partitions * line * (int64_t{c} + 1));
    }
    return largest;
#else
    return 0;
#endif
}

}  // namespace


// In kernels_ssse3.cpp and kernels_avx2.cpp, each compiled for its instruction set: never
// entered before the CPU check.
const KernelTable* ssse3KernelTable();
const KernelTable* avx2KernelTable();

const KernelTable* ssse3Kernels() { return cpuHasSsse3() ? ssse3KernelTable() : nullptr; }
const KernelTable* avx2Kernels() { return cpuHasAvx2() ? avx2KernelTable() : nullptr; }

#if defined(PIXELWELL_WASM_KERNELS)
const KernelTable* wasmKernelTable();  // kernels_wasm.cpp
const KernelTable* wasmKernels() { return wasmKernelTable(); }
#else
const KernelTable* wasmKernels() { return nullptr; }
#endif

const KernelTable& selectKernels() { return widestAllowed(); }

int64_t detectedLastLevelCacheBytes() {
    static const int64_t bytes = largestDataCache();
    return bytes;
}

}  // namespace pixelwell
