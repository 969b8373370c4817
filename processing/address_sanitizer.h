// PIXELWELL_ASAN is defined where AddressSanitizer instruments this code (clang or g++), with
// its interface for poisoning memory by hand.
#pragma once

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PIXELWELL_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) && !defined(PIXELWELL_ASAN)
#define PIXELWELL_ASAN 1
#endif
#ifdef PIXELWELL_ASAN
#include <sanitizer/asan_interface.h>
#endif
