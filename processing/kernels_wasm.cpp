// WebAssembly SIMD128 builds: the SSE2 and SSSE3 tables, through Emscripten's mapping of the SSE
// intrinsics, and a table of its own, `wasm`, the widest: the SSSE3 kernels with the
// instructions whose mapping takes several SIMD128 ones (the multiply-highs, psadbw,
// pblendvb) written in SIMD128 directly, to the same bytes (the node test holds every table to
// the native filter). There is no AVX2 table.
#include <smmintrin.h>
#include <tmmintrin.h>
#include <wasm_simd128.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "kernels.h"

#define PIXELWELL_WASM_TABLE 1
#include "kernels_ssse3.inl"

namespace pixelwell {

const KernelTable* avx2KernelTable() { return nullptr; }

// Every engine that validated the module runs SIMD128 (cpu_features.cpp).
const KernelTable* wasmKernelTable() {
    static const KernelTable table = makeTable("wasm");
    return &table;
}

}  // namespace pixelwell
