// One stream of the frame-processing core: every record the operations keep from frame to frame
// (geometry, mode, the frame ring and its sums, the reference, the counters, the planes, the
// histogram and level table, the explanation's records), the scratch rows of one frame, the
// kernel table, and the display surface, its own or one lent to it. Its caller owns it; the
// procedures take it first (processFrame(core, frame, length)). Different cores share nothing
// that changes, so each can run on its own thread; one core is used by one thread at a time.
//
// A core is made for a capacity, the largest frame it takes, and allocates for that once: a
// ring slot holds capacity width x height x 3 bytes, the planes and the surface capacity width x
// height cells. A frame fills the last rows of each (the surface stays a bottom-up bitmap with
// the picture in its top-left corner, which is what the Windows program's bitmap needs); a
// geometry beyond the capacity draws nothing, and a longer buffer is cut at one slot.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace pixelwell {

struct KernelTable;

constexpr int32_t kMaxSide = 1280;  // widest and tallest frame any core takes
constexpr int32_t kRingSlots = 8;
// A core of capacity 1280x1280, the Windows program's: its slot, surface row and surface.
constexpr int32_t kSlotBytes = kMaxSide * kMaxSide * 3;       // 4,915,200: one 24-bit frame
constexpr int32_t kSurfaceStride = kMaxSide * 4;              // 5,120 bytes per surface row
constexpr int32_t kSurfaceBytes = kSurfaceStride * kMaxSide;  // 6,553,600
constexpr int32_t kRowPad = 64;  // room after a scratch row for whole vectors

// Width and height of a frame, or of a core's capacity (signed, as the capture status is taken).
struct FrameSize {
    int32_t width;
    int32_t height;
};

// count zeroed elements, allocated once, starting on a 64-byte line, or `pageOffset` bytes (a
// multiple of 64) into a 4 kB page; a copy is a copy of the elements, placed alike.
template <typename T>
class AlignedBuffer {
public:
    AlignedBuffer() = default;
    explicit AlignedBuffer(size_t count, int32_t pageOffset = -1);
    AlignedBuffer(const AlignedBuffer& other);
    AlignedBuffer(AlignedBuffer&& other) noexcept;
    AlignedBuffer& operator=(const AlignedBuffer& other);
    AlignedBuffer& operator=(AlignedBuffer&& other) noexcept;
    ~AlignedBuffer();

    T* data() { return data_; }
    const T* data() const { return data_; }
    size_t size() const { return count_; }
    T& operator[](size_t k) { return data_[k]; }
    const T& operator[](size_t k) const { return data_[k]; }
    T* begin() { return data_; }
    T* end() { return data_ + count_; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + count_; }
    void fill(T value);
    // Bytes asked of the allocator for it.
    size_t allocatedBytes() const;

private:
    size_t slack() const;

    void* block_ = nullptr;
    T* data_ = nullptr;
    size_t count_ = 0;
    int32_t pageOffset_ = -1;
};

using FrameSlot = AlignedBuffer<uint8_t>;

// A plane of signed 32-bit cells, `width` per row and `rows` rows (the capacity), bottom-up.
class Plane : public AlignedBuffer<int32_t> {
public:
    Plane() = default;
    Plane(int32_t width, int32_t rows, int32_t pageOffset = -1)
        : AlignedBuffer<int32_t>(static_cast<size_t>(width) * rows, pageOffset), width(width), rows(rows) {}
    int32_t width = 0;
    int32_t rows = 0;
};

// Per-byte sums of the eight ring slots over their first `bytes` bytes, kept by the 8-frame
// average so that each frame reads only the slot it replaces instead of all eight. They
// hold only while `frame` is the FrameCounter of the last store into the ring: any other
// store leaves them stale, and resetCore (or anything else that rewrites the ring or the
// counter) clears `valid`.
struct RingSumStamp {
    bool valid;
    uint32_t frame;
    int32_t bytes;
};
// Each sum (at most 8 x 255) is kept as its eighth, which is the average drawn, in RingMeans
// and the rest (0..7) in a nibble of RingRemainders: 1.5 bytes a sum rather than 2, as the
// 8-frame average moves every sum in and out of memory each frame. Byte p's nibble is the low
// one of remainderByte(p) for p % 64 < 32 and the high one after, so that a 64-byte block's
// remainders are one 32-byte run: two vectors' bytes share each byte of it, lane for lane.
constexpr int32_t remainderByte(int32_t p) { return p / 64 * 32 + p % 32; }
constexpr int32_t remainderShift(int32_t p) { return p % 64 < 32 ? 0 : 4; }

// One filter: its size (3 or 5), integer weights and divisor. The nine convolution modes have
// theirs built in; the kernel mode takes any within the limits below.
struct ConvolutionKernel {
    int32_t size;           // 3 or 5
    int32_t divisor;        // 1, 9 or 25 for the nine; 1..kMaxKernelDivisor for the kernel mode
    int32_t weights[5][5];  // [row][column]; row 0 is the line above on screen (i + reach)
};
// The kernel mode's limits: any sum of a 5x5 kernel over gray levels then fits 32 bits
// (25 x 1000 x 255 = 6,375,000).
constexpr int32_t kMaxKernelWeight = 1000;
constexpr int32_t kMaxKernelDivisor = 1000;

// The identifier ProcessingMode holds while the kernel mode is chosen. The kernel mode is
// chosen by selectKernelMode alone: this number, chosen as any other (a typed one), selects no
// operation.
constexpr int32_t kModeKernel = 1460;

// The last frame handed to the per-frame entry. No operation reads it: it lets the explanation
// of a frame say what the operation used.
struct DeliveredFrame {
    uint32_t frame;
    int32_t mode;
    int32_t length;
    bool kernelMode;  // processed in the kernel mode (mode is then kModeKernel)
};

// The filter values of the last filtered frame's two ranked values, which give the stretch's
// cuts (fusedConvolution). A frame counts its values below a few thresholds around them, spaced
// by how far they last moved; again where that left a ranked value's level open; and all of them
// when that is not enough: only the speed depends on these, never a picture.
struct CutValues {
    int32_t low;            // the value, or the middle of the values its level was told from
    int32_t high;
    uint32_t steadyFrames;  // frames in a row whose ranked values had not moved
    uint32_t recounts;      // frames that counted again
    uint32_t fullCounts;    // frames that had to count every value
    int32_t lowSpacing;     // values between the next frame's first thresholds (0 counts as 1)
    int32_t highSpacing;
    int32_t range;          // of the last frame's values (0: none yet)
};

// The last binarised frame's median gray level. A frame counts its levels below four grays
// around it; again where that leaves the median within a few grays; and all of them when
// that is not enough: only the speed depends on it, never a picture.
struct MedianGray {
    int32_t gray;
    uint32_t recounts;    // frames that counted again
    uint32_t fullCounts;  // frames that had to count every gray
};

// Rows the single-pass operations work in, for one frame at a time. Nothing in them is read
// before the frame writes it, except the value counts, whose spare tables stay zero between
// frames.
struct ScratchRows {
    ScratchRows() = default;  // none yet
    ScratchRows(int32_t width, int32_t height);
    int32_t rowStride = 0;               // of GrayRing: width and the pad, in whole cache lines
    AlignedBuffer<uint8_t> GrayRing;     // six rows of gray levels, the last ones made
    AlignedBuffer<int16_t> ColumnSums;   // 5x5 filters: five rows' sums per column
    AlignedBuffer<uint8_t> ByteRow;      // one 24-bit result row
    AlignedBuffer<uint8_t> RankRow;      // one row of rank-filter output
    AlignedBuffer<uint8_t> BorderLevels; // a filtered frame's border, as gray levels
    AlignedBuffer<int16_t> FilterValues; // filter values, rows packed
    AlignedBuffer<uint8_t> GrayLevels;   // gray levels, rows packed
    AlignedBuffer<int32_t> ValueCounts;  // eight tables of every filter value, to break store chains
    AlignedBuffer<int32_t> GrayCounts;   // eight tables of 256 gray levels

    uint8_t* grayRow(int32_t k) { return GrayRing.data() + static_cast<size_t>(k) * rowStride; }
};

// Where a core's surface comes from: its own, made with it, or one its caller lends it
// (lendSurface) and keeps alive while the core draws.
enum class SurfaceSource { Own, Lent };

// The records of one stream, under the program's names (Core adds the capacity and the surface).
struct CoreRecords {
    FrameSize FrameGeometry{0, 0};
    std::array<FrameSlot, kRingSlots> FrameRing;
    FrameSlot ReferenceFrame;
    Plane GrayPlane;
    Plane ResultPlane;
    std::array<int32_t, 256> Histogram{};
    std::array<uint8_t, 256> LevelTable{};
    uint32_t FrameCounter = 0;
    int32_t ReferencePending = 1;
    int32_t ProcessingMode = 1400;
    // The kernel mode: chosen (only while ProcessingMode is kModeKernel, so that choosing any
    // mode leaves it), and its kernel, Laplacian B's until another is set.
    bool KernelModeChosen = false;
    ConvolutionKernel Kernel{3, 1, {{-1, -1, -1}, {-1, 8, -1}, {-1, -1, -1}}};
    // Pixels of the bottom-up 32-bit surface the operations draw into (its own, or lent); null
    // while there is none, and then nothing is drawn.
    uint8_t* DisplaySurface = nullptr;

    // The 8-frame average's sums (see RingSumStamp).
    RingSumStamp RingSumsStamp{false, 0, 0};
    FrameSlot RingMeans;
    FrameSlot RingRemainders;

    // What the explanation reports: the last frame handed in, and the FrameCounter of the frame
    // the ReferenceFrame was taken from (0: none since start).
    DeliveredFrame LastDelivered{0, 1400, 0, false};
    // The kernel the last frame in the kernel mode was processed with (a kernel set since does
    // not change what that frame was).
    ConvolutionKernel LastKernel{3, 1, {{-1, -1, -1}, {-1, 8, -1}, {-1, -1, -1}}};
    uint32_t ReferenceTakenAt = 0;
    // Where the cut and median searches start (the speed depends on them, never a picture).
    CutValues LastCutValues{0, 0, 0, 0, 0, 0, 0, 0};
    MedianGray LastMedian{0, 0, 0};

    // The row kernels it calls, chosen when it was made; never changed by a frame.
    const KernelTable* kernels = nullptr;
    // The size of the CPU's largest data cache (0: unknown), which decides how frames that the
    // ring reads back are stored: the detected size unless a test sets another.
    int64_t LastLevelCacheBytes = 0;

    ScratchRows scratch;
};

class Core : public CoreRecords {
public:
    // A core for frames up to capacity.width x capacity.height (each taken within 1..1280), with
    // the kernel table it calls (by default the widest the CPU runs, as selectKernels() says);
    // with its own surface, all zero, or none until one is lent.
    explicit Core(FrameSize capacity, const KernelTable& table, SurfaceSource surface = SurfaceSource::Own);
    explicit Core(FrameSize capacity, SurfaceSource surface = SurfaceSource::Own);
    // An independent stream in the same state, with the same table. It draws into its own copy
    // of the surface, whether the original's was its own or lent (a copy of a core without a
    // surface has none).
    Core(const Core& other);
    Core& operator=(const Core& other);
    // A moved-from core may only be assigned to or destroyed.
    Core(Core&& other) noexcept;
    Core& operator=(Core&& other) noexcept;
    ~Core() = default;

    FrameSize capacity() const { return capacity_; }
    // Bytes of a ring slot and of the reference: capacity width x height x 3.
    int32_t slotBytes() const { return capacity_.width * capacity_.height * 3; }
    // Bytes from one surface row to the next: capacity width x 4.
    int32_t surfaceStride() const { return capacity_.width * 4; }
    // Bytes of the surface: surfaceStride() x capacity height.
    size_t surfaceBytes() const { return static_cast<size_t>(surfaceStride()) * capacity_.height; }
    // Memory it holds: itself and every buffer it allocated (its own surface included).
    size_t heldBytes() const;
    bool ownsSurface() const { return ownSurface_.data() != nullptr; }

private:
    friend void lendSurface(Core& core, uint8_t* pixels);
    FrameSize capacity_;
    AlignedBuffer<uint8_t> ownSurface_;
};

// The sum of the eight slots' byte p, as the ring's sums hold it.
inline int32_t ringSum(const Core& core, int32_t p) {
    return core.RingMeans[p] * 8 + (core.RingRemainders[remainderByte(p)] >> remainderShift(p) & 7);
}

// Puts every record back to its start-up contents (the surface and the table are left alone).
void resetCore(Core& core);

// The frame size the operations read from the next frame on, as the capture status gives it.
void setFrameGeometry(Core& core, int32_t width, int32_t height);

// Lends the core a surface of its capacity (surfaceBytes(), bottom-up rows of surfaceStride()
// bytes) to draw into from now on, which the caller keeps alive meanwhile; null: no surface,
// nothing is drawn. A surface of its own is given up.
void lendSurface(Core& core, uint8_t* pixels);

}  // namespace pixelwell
