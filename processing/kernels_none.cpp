// Builds without the x86 vector kernels: only the scalar table exists.
#include "kernels.h"

namespace pixelwell {

const KernelTable* sse2Kernels() { return nullptr; }
const KernelTable* ssse3KernelTable() { return nullptr; }
const KernelTable* avx2KernelTable() { return nullptr; }

}  // namespace pixelwell
