#include "core_events.h"

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "dispatcher.h"
#include "frame_store.h"

#include "address_sanitizer.h"

namespace pixelwell::fuzz {

namespace {

// No operation writes a nonzero fourth byte, so a pixel still holding this was not written.
constexpr uint8_t kSentinel = 0xCD;
// Pixel work allowed per input, so that inputs stay quick. An input that asks for the full
// 1280x1280 frame with the right byte gets room for it, but at most once in so many inputs of a
// run (the first input of a process always may, so a saved input replays the same way): a full
// frame costs as much as thousands of small ones, and the inputs that reach it would otherwise
// soon make up most of the corpus.
constexpr int64_t kPixelBudget = 16'384;
constexpr int64_t kFullFrameBudget = 2'000'000;
constexpr uint8_t kFullFrameKey = 0xA5;
uint64_t g_inputsPerFullFrame = 2000;
uint64_t g_inputs = 0;
uint64_t g_lastFullFrame = 0;
constexpr int kMaxEvents = 256;

// What the run delivered, printed at exit when PIXELWELL_FUZZ_STATS is set (scripts/fuzz).
struct Tally {
    uint64_t frames, drawn, fullFrames, bigGeometry, zeroOrNegative, shortFrames, longFrames,
        beyondSlot, noSurface, modeSelections, otherModes, kernels;
} g_tally;

void printTally() {
    const Tally& t = g_tally;
    std::fprintf(stderr,
                 "event tally: %llu frames (%llu drawn, %llu full 1280x1280), %llu with a geometry "
                 "beyond 1280, %llu of length 0 or less, %llu shorter and %llu longer than the "
                 "geometry needs (%llu beyond a ring slot), %llu without a surface; %llu mode "
                 "selections (%llu of identifiers outside the table), %llu kernels set\n",
                 (unsigned long long)t.frames, (unsigned long long)t.drawn,
                 (unsigned long long)t.fullFrames, (unsigned long long)t.bigGeometry,
                 (unsigned long long)t.zeroOrNegative, (unsigned long long)t.shortFrames,
                 (unsigned long long)t.longFrames, (unsigned long long)t.beyondSlot,
                 (unsigned long long)t.noSurface, (unsigned long long)t.modeSelections,
                 (unsigned long long)t.otherModes, (unsigned long long)t.kernels);
}

[[noreturn]] void fail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::fputs("invariant broken: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputs("\n", stderr);
    va_end(args);
    std::abort();
}

// Bytes in, numbers out; zeros once the data is used up.
class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool done() const { return pos_ >= size_; }
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint32_t u16() {
        const uint32_t low = byte();
        return low | static_cast<uint32_t>(byte()) << 8;
    }
    uint32_t u32() {
        const uint32_t low = u16();
        return low | u16() << 16;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// The display surface lives at its exact size on the heap, so a write past its end is caught.
// Outside the frame region of the frame being processed it always holds the sentinel; under
// AddressSanitizer it is also poisoned there, so any stray access is reported where it happens.
uint8_t* surfaceMemory() {
    static uint8_t* const memory = [] {
        auto* bytes = new uint8_t[kSurfaceBytes];
        std::memset(bytes, kSentinel, kSurfaceBytes);
#ifdef PIXELWELL_ASAN
        ASAN_POISON_MEMORY_REGION(bytes, kSurfaceBytes);
#endif
        return bytes;
    }();
    return memory;
}

// The Windows program's core: capacity 1280x1280, the surface lent to it. The big records keep
// their contents from input to input (clearing 60 MB per input would dominate the run); nothing
// checked here depends on them.
Core& fuzzCore() {
    static Core core({kMaxSide, kMaxSide}, SurfaceSource::Lent);
    return core;
}

uint8_t* regionRow(int32_t i, int32_t height) {
    return surfaceMemory() + static_cast<size_t>(placedRow(i, height, kMaxSide)) * kSurfaceStride;
}

void openRegion(int32_t width, int32_t height) {
    for (int32_t i = 0; i < height; ++i) {
        uint8_t* row = regionRow(i, height);
#ifdef PIXELWELL_ASAN
        ASAN_UNPOISON_MEMORY_REGION(row, 4 * static_cast<size_t>(width));
#endif
        std::memset(row, kSentinel, 4 * static_cast<size_t>(width));
    }
}

void closeRegion(int32_t width, int32_t height) {
    for (int32_t i = 0; i < height; ++i) {
        uint8_t* row = regionRow(i, height);
        std::memset(row, kSentinel, 4 * static_cast<size_t>(width));
#ifdef PIXELWELL_ASAN
        ASAN_POISON_MEMORY_REGION(row, 4 * static_cast<size_t>(width));
#endif
    }
}

// Without AddressSanitizer the poisoning is gone: scan everything outside the region instead.
void checkOutside(int32_t width, int32_t height) {
#ifndef PIXELWELL_ASAN
    static const auto sentinelRow = [] {
        auto row = std::make_unique<uint8_t[]>(kSurfaceStride);
        std::memset(row.get(), kSentinel, kSurfaceStride);
        return row;
    }();
    for (int32_t row = 0; row < kMaxSide; ++row) {
        const int32_t from = row >= kMaxSide - height ? 4 * width : 0;
        const uint8_t* bytes = surfaceMemory() + static_cast<size_t>(row) * kSurfaceStride;
        if (std::memcmp(bytes + from, sentinelRow.get(), kSurfaceStride - from) != 0)
            fail("surface row %d changed outside the %dx%d frame region", row, width, height);
    }
#else
    (void)width;
    (void)height;
#endif
}

// `mode` is the operation: kModeKernel only while the kernel mode is chosen.
bool grayMode(int32_t mode) {
    return mode == kModeGray || (mode >= kModeLaplacianA && mode <= kModeMean) ||
           mode == kModeBinarize || mode == kModeKernel;
}
bool rankMode(int32_t mode) { return mode >= kModeMinimum && mode <= kModeMean; }
// Border width of the convolution modes; 0 for every other mode.
int32_t convolutionReach(int32_t mode, const ConvolutionKernel& kernel) {
    if (mode == kModeKernel) return kernel.size / 2;
    if (mode == kModeLowPass5 || mode == kModeHighPass5) return 2;
    return mode >= kModeLaplacianA && mode <= kModeHighPass3 ? 1 : 0;
}

// Checks the frame region after a frame: untouched when nothing was to be drawn; otherwise every
// pixel written with a zero fourth byte, and what the mode promises about colour and borders.
void checkRegion(int32_t width, int32_t height, bool drawn, int32_t mode, const ConvolutionKernel& kernel,
                 const uint8_t* frame) {
    if (!drawn) {
        for (int32_t i = 0; i < height; ++i) {
            const uint8_t* row = regionRow(i, height);
            for (int32_t k = 0; k < 4 * width; ++k)
                if (row[k] != kSentinel)
                    fail("mode %d drew into row %d of a frame it had to leave alone", mode, i);
        }
        return;
    }
    const int32_t reach = convolutionReach(mode, kernel);
    int32_t borderLevel = -1;
    for (int32_t i = 0; i < height; ++i) {
        const uint8_t* p = regionRow(i, height);
        const uint8_t* src = frame + static_cast<size_t>(i) * width * 3;
        for (int32_t j = 0; j < width; ++j, p += 4, src += 3) {
            if (p[3] != 0) fail("mode %d left fourth byte %u at (%d,%d)", mode, p[3], i, j);
            if (grayMode(mode) && (p[0] != p[1] || p[1] != p[2]))
                fail("gray mode %d gave B,G,R %u,%u,%u at (%d,%d)", mode, p[0], p[1], p[2], i, j);
            if (rankMode(mode) && (i == 0 || j == 0 || i == height - 1 || j == width - 1) &&
                p[0] != 0)
                fail("mode %d border pixel (%d,%d) is %u, not black", mode, i, j, p[0]);
            // A convolution's border cells all hold 0 before normalisation, so they all end
            // as the same level.
            if (reach > 0 && (i < reach || j < reach || i >= height - reach || j >= width - reach)) {
                if (borderLevel < 0) borderLevel = p[0];
                if (p[0] != borderLevel)
                    fail("mode %d border pixel (%d,%d) is %u, another border pixel %d", mode, i, j,
                         p[0], borderLevel);
            }
            if (mode == kModeNormal && (p[0] != src[0] || p[1] != src[1] || p[2] != src[2]))
                fail("normal display differs from the frame at (%d,%d)", i, j);
            if (mode == kModeInvert &&
                (p[0] != 255 - src[0] || p[1] != 255 - src[1] || p[2] != 255 - src[2]))
                fail("inverted display differs from the frame at (%d,%d)", i, j);
            if (mode == kModeGray && p[0] != grayLevel(src[0], src[1], src[2]))
                fail("gray display differs from the frame's gray level at (%d,%d)", i, j);
        }
    }
}

class Session {
public:
    Session(const uint8_t* data, size_t size) : in_(data, size) {}

    void run() {
        // Each input starts with no geometry and no mode, a reference pending, as after a user
        // chose a reference mode and then none.
        setFrameGeometry(core_, 0, 0);
        selectProcessingMode(core_, kModeDiff);
        selectProcessingMode(core_, kModeNone);
        for (int events = 0; events < kMaxEvents && !in_.done(); ++events) {
            const uint8_t kind = in_.byte() % 16;
            if (kind < 3)
                setGeometry();
            else if (kind < 6)
                chooseMode();
            else if (kind == 6)
                selectProcessingMode(core_, core_.ProcessingMode);  // the same menu command again
            else if (kind == 7)
                surfacePresent_ = in_.byte() % 8 != 0;
            else
                deliverFrame();
        }
        lendSurface(core_, nullptr);
    }

private:
    int32_t small() { return 1 + in_.byte() % 40; }
    int32_t negative() {
        switch (in_.byte() % 3) {
            case 0: return -1;
            case 1: return INT32_MIN;
            default: return -static_cast<int32_t>(1 + in_.u32() % INT32_MAX);
        }
    }
    int32_t tooLarge() {
        switch (in_.byte() % 3) {
            case 0: return kMaxSide + 1;
            case 1: return INT32_MAX;
            default: return kMaxSide + 1 + static_cast<int32_t>(in_.u32() % (INT32_MAX - kMaxSide));
        }
    }

    void setGeometry() {
        FrameSize size{};
        switch (in_.byte() % 16) {
            case 0: size = {0, 0}; break;
            case 1: size = {0, small()}; break;
            case 2: size = {small(), 0}; break;
            case 3: size = {negative(), small()}; break;
            case 4: size = {small(), negative()}; break;
            case 5: size = {1, 1}; break;
            case 6: size = {1, small()}; break;
            case 7: size = {small(), 1}; break;
            case 8: size = {2 + in_.byte() % 2, 2 + in_.byte() % 2}; break;
            case 9: size = {tooLarge(), small()}; break;
            case 10: size = {small(), tooLarge()}; break;
            case 11:
                if (in_.byte() == kFullFrameKey &&
                    (g_lastFullFrame == 0 || g_inputs - g_lastFullFrame >= g_inputsPerFullFrame)) {
                    g_lastFullFrame = g_inputs;
                    budget_ = std::max(budget_, kFullFrameBudget);
                }
                size = {kMaxSide, kMaxSide};
                break;
            case 12: size = in_.byte() % 2 ? FrameSize{kMaxSide, small()} : FrameSize{small(), kMaxSide}; break;
            case 13: {
                const int32_t side = 1 + static_cast<int32_t>(in_.u16() % kMaxSide);
                size = in_.byte() % 2 ? FrameSize{side, small()} : FrameSize{small(), side};
                break;
            }
            case 14: size = {1 + static_cast<int32_t>(in_.u16() % 256),
                             1 + static_cast<int32_t>(in_.u16() % 256)}; break;
            default: size = {small(), small()}; break;
        }
        setFrameGeometry(core_, size.width, size.height);
    }

    // A kernel from the input: small weights, or any up to the limits (beyond the lanes' values),
    // or now and then one beyond them, which must be refused and change nothing.
    void setKernelFromInput(bool choose) {
        ConvolutionKernel kernel{in_.byte() % 2 ? 5 : 3, 1, {}};
        const uint8_t scale = in_.byte() % 4;
        for (int32_t a = 0; a < kernel.size; ++a)
            for (int32_t b = 0; b < kernel.size; ++b) {
                const int32_t raw = static_cast<int8_t>(in_.byte());
                kernel.weights[a][b] = scale == 0 ? raw % 3 : scale == 1 ? raw : raw * 1000 / 128;
            }
        kernel.divisor = 1 + static_cast<int32_t>(in_.u16() % kMaxKernelDivisor);
        const bool refused = scale == 3 && in_.byte() % 4 == 0;
        if (refused) kernel.weights[0][0] = kMaxKernelWeight + 1;
        const ConvolutionKernel before = core_.Kernel;
        ++g_tally.kernels;
        if (setKernel(core_, kernel) == refused) fail("a kernel was %s", refused ? "taken beyond the limits" : "refused");
        if (refused && std::memcmp(&before, &core_.Kernel, sizeof before) != 0) fail("a refused kernel changed the kernel");
        if (choose) {
            selectKernelMode(core_);
            if (!kernelModeChosen(core_)) fail("the kernel mode was chosen but is not");
        }
    }

    void chooseMode() {
        int32_t mode;
        const uint8_t kind = in_.byte() % 10;
        if (kind >= 8) {
            setKernelFromInput(kind == 8);
            return;
        }
        if (kind < 5)
            mode = ModeTable[in_.byte() % kModeCount].id;
        else if (kind == 5)
            mode = in_.byte() % 2 ? kModeDiff : kModeSimpleDiff;
        else if (kind == 6)
            mode = 1399 + in_.byte() % 64;  // every identifier around the table, gaps and kModeKernel included
        else
            mode = static_cast<int32_t>(in_.u32());
        const int32_t pendingBefore = core_.ReferencePending;
        ++g_tally.modeSelections;
        g_tally.otherModes += modeSelectsOperation(mode) || mode == kModeNone ? 0 : 1;
        selectProcessingMode(core_, mode);
        if (core_.ProcessingMode != mode) fail("mode %d selected, %d set", mode, core_.ProcessingMode);
        if (kernelModeChosen(core_)) fail("mode %d selected, the kernel mode still chosen", mode);
        const bool reference = mode == kModeSimpleDiff || mode == kModeDiff;
        if (core_.ReferencePending != (reference ? 1 : pendingBefore))
            fail("selecting mode %d left ReferencePending %d", mode, core_.ReferencePending);
    }

    void fillFrame(uint8_t* bytes, int64_t length) {
        const uint8_t pattern = in_.byte() % 3;
        uint64_t state = in_.u32() | 1u;
        auto next = [&state] {  // xorshift64: cheap, and enough to vary the pixels
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            return state;
        };
        if (pattern == 0) {
            std::memset(bytes, static_cast<uint8_t>(state), static_cast<size_t>(length));
        } else if (pattern == 1) {
            for (int64_t k = 0; k < length; k += 8) {
                const uint64_t word = next();
                std::memcpy(bytes + k, &word, static_cast<size_t>(std::min<int64_t>(8, length - k)));
            }
        } else {
            for (int64_t k = 0; k < length; ++k)
                bytes[k] = k % 3 == 0 ? static_cast<uint8_t>(next()) : bytes[k - k % 3];
        }
    }

    void deliverFrame() {
        const FrameSize size = core_.FrameGeometry;
        const bool drawable =
            size.width > 0 && size.height > 0 && size.width <= kMaxSide && size.height <= kMaxSide;
        const int64_t need = drawable ? int64_t{size.width} * size.height * 3 : 0;
        int64_t length;
        switch (in_.byte() % 16) {
            case 0: length = 0; break;
            case 1: length = negative(); break;
            case 2: length = need > 0 ? need - 1 - in_.byte() % std::min<int64_t>(need, 256) : 0; break;
            case 3: length = need > 0 ? in_.u32() % need : in_.byte(); break;
            case 4: length = need + 1 + in_.byte(); break;
            case 5: length = kSlotBytes + 1 + in_.u16(); break;  // longer than a ring slot
            default: length = need > 0 ? need : in_.u16() % 4096; break;
        }
        const int64_t bytes = std::max<int64_t>(length, 0);
        const int64_t cost = (drawable ? need / 3 : 0) + bytes / 128;  // copies are cheap
        if (cost > budget_) return;
        budget_ -= cost;

        // Exactly length bytes (none for a negative length), so any over-read is caught.
        std::unique_ptr<uint8_t[]> frame(new uint8_t[static_cast<size_t>(bytes)]);
        fillFrame(frame.get(), bytes);

        Core& core = core_;
        // The operation: the kernel mode's kModeKernel only while it is chosen.
        const int32_t mode = kernelModeChosen(core) ? kModeKernel : core.ProcessingMode == kModeKernel ? kModeNone
                                                                                                 : core.ProcessingMode;
        const int32_t pendingBefore = core.ReferencePending;
        const uint32_t counterBefore = core.FrameCounter;
        const bool region = surfacePresent_ && drawable;
        if (region) openRegion(size.width, size.height);
        lendSurface(core, surfacePresent_ ? surfaceMemory() : nullptr);

        const bool repaint = processFrame(core, frame.get(), static_cast<int32_t>(length));

        if (repaint != (mode == kModeKernel || modeSelectsOperation(mode)))
            fail("mode %d answered repaint %d", mode, repaint);
        if (core.FrameCounter != counterBefore + 1u) fail("frame counter did not advance by one");
        const auto stored = static_cast<size_t>(std::min<int64_t>(bytes, kSlotBytes));
        if (std::memcmp(core.FrameRing[core.FrameCounter & 7u].data(), frame.get(), stored) != 0)
            fail("ring slot %u does not hold the frame's first %zu bytes", core.FrameCounter & 7u, stored);
        // Sums the 8-frame average will go on from must be those of the ring as it now is.
        const RingSumStamp& stamp = core.RingSumsStamp;
        if (stamp.valid && stamp.frame == core.FrameCounter) {
            for (int32_t p = 0; p < stamp.bytes; ++p) {
                int32_t sum = 0;
                for (const auto& slot : core.FrameRing) sum += slot[p];
                if (ringSum(core, p) != sum)
                    fail("ring sum at byte %d is %d, the slots add up to %d", p, ringSum(core, p), sum);
            }
        }
        const bool reference = repaint && (mode == kModeSimpleDiff || mode == kModeDiff);
        if (core.ReferencePending != (reference ? 0 : pendingBefore))
            fail("mode %d left ReferencePending %d (was %d)", mode, core.ReferencePending, pendingBefore);
        if (reference && pendingBefore == 1 &&
            std::memcmp(core.ReferenceFrame.data(), frame.get(), stored) != 0)
            fail("the reference frame does not hold the frame's first %zu bytes", stored);

        ++g_tally.frames;
        g_tally.bigGeometry += size.width > kMaxSide || size.height > kMaxSide ? 1 : 0;
        g_tally.zeroOrNegative += length <= 0 ? 1 : 0;
        g_tally.shortFrames += length > 0 && length < need ? 1 : 0;
        g_tally.longFrames += need > 0 && length > need ? 1 : 0;
        g_tally.beyondSlot += length > kSlotBytes ? 1 : 0;
        g_tally.noSurface += surfacePresent_ ? 0 : 1;
        if (region) {
            const bool drawn = repaint && length >= need;
            g_tally.drawn += drawn ? 1 : 0;
            g_tally.fullFrames += drawn && need == kSlotBytes ? 1 : 0;
            checkRegion(size.width, size.height, drawn, mode, core.Kernel, frame.get());
            checkOutside(size.width, size.height);
            closeRegion(size.width, size.height);
        } else {
            checkOutside(0, 0);
        }
    }

    Reader in_;
    Core& core_ = fuzzCore();
    int64_t budget_ = kPixelBudget;
    bool surfacePresent_ = true;
};

}  // namespace

void allowEveryFullFrame() { g_inputsPerFullFrame = 0; }

const Core& eventCore() { return fuzzCore(); }

void startOver() { resetCore(fuzzCore()); }

void runEvents(const uint8_t* data, size_t size) {
    if (g_inputs++ == 0 && std::getenv("PIXELWELL_FUZZ_STATS")) std::atexit(printTally);
    Session(data, size).run();
}

}  // namespace pixelwell::fuzz
