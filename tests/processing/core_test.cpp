// A core is one stream: two cores on two threads, each with its own schedule, draw what each
// draws alone; a copy made at any frame goes on exactly as the original; a core of a smaller
// capacity takes what fits it and nothing more; and what a core holds for its capacity.
// Also built alone under ThreadSanitizer (scripts/test), where the threads' test proves that
// different cores share nothing that changes.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#include <unistd.h>

#include <fstream>
#endif

#include "dispatcher.h"
#include "frame_store.h"
#include "kernels.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define PIXELWELL_SANITIZED_ALLOCATOR 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PIXELWELL_SANITIZED_ALLOCATOR 1
#endif

namespace pixelwell {
namespace {

using Bytes = std::vector<uint8_t>;

// A clip: frames of a size that change from one to the next (moving bands, a drifting square,
// grain), so that the temporal modes and the filters' searches see real change.
std::vector<Bytes> clipOf(int32_t width, int32_t height, int32_t count, uint32_t seed) {
    std::vector<Bytes> frames;
    uint32_t state = seed * 2654435761u + 1;
    for (int32_t n = 0; n < count; ++n) {
        Bytes frame(static_cast<size_t>(width) * height * 3);
        for (int32_t i = 0; i < height; ++i)
            for (int32_t j = 0; j < width; ++j) {
                state = state * 1664525u + 1013904223u;
                const bool square = std::abs(i - height / 2) < height / 5 && std::abs(j - (n * 3) % width) < width / 6;
                uint8_t* p = &frame[3 * (static_cast<size_t>(i) * width + j)];
                p[0] = static_cast<uint8_t>((j * 5 + n * 7) + (state >> 28));
                p[1] = static_cast<uint8_t>(square ? 230 : i * 3 + (state >> 29));
                p[2] = static_cast<uint8_t>((i + j + n) * 2);
            }
        frames.push_back(std::move(frame));
    }
    return frames;
}

// Every operation, each for `each` frames from frame `first` on, in the menu's order or the
// reverse: the temporal modes and the reference modes among them.
struct Switch {
    int32_t frame;
    int32_t mode;
};
std::vector<Switch> scheduleOf(bool reversed, int32_t each, int32_t first = 0) {
    std::vector<int32_t> modes;
    for (const ModeInfo& info : ModeTable)
        if (info.id != kModeNone) modes.push_back(info.id);
    if (reversed) std::reverse(modes.begin(), modes.end());
    std::vector<Switch> schedule;
    for (size_t k = 0; k < modes.size(); ++k)
        schedule.push_back({first + static_cast<int32_t>(k) * each, modes[k]});
    return schedule;
}

// One stream's setup: its capacity, frame size, clip and schedule, and the table of its core.
struct Stream {
    FrameSize capacity;
    int32_t width, height;
    std::vector<Bytes> frames;
    std::vector<Switch> schedule;
    const KernelTable* table = &selectKernels();
};

// The frame region of the core's surface (rows bottom-up), which is all a frame draws.
Bytes region(const Core& core) {
    Bytes out;
    const auto [width, height] = core.FrameGeometry;
    for (int32_t i = 0; i < height; ++i) {
        const uint8_t* row = surfaceRow(core, i, height);
        out.insert(out.end(), row, row + 4 * width);
    }
    return out;
}

// Frame n of the stream into the core, as a front-end hands it over, with the modes chosen
// before it; returns what the frame drew, and the repaint flag as its last byte.
Bytes step(Core& core, const Stream& s, int32_t n) {
    for (const Switch& w : s.schedule)
        if (w.frame == n) selectProcessingMode(core, w.mode);
    setFrameGeometry(core, s.width, s.height);
    const Bytes& frame = s.frames[static_cast<size_t>(n) % s.frames.size()];
    const bool repaint = processFrame(core, frame.data(), static_cast<int32_t>(frame.size()));
    Bytes drawn = region(core);
    drawn.push_back(repaint);
    return drawn;
}

int32_t framesOf(const Stream& s) { return s.schedule.back().frame + 4; }

std::vector<Bytes> runAlone(const Stream& s) {
    Core core(s.capacity, *s.table);
    std::vector<Bytes> out;
    for (int32_t n = 0; n < framesOf(s); ++n) out.push_back(step(core, s, n));
    return out;
}

// Two threads meet here after every frame, so that each frame of one core runs while the
// other core works on its own.
class Rendezvous {
public:
    void arrive() {
        std::unique_lock<std::mutex> lock(mutex_);
        const uint64_t round = round_;
        if (++waiting_ == 2) {
            waiting_ = 0;
            ++round_;
            changed_.notify_all();
        } else {
            changed_.wait(lock, [&] { return round_ != round; });
        }
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int waiting_ = 0;
    uint64_t round_ = 0;
};

// Each table the CPU runs, in both cores: ThreadSanitizer sees the accesses of up to 16 bytes,
// which the scalar, SSE2 and SSSE3 tables make throughout (it passes over AVX2's 32-byte ones).
std::vector<const KernelTable*> everyTable() {
    std::vector<const KernelTable*> tables{&scalarKernels()};
    for (const KernelTable* t : {sse2Kernels(), ssse3Kernels(), avx2Kernels()})
        if (t) tables.push_back(t);
    return tables;
}

class TwoStreams : public testing::TestWithParam<const KernelTable*> {};

TEST_P(TwoStreams, TwoCoresOnTwoThreadsDrawWhatEachDrawsAlone) {
    // A core of its frame's size, and one as the Windows program has it with another frame size.
    // Every operation in each, one frame apart, so that the two mostly run the same operation at
    // the same time and sometimes different ones; then every operation again, in opposite orders.
    auto twice = [](std::vector<Switch> first, const std::vector<Switch>& then) {
        const int32_t after = first.back().frame + 3;
        for (const Switch& w : then) first.push_back({after + w.frame, w.mode});
        return first;
    };
    const KernelTable* table = GetParam();
    const Stream streams[2] = {
        {{120, 90}, 120, 90, clipOf(120, 90, 11, 1), twice(scheduleOf(false, 3), scheduleOf(false, 2)), table},
        {{kMaxSide, kMaxSide}, 97, 61, clipOf(97, 61, 13, 2), twice(scheduleOf(false, 3, 1), scheduleOf(true, 2)),
         table}};
    const std::vector<Bytes> alone[2] = {runAlone(streams[0]), runAlone(streams[1])};
    std::vector<Bytes> together[2];
    Rendezvous rendezvous;
    auto run = [&](int k) {
        Core core(streams[k].capacity, *streams[k].table);
        const int32_t frames = std::max(framesOf(streams[0]), framesOf(streams[1]));
        for (int32_t n = 0; n < frames; ++n) {
            if (n < framesOf(streams[k])) together[k].push_back(step(core, streams[k], n));
            rendezvous.arrive();
        }
    };
    std::thread first(run, 0), second(run, 1);
    first.join();
    second.join();
    for (int k = 0; k < 2; ++k) {
        ASSERT_EQ(together[k].size(), alone[k].size());
        for (size_t n = 0; n < alone[k].size(); ++n)
            ASSERT_TRUE(together[k][n] == alone[k][n]) << "stream " << k << " frame " << n;
    }
}

INSTANTIATE_TEST_SUITE_P(EveryTable, TwoStreams, testing::ValuesIn(everyTable()),
                         [](const testing::TestParamInfo<const KernelTable*>& info) {
                             return std::string(info.param->name);
                         });

// Copies made at several frames, of a core with a lent surface larger than the frames: each
// copy draws into its own surface, and the original and the copy, fed the same frames in turn, both go on as the
// original alone does (a copy sharing anything with it would see the other's frames).
TEST(CoreCopy, ACopyMadeAtAnyFrameGoesOnExactly) {
    const Stream s{{96, 64}, 64, 48, clipOf(64, 48, 9, 3), scheduleOf(false, 3)};
    const std::vector<Bytes> alone = runAlone(s);
    const int32_t frames = framesOf(s);
    for (const int32_t at : {1, 8, 9, 16, 20, 31, 40, 55, frames - 2}) {
        Bytes lent(96 * 64 * 4, 0xCD);
        Core original(s.capacity, SurfaceSource::Lent);
        lendSurface(original, lent.data());
        for (int32_t n = 0; n < at; ++n) step(original, s, n);
        Core copy = original;
        ASSERT_NE(copy.DisplaySurface, original.DisplaySurface) << "at " << at;
        ASSERT_TRUE(copy.ownsSurface()) << "at " << at;
        ASSERT_EQ(std::memcmp(copy.DisplaySurface, lent.data(), lent.size()), 0) << "at " << at;
        EXPECT_EQ(copy.kernels, original.kernels);
        // Assigned over a core of another capacity, too.
        Core assigned({8, 8}, scalarKernels());
        assigned = copy;
        for (int32_t n = at; n < frames; ++n) {
            const Bytes fromOriginal = step(original, s, n);
            const Bytes fromCopy = step(copy, s, n);
            const Bytes fromAssigned = step(assigned, s, n);
            ASSERT_TRUE(fromOriginal == alone[n]) << "original, copied at " << at << ", frame " << n;
            ASSERT_TRUE(fromCopy == alone[n]) << "copy made at " << at << ", frame " << n;
            ASSERT_TRUE(fromAssigned == alone[n]) << "assigned copy made at " << at << ", frame " << n;
        }
    }
}

TEST(CoreCopy, ACopyOfACoreWithoutASurfaceHasNone) {
    Core original({32, 32}, SurfaceSource::Lent);
    const Core copy = original;
    EXPECT_EQ(copy.DisplaySurface, nullptr);
    EXPECT_FALSE(copy.ownsSurface());
    Core moved = std::move(original);
    EXPECT_EQ(moved.DisplaySurface, nullptr);
}

// A core of 64x48: frames up to that size are drawn in the last rows of its surface; a larger
// geometry draws nothing but still asks for a repaint (and a pending reference is taken); a
// longer buffer is stored cut at the capacity's slot, 9,216 bytes.
TEST(CoreCapacity, ASmallCoreTakesWhatFitsItsCapacity) {
    Core core({64, 48});
    ASSERT_EQ(core.slotBytes(), 64 * 48 * 3);
    ASSERT_EQ(core.surfaceStride(), 64 * 4);
    std::memset(core.DisplaySurface, 0xCD, core.surfaceBytes());
    selectProcessingMode(core, kModeSimpleDiff);
    for (const auto& [width, height] : {std::pair{65, 48}, {64, 49}, {1280, 1280}}) {
        const Bytes frame(static_cast<size_t>(width) * height * 3, 9);
        setFrameGeometry(core, width, height);
        EXPECT_TRUE(processFrame(core, frame.data(), static_cast<int32_t>(frame.size()))) << width << "x" << height;
        EXPECT_TRUE(std::all_of(core.DisplaySurface, core.DisplaySurface + core.surfaceBytes(),
                                [](uint8_t b) { return b == 0xCD; }))
            << width << "x" << height;
    }
    EXPECT_EQ(core.ReferencePending, 0);  // taken from the first, cut at the slot
    EXPECT_EQ(core.ReferenceFrame[core.slotBytes() - 1], 9);

    // A frame of 32x24 within it: drawn in surface rows 24..47, the rest left alone.
    selectProcessingMode(core, kModeNormal);
    setFrameGeometry(core, 32, 24);
    Bytes frame(32 * 24 * 3);
    for (size_t k = 0; k < frame.size(); ++k) frame[k] = static_cast<uint8_t>(k * 7);
    ASSERT_TRUE(processFrame(core, frame.data(), static_cast<int32_t>(frame.size())));
    for (int32_t row = 0; row < 48; ++row)
        for (int32_t j = 0; j < 64; ++j) {
            const uint8_t* p = core.DisplaySurface + static_cast<size_t>(row) * 256 + 4 * j;
            if (row >= 24 && j < 32) {
                const uint8_t* src = &frame[3 * (static_cast<size_t>(row - 24) * 32 + j)];
                ASSERT_TRUE(p[0] == src[0] && p[1] == src[1] && p[2] == src[2] && p[3] == 0) << row << "," << j;
            } else {
                ASSERT_EQ(p[0], 0xCD) << row << "," << j;
            }
        }

    // The whole capacity, with a buffer one slot and more long: the slot keeps its first 9,216.
    setFrameGeometry(core, 64, 48);
    const Bytes longer(core.slotBytes() + 100, 0x5A);
    ASSERT_TRUE(processFrame(core, longer.data(), static_cast<int32_t>(longer.size())));
    EXPECT_EQ(core.FrameRing[core.FrameCounter & 7].size(), 9216u);
    EXPECT_EQ(core.FrameRing[core.FrameCounter & 7][9215], 0x5A);
    EXPECT_EQ(core.DisplaySurface[0], 0x5A);
}

TEST(CoreCapacity, CapacitiesAreTakenWithin1To1280) {
    EXPECT_EQ(Core({0, -3}, SurfaceSource::Lent).capacity().width, 1);
    EXPECT_EQ(Core({5000, 7}, SurfaceSource::Lent).capacity().width, kMaxSide);
    EXPECT_EQ(Core({5000, 7}, SurfaceSource::Lent).capacity().height, 7);
}

#if defined(__GLIBC__) && !defined(PIXELWELL_SANITIZED_ALLOCATOR)
// The process's address space, in bytes.
size_t mappedBytes() {
    std::ifstream statm("/proc/self/statm");
    size_t pages = 0;
    statm >> pages;
    return pages * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}
#endif

// What a core holds, per pixel of its capacity: eight ring slots, the reference and the
// 8-frame average's means (3 bytes each), its remainders (1.5), the gray and result planes (4
// each), its own surface (4), the filter values (2) and gray levels (1): 46.5 bytes. Then the
// value counts (8 x 4,081 x 4 bytes) and gray counts (8 x 256 x 4), a few rows, and the room
// each buffer takes to start where it does in a page, and the records themselves (the kernel
// mode's two kernels among them).
struct Held {
    int32_t width, height;
    size_t bytes;
};
const Held kHeld[] = {{320, 240, 3'825'129}, {640, 480, 14'542'889}, {1280, 1280, 76'452'009}};

TEST(CoreMemory, WhatACoreOfEachCapacityHolds) {
    for (const Held& h : kHeld) {
        const std::string what = std::to_string(h.width) + "x" + std::to_string(h.height);
#if defined(__GLIBC__) && !defined(PIXELWELL_SANITIZED_ALLOCATOR)
        const struct mallinfo2 before = mallinfo2();
        const size_t mappedBefore = mappedBytes();
#endif
        auto core = std::make_unique<Core>(FrameSize{h.width, h.height});
#if defined(__GLIBC__) && !defined(PIXELWELL_SANITIZED_ALLOCATOR)
        // What the allocator handed out, and the blocks the core mapped itself (what the address
        // space grew by, less the heap's own growth): each block a few bytes more (pages, for
        // large ones).
        const struct mallinfo2 after = mallinfo2();
        const size_t allocated = (after.uordblks - before.uordblks) + (mappedBytes() - mappedBefore) -
                                 (after.arena - before.arena);
        EXPECT_GE(allocated, core->heldBytes()) << what;
        EXPECT_LE(allocated, core->heldBytes() + 32 * 4096) << what;
#endif
        EXPECT_EQ(core->heldBytes(), h.bytes) << what;
        const size_t perPixel = static_cast<size_t>(h.width) * h.height * 93 / 2;
        EXPECT_GT(core->heldBytes(), perPixel) << what;
        EXPECT_LT(core->heldBytes() - perPixel, size_t{300'000}) << what;
    }
    EXPECT_LE(kHeld[1].bytes, size_t{16} << 20) << "a 640x480 core";
    // Without a surface of its own, that much less (and its room in a page).
    const size_t lent = Core({640, 480}, SurfaceSource::Lent).heldBytes();
    EXPECT_LE(lent, kHeld[1].bytes - 640 * 480 * 4);
    EXPECT_GE(lent, kHeld[1].bytes - 640 * 480 * 4 - 8192);
}

}  // namespace
}  // namespace pixelwell
