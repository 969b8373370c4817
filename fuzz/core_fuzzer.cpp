// libFuzzer entry: every input is a sequence of core events (see core_events.h).
#include <cstddef>
#include <cstdint>

#include "core_events.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    pixelwell::fuzz::runEvents(data, size);
    return 0;
}
