// WebAssembly SIMD128 builds: the SSE2 and SSSE3 tables, through Emscripten's mapping of the SSE
// intrinsics; there is no AVX2 table.
#include "kernels.h"

namespace pixelwell {

const KernelTable* avx2KernelTable() { return nullptr; }

}  // namespace pixelwell
