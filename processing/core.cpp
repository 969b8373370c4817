#include "core.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "address_sanitizer.h"
#include "kernels.h"
#include "operations.h"
// Large blocks straight from the system where it has mmap (but not under AddressSanitizer, whose
// own calloc already maps them and keeps its checks around them).
#if defined(__unix__) && !defined(__EMSCRIPTEN__) && !defined(PIXELWELL_ASAN)
#define PIXELWELL_MAP_LARGE 1
#include <sys/mman.h>
#endif

namespace pixelwell {

namespace {

constexpr size_t kAlignment = 64;
constexpr size_t kPage = 4096;
#ifdef PIXELWELL_MAP_LARGE
constexpr size_t kMapped = size_t{1} << 20;  // blocks of this size and more are mapped
#endif

// A zeroed block. glibc's calloc clears a freed large block again by hand once its threshold for
// mapping has risen (after the first large free), which made every new core write all its bytes;
// mapped pages are zero until touched, so a core costs only the pages its frames reach.
void* zeroedBlock(size_t bytes) {
#ifdef PIXELWELL_MAP_LARGE
    if (bytes >= kMapped) {
        void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        return block == MAP_FAILED ? nullptr : block;
    }
#endif
    return std::calloc(bytes, 1);
}

void freeBlock(void* block, size_t bytes) {
#ifdef PIXELWELL_MAP_LARGE
    if (bytes >= kMapped) {
        if (block) munmap(block, bytes);
        return;
    }
#endif
    (void)bytes;
    std::free(block);
}

}  // namespace

// Bytes beyond the elements that placing them may take.
template <typename T>
size_t AlignedBuffer<T>::slack() const {
    return pageOffset_ < 0 ? kAlignment - 1 : kPage - 1 + static_cast<size_t>(pageOffset_);
}

// Zeroed blocks, not new and a fill: large blocks come as fresh zero pages, so a core costs only
// the pages its frames touch (a 1280x1280 core holds 76 MB, of which small frames use little).
template <typename T>
AlignedBuffer<T>::AlignedBuffer(size_t count, int32_t pageOffset) : count_(count), pageOffset_(pageOffset) {
    if (count == 0) return;
    block_ = zeroedBlock(count * sizeof(T) + slack());
    if (!block_) throw std::bad_alloc();
    const auto address = reinterpret_cast<uintptr_t>(block_);
    data_ = reinterpret_cast<T*>(pageOffset < 0 ? (address + kAlignment - 1) / kAlignment * kAlignment
                                                : (address + kPage - 1) / kPage * kPage + pageOffset);
#ifdef PIXELWELL_ASAN
    // The slack before and after the elements is no part of the buffer: reading it is a fault.
    const auto begin = reinterpret_cast<char*>(data_);
    const auto end = reinterpret_cast<char*>(data_ + count);
    ASAN_POISON_MEMORY_REGION(block_, begin - static_cast<char*>(block_));
    ASAN_POISON_MEMORY_REGION(end, static_cast<char*>(block_) + count * sizeof(T) + slack() - end);
#endif
}

template <typename T>
AlignedBuffer<T>::AlignedBuffer(const AlignedBuffer& other) : AlignedBuffer(other.count_, other.pageOffset_) {
    if (count_ > 0) std::memcpy(data_, other.data_, count_ * sizeof(T));
}

template <typename T>
AlignedBuffer<T>::AlignedBuffer(AlignedBuffer&& other) noexcept
    : block_(std::exchange(other.block_, nullptr)), data_(std::exchange(other.data_, nullptr)),
      count_(std::exchange(other.count_, 0)), pageOffset_(other.pageOffset_) {}

template <typename T>
AlignedBuffer<T>& AlignedBuffer<T>::operator=(const AlignedBuffer& other) {
    if (this == &other) return *this;
    if (count_ == other.count_ && pageOffset_ == other.pageOffset_) {
        if (count_ > 0) std::memcpy(data_, other.data_, count_ * sizeof(T));
        return *this;
    }
    return *this = AlignedBuffer(other);
}

template <typename T>
AlignedBuffer<T>& AlignedBuffer<T>::operator=(AlignedBuffer&& other) noexcept {
    std::swap(block_, other.block_);
    std::swap(data_, other.data_);
    std::swap(count_, other.count_);
    std::swap(pageOffset_, other.pageOffset_);
    return *this;
}

template <typename T>
AlignedBuffer<T>::~AlignedBuffer() {
    if (block_) freeBlock(block_, count_ * sizeof(T) + slack());
}

template <typename T>
void AlignedBuffer<T>::fill(T value) {
    std::fill(data_, data_ + count_, value);
}

template <typename T>
size_t AlignedBuffer<T>::allocatedBytes() const {
    return count_ == 0 ? 0 : count_ * sizeof(T) + slack();
}

template class AlignedBuffer<uint8_t>;
template class AlignedBuffer<int16_t>;
template class AlignedBuffer<int32_t>;

namespace {

constexpr int32_t kValueSpan = 2 * 2040 + 1;  // kFilterValueMin .. kFilterValueMax

size_t roundToLine(size_t bytes) { return (bytes + kAlignment - 1) / kAlignment * kAlignment; }

// Where the large buffers start within a page. A pass that stores into one buffer while it loads
// from another slows down when both start at the same place in a page: its loads then wait on
// earlier stores whose addresses only look alike (their low 12 bits match). These places keep
// apart the buffers a pass uses together, and keep the ring and the sums away from a page's
// start, where the frames handed in usually begin (an allocator's large blocks). Measured at
// 1280x1280: the ring and the sums at one place made the scalar 8-frame average 28 % slower.
constexpr int32_t kRingAt = 1664;        // the ring's slots and the reference
constexpr int32_t kSumsAt = 320;         // the 8-frame average's means and remainders
constexpr int32_t kGrayPlaneAt = 2688;   // the plain operations' planes
constexpr int32_t kResultPlaneAt = 3712;
constexpr int32_t kValuesAt = 1344;      // a frame's filter values, or its gray levels
constexpr int32_t kGrayRowsAt = 2304;    // the last rows of gray levels
constexpr int32_t kByteRowAt = 4032;     // one 24-bit result row
constexpr int32_t kSurfaceAt = 2944;     // a surface of its own

FrameSize withinLimits(FrameSize capacity) {
    return {std::clamp(capacity.width, 1, kMaxSide), std::clamp(capacity.height, 1, kMaxSide)};
}

}  // namespace

ScratchRows::ScratchRows(int32_t width, int32_t height)
    : rowStride(static_cast<int32_t>(roundToLine(static_cast<size_t>(width) + kRowPad))),
      GrayRing(static_cast<size_t>(6) * rowStride, kGrayRowsAt),
      ColumnSums(static_cast<size_t>(width)),
      ByteRow(static_cast<size_t>(width) * 3 + kRowPad, kByteRowAt),
      RankRow(static_cast<size_t>(width) + kRowPad),
      BorderLevels(static_cast<size_t>(width) + kRowPad),
      FilterValues(static_cast<size_t>(width) * height, kValuesAt),
      GrayLevels(static_cast<size_t>(width) * height, kValuesAt),
      ValueCounts(static_cast<size_t>(8) * kValueSpan),
      GrayCounts(static_cast<size_t>(8) * 256) {}

Core::Core(FrameSize capacity, const KernelTable& table, SurfaceSource surface)
    : capacity_(withinLimits(capacity)) {
    const auto slot = static_cast<size_t>(slotBytes());
    for (FrameSlot& s : FrameRing) s = FrameSlot(slot, kRingAt);
    ReferenceFrame = FrameSlot(slot, kRingAt);
    GrayPlane = Plane(capacity_.width, capacity_.height, kGrayPlaneAt);
    ResultPlane = Plane(capacity_.width, capacity_.height, kResultPlaneAt);
    // Sums for whole 64-byte blocks: the kernels keep a block's remainders in one 32-byte run.
    RingMeans = FrameSlot(slot, kSumsAt);
    RingRemainders = FrameSlot(roundToLine(slot) / 2, kSumsAt);
    kernels = &table;
    LastLevelCacheBytes = detectedLastLevelCacheBytes();
    scratch = ScratchRows(capacity_.width, capacity_.height);
    if (surface == SurfaceSource::Own) {
        ownSurface_ = AlignedBuffer<uint8_t>(surfaceBytes(), kSurfaceAt);
        DisplaySurface = ownSurface_.data();
    }
}

Core::Core(FrameSize capacity, SurfaceSource surface) : Core(capacity, selectKernels(), surface) {}

Core::Core(const Core& other) : CoreRecords(other), capacity_(other.capacity_) {
    DisplaySurface = nullptr;
    if (other.DisplaySurface) {
        ownSurface_ = AlignedBuffer<uint8_t>(surfaceBytes(), kSurfaceAt);
        std::memcpy(ownSurface_.data(), other.DisplaySurface, surfaceBytes());
        DisplaySurface = ownSurface_.data();
    }
}

Core& Core::operator=(const Core& other) {
    if (this != &other) *this = Core(other);
    return *this;
}

Core::Core(Core&& other) noexcept
    : CoreRecords(std::move(other)), capacity_(other.capacity_), ownSurface_(std::move(other.ownSurface_)) {
    other.DisplaySurface = nullptr;
}

Core& Core::operator=(Core&& other) noexcept {
    if (this == &other) return *this;
    CoreRecords::operator=(std::move(other));
    capacity_ = other.capacity_;
    ownSurface_ = std::move(other.ownSurface_);
    other.DisplaySurface = nullptr;
    return *this;
}

size_t Core::heldBytes() const {
    size_t bytes = sizeof(Core) + ReferenceFrame.allocatedBytes() + GrayPlane.allocatedBytes() +
                   ResultPlane.allocatedBytes() + RingMeans.allocatedBytes() + RingRemainders.allocatedBytes() +
                   ownSurface_.allocatedBytes();
    for (const FrameSlot& slot : FrameRing) bytes += slot.allocatedBytes();
    const ScratchRows& s = scratch;
    bytes += s.GrayRing.allocatedBytes() + s.ColumnSums.allocatedBytes() + s.ByteRow.allocatedBytes() +
             s.RankRow.allocatedBytes() + s.BorderLevels.allocatedBytes() + s.FilterValues.allocatedBytes() +
             s.GrayLevels.allocatedBytes() + s.ValueCounts.allocatedBytes() + s.GrayCounts.allocatedBytes();
    return bytes;
}

void resetCore(Core& core) {
    core.FrameGeometry = {0, 0};
    for (FrameSlot& slot : core.FrameRing) slot.fill(0);
    core.ReferenceFrame.fill(0);
    core.GrayPlane.fill(0);
    core.ResultPlane.fill(0);
    core.Histogram.fill(0);
    core.LevelTable.fill(0);
    core.FrameCounter = 0;
    core.RingSumsStamp.valid = false;
    core.ReferencePending = 1;
    core.ProcessingMode = 1400;
    core.KernelModeChosen = false;
    core.Kernel = *kernelForMode(1412);
    core.LastKernel = core.Kernel;
    core.LastDelivered = {0, 1400, 0, false};
    core.ReferenceTakenAt = 0;
    core.LastCutValues = {0, 0, 0, 0, 0, 0, 0, 0};
    core.LastMedian = {0, 0, 0};
}

void setFrameGeometry(Core& core, int32_t width, int32_t height) { core.FrameGeometry = {width, height}; }

void lendSurface(Core& core, uint8_t* pixels) {
    if (pixels && pixels == core.ownSurface_.data()) return;  // its own, already
    core.ownSurface_ = AlignedBuffer<uint8_t>();
    core.DisplaySurface = pixels;
}

}  // namespace pixelwell
