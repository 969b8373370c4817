// The SSSE3 + SSE4.1 row kernels, included by kernels_ssse3.cpp (x86) and by kernels_wasm.cpp
// (WebAssembly SIMD128, which defines PIXELWELL_WASM_TABLE: the instructions that Emscripten maps
// onto several of its own are written there in SIMD128 directly, with the same results), each
// compiled for its instruction set. Over the SSE2 table it adds the byte shuffle (pshufb), which
// the 24-bit rows need, and SSE4.1's 32-bit multiply, min/max and blend for the tone map and the
// difference. makeTable(name) gives the table.

namespace pixelwell {

namespace {

#include "kernels_sse_v.inl"

}  // namespace
}  // namespace pixelwell

#include "kernels_simd.inl"

namespace pixelwell {

namespace {

#ifdef PIXELWELL_WASM_TABLE
// The top halves of the unsigned 16-bit products, narrowed (each fits: no saturation), where
// Emscripten's pmulhuw gathers them with a general shuffle.
inline __m128i mulhiU16(__m128i a, __m128i b) {
    return wasm_u16x8_narrow_i32x4(wasm_u32x4_shr(wasm_u32x4_extmul_low_u16x8(a, b), 16),
                                   wasm_u32x4_shr(wasm_u32x4_extmul_high_u16x8(a, b), 16));
}
// The difference's choice: the mask is whole lanes of ones or zeros, which bitselect takes as
// it is (Emscripten's pblendvb first spreads each byte's top bit).
inline __m128i blendLanes(__m128i a, __m128i b, __m128i mask) { return wasm_v128_bitselect(b, a, mask); }
#else
inline __m128i mulhiU16(__m128i a, __m128i b) { return _mm_mulhi_epu16(a, b); }
inline __m128i blendLanes(__m128i a, __m128i b, __m128i mask) { return _mm_blendv_epi8(a, b, mask); }
#endif

// Sixteen 24-bit pixels from exactly 48 bytes, as four registers of four pixels each in
// their low 12 bytes.
inline void split16Pixels(__m128i a, __m128i b, __m128i c, __m128i (&q)[4]) {
    q[0] = a;
    q[1] = _mm_alignr_epi8(b, a, 12);
    q[2] = _mm_alignr_epi8(c, b, 8);
    q[3] = _mm_srli_si128(c, 4);
}
inline void load16Pixels(const uint8_t* bgr, __m128i (&q)[4]) {
    split16Pixels(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bgr)),
                  _mm_loadu_si128(reinterpret_cast<const __m128i*>(bgr + 16)),
                  _mm_loadu_si128(reinterpret_cast<const __m128i*>(bgr + 32)), q);
}

// Four pixels B, G, R to B, G, R, 0 in 32-bit lanes.
inline __m128i widenPixels(__m128i q) {
    return _mm_shuffle_epi8(q, _mm_setr_epi8(0, 1, 2, -128, 3, 4, 5, -128, 6, 7, 8, -128, 9, 10, 11, -128));
}

// Sixteen gray levels to sixteen surface pixels (g, g, g, 0), one shuffle per four.
inline void storeGray16(uint8_t* surface, __m128i g) {
    const __m128i spread = _mm_setr_epi8(0, 0, 0, -128, 1, 1, 1, -128, 2, 2, 2, -128, 3, 3, 3, -128);
    const __m128i four = _mm_set1_epi8(4);
    __m128i pick = spread;
    for (int k = 0; k < 4; ++k) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(surface + 16 * k), _mm_shuffle_epi8(g, pick));
        pick = _mm_add_epi8(pick, four);  // the -128 entries stay negative: zero bytes
    }
}

#include "kernels_levels.inl"

template <bool kInvert>
void copyRowImpl(const uint8_t* bgr, uint8_t* surface, int width) {
    const __m128i flip = _mm_set1_epi32(kInvert ? 0x00FFFFFF : 0);
    const bool done = blocksOf16(width, [&](int j) {
        __m128i q[4];
        load16Pixels(bgr + 3 * j, q);
        for (int k = 0; k < 4; ++k)
            _mm_storeu_si128(reinterpret_cast<__m128i*>(surface + 4 * j + 16 * k),
                             _mm_xor_si128(widenPixels(q[k]), flip));
    });
    if (!done) (kInvert ? scalarKernels().invertRow : scalarKernels().copyRow)(bgr, surface, width);
}

// Sixteen gray levels of the pixels split by load16Pixels: per pixel B and G as a 16-bit pair
// and R alone, so two multiply-adds give 117 B + 601 G + 306 R (at most 261120, so the shift is
// of a non-negative sum).
inline __m128i gray16(const __m128i (&q)[4]) {
    const __m128i bgShuffle = _mm_setr_epi8(0, -128, 1, -128, 3, -128, 4, -128, 6, -128, 7, -128, 9, -128, 10, -128);
    const __m128i rShuffle = _mm_setr_epi8(2, -128, -128, -128, 5, -128, -128, -128, 8, -128, -128, -128, 11, -128,
                                           -128, -128);
    const __m128i bgWeights = _mm_set1_epi32(601 << 16 | 117);
    const __m128i rWeight = _mm_set1_epi32(306);
    auto levels4 = [&](__m128i p) {
        const __m128i sum = _mm_add_epi32(_mm_madd_epi16(_mm_shuffle_epi8(p, bgShuffle), bgWeights),
                                          _mm_madd_epi16(_mm_shuffle_epi8(p, rShuffle), rWeight));
        return _mm_srli_epi32(sum, 10);
    };
    const __m128i lo = _mm_packs_epi32(levels4(q[0]), levels4(q[1]));
    const __m128i hi = _mm_packs_epi32(levels4(q[2]), levels4(q[3]));
    return _mm_packus_epi16(lo, hi);
}

void grayRow(const uint8_t* bgr, uint8_t* gray, int width) {
    const bool done = blocksOf16(width, [&](int j) {
        __m128i q[4];
        load16Pixels(bgr + 3 * j, q);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(gray + j), gray16(q));
    });
    if (!done) scalarKernels().grayRow(bgr, gray, width);
}

// Sixteen pixels' gray levels from exactly their 48 bytes.
inline void storeGrayOf48(uint8_t* gray, __m128i a, __m128i b, __m128i c) {
    __m128i q[4];
    split16Pixels(a, b, c, q);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(gray), gray16(q));
}

void differenceRow(const uint8_t* cur, const uint8_t* ref, uint8_t* surface, int width) {
    const __m128i limit = _mm_set1_epi32(360);
    const __m128i zero = _mm_setzero_si128();
    const bool done = blocksOf16(width, [&](int j) {
        __m128i cq[4], rq[4];
        load16Pixels(cur + 3 * j, cq);
        load16Pixels(ref + 3 * j, rq);
        for (int k = 0; k < 4; ++k) {
            const __m128i c = widenPixels(cq[k]), r = widenPixels(rq[k]);
            const __m128i d = _mm_or_si128(_mm_subs_epu8(c, r), _mm_subs_epu8(r, c));
            // Squares of B, G, R (and the zero fourth byte) in pairs, then each pixel's pairs
            // added: pixels 0, 1 from the low half, 2, 3 from the high half, in order.
            const __m128i lo = _mm_unpacklo_epi8(d, zero), hi = _mm_unpackhi_epi8(d, zero);
            const __m128i sum = _mm_hadd_epi32(_mm_madd_epi16(lo, lo), _mm_madd_epi16(hi, hi));
            const __m128i live = _mm_cmpgt_epi32(sum, limit);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(surface + 4 * j + 16 * k), blendLanes(d, c, live));
        }
    });
    if (!done) scalarKernels().differenceRow(cur, ref, surface, width);
}


// The tone map's two divisions as multiply-shifts (exact for these operands: see toneRow in
// kernels_avx2.cpp), in 16-bit lanes: with M = H x 2^16 + L, (t x M) / 2^16 rounded down is
// t x H plus the top half of t x L, and below 65281 (t x M <= 255 x 2^24 + e), so neither the
// product nor the sum wraps; the quotient is that sum's top byte. SSE4.1's 32-bit multiply,
// which the AVX2 table uses, costs more here than the four 16-bit ones.
void toneRow(const int16_t* values, const ToneMap* map, uint8_t* surface, int width) {
    if (width < 8) {
        scalarKernels().toneRow(values, map, surface, width);
        return;
    }
    const __m128i minimum = _mm_set1_epi16(static_cast<int16_t>(map->minimum));
    const __m128i range = _mm_set1_epi16(static_cast<int16_t>(map->range));
    const __m128i rangeHigh = _mm_set1_epi16(static_cast<int16_t>(map->rangeMultiplier >> 16));
    const __m128i rangeLow = _mm_set1_epi16(static_cast<int16_t>(map->rangeMultiplier & 0xFFFF));
    const __m128i low = _mm_set1_epi16(static_cast<int16_t>(map->low));
    const __m128i span = _mm_set1_epi16(static_cast<int16_t>(map->high - map->low));
    const __m128i stretchHigh = _mm_set1_epi16(static_cast<int16_t>(map->stretchMultiplier >> 16));
    const __m128i stretchLow = _mm_set1_epi16(static_cast<int16_t>(map->stretchMultiplier & 0xFFFF));
    const __m128i zero = _mm_setzero_si128();
    // Words 0-3 (then 4-7): each word's low (raw) or top byte into the first three bytes of its
    // pixel, the fourth zeroed.
    const __m128i lowByte = _mm_setr_epi8(0, 0, 0, -128, 2, 2, 2, -128, 4, 4, 4, -128, 6, 6, 6, -128);
    const __m128i topByte = _mm_add_epi8(lowByte, _mm_set1_epi8(1));
    const bool raw = map->raw, bounded = map->bounded;
    auto run = [&](auto words, __m128i first) {
        const __m128i second = _mm_add_epi8(first, _mm_set1_epi8(8));  // -128 + 8 stays negative
        auto block = [&](int j) {
            const __m128i w = words(_mm_loadu_si128(reinterpret_cast<const __m128i*>(values + j)));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(surface + 4 * j), _mm_shuffle_epi8(w, first));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(surface + 4 * j + 16), _mm_shuffle_epi8(w, second));
        };
        int j = 0;
        for (; j + 16 <= width; j += 16) {  // two blocks a turn, as in the AVX2 table
            block(j);
            block(j + 8);
        }
        if (j + 8 <= width) {
            block(j);
            j += 8;
        }
        if (j < width) block(width - 8);
    };
    auto times = [](__m128i t, __m128i high, __m128i low) { return _mm_add_epi16(_mm_mullo_epi16(t, high), mulhiU16(t, low)); };
    auto stretch = [&](__m128i t) {
        const __m128i level = _mm_srli_epi16(times(t, rangeHigh, rangeLow), 8);
        return times(_mm_min_epi16(_mm_subs_epu16(level, low), span), stretchHigh, stretchLow);
    };
    if (raw)
        run([](__m128i v) { return v; }, lowByte);
    else if (bounded)
        run([&](__m128i v) { return stretch(_mm_sub_epi16(v, minimum)); }, topByte);
    else  // saturating, so any value clamps as it should
        run([&](__m128i v) { return stretch(_mm_min_epi16(_mm_max_epi16(_mm_subs_epi16(v, minimum), zero), range)); },
            topByte);
}

KernelTable makeTable(const char* name) {
    KernelTable t = sharedVectorTable(name);
    t.copyRow = copyRowImpl<false>;
    t.invertRow = copyRowImpl<true>;
    t.differenceRow = differenceRow;
    t.grayRow = grayRow;
    t.grayStoreRow = grayStoreRowFromLoads<grayRow, storeGrayOf48>;
    t.grayCopyRow = grayStoreRowFromLoads<grayRow, storeGrayOf48, false>;
    t.toneRow = toneRow;
    t.grayToSurfaceRow = grayToSurfaceShuffled;
    t.thresholdRow = thresholdShuffled;
    return t;
}

}  // namespace
}  // namespace pixelwell
