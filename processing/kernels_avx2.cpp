// AVX2 row kernels. Only this file is compiled with -mavx2; it runs only when the CPU
// reports AVX2 (selectKernels). All loads and stores are unaligned: no 32-byte stack
// alignment is assumed (the Windows ABI does not give it).
#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "kernels.h"

namespace pixelwell {

namespace {

struct V {
    using R = __m256i;
    static constexpr int kBytes = 32;
    static constexpr int kHalves = 16;
    static constexpr int kWords = 8;
    static R zero() { return _mm256_setzero_si256(); }
    static R load(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const R*>(p)); }
    static void store(uint8_t* p, R v) { _mm256_storeu_si256(reinterpret_cast<R*>(p), v); }
    static R load16(const uint8_t* p) {
        return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    }
    static R loadI16(const int16_t* p) { return _mm256_loadu_si256(reinterpret_cast<const R*>(p)); }
    static void storeI16(int16_t* p, R v) { _mm256_storeu_si256(reinterpret_cast<R*>(p), v); }
    static void store16as8(uint8_t* p, R v) {
        const R packed = _mm256_permute4x64_epi64(_mm256_packus_epi16(v, v), 0x08);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm256_castsi256_si128(packed));
    }
    static R load32(const uint8_t* p) {
        return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
    }
    static R set8(int v) { return _mm256_set1_epi8(static_cast<char>(v)); }
    static R set16(int v) { return _mm256_set1_epi16(static_cast<short>(v)); }
    static R set32(int v) { return _mm256_set1_epi32(v); }
    static R add8(R a, R b) { return _mm256_add_epi8(a, b); }
    static R sub8(R a, R b) { return _mm256_sub_epi8(a, b); }
    static R subsu8(R a, R b) { return _mm256_subs_epu8(a, b); }
    static R avgu8(R a, R b) { return _mm256_avg_epu8(a, b); }
    static R minu8(R a, R b) { return _mm256_min_epu8(a, b); }
    static R maxu8(R a, R b) { return _mm256_max_epu8(a, b); }
    static R add16(R a, R b) { return _mm256_add_epi16(a, b); }
    static R sub16(R a, R b) { return _mm256_sub_epi16(a, b); }
    static R mullo16(R a, R b) { return _mm256_mullo_epi16(a, b); }
    static R mulhi16(R a, R b) { return _mm256_mulhi_epi16(a, b); }
    static R mulhiu16(R a, R b) { return _mm256_mulhi_epu16(a, b); }
    static R srai16(R a, int n) { return _mm256_srai_epi16(a, n); }
    static R srli16(R a, int n) { return _mm256_srli_epi16(a, n); }
    static R min16(R a, R b) { return _mm256_min_epi16(a, b); }
    static R max16(R a, R b) { return _mm256_max_epi16(a, b); }
    static R cmpgt16(R a, R b) { return _mm256_cmpgt_epi16(a, b); }
    static R cmpgt8(R a, R b) { return _mm256_cmpgt_epi8(a, b); }
    static R sad8(R a, R b) { return _mm256_sad_epu8(a, b); }
    static R add64(R a, R b) { return _mm256_add_epi64(a, b); }
    static R madd16(R a, R b) { return _mm256_madd_epi16(a, b); }
    static R add32(R a, R b) { return _mm256_add_epi32(a, b); }
    static R unpacklo32(R a, R b) { return _mm256_unpacklo_epi32(a, b); }
    static R unpackhi32(R a, R b) { return _mm256_unpackhi_epi32(a, b); }
    static R unpacklo64(R a, R b) { return _mm256_unpacklo_epi64(a, b); }
    static R unpackhi64(R a, R b) { return _mm256_unpackhi_epi64(a, b); }
    static R slli16(R a, int n) { return _mm256_slli_epi16(a, n); }
    static R slli32(R a, int n) { return _mm256_slli_epi32(a, n); }
    static R cmpgt32(R a, R b) { return _mm256_cmpgt_epi32(a, b); }
    static R and_(R a, R b) { return _mm256_and_si256(a, b); }
    static R andnot(R a, R b) { return _mm256_andnot_si256(a, b); }  // ~a & b
    static R or_(R a, R b) { return _mm256_or_si256(a, b); }
    static R xor_(R a, R b) { return _mm256_xor_si256(a, b); }
    static R unpacklo8(R a, R b) { return _mm256_unpacklo_epi8(a, b); }
    static R unpackhi8(R a, R b) { return _mm256_unpackhi_epi8(a, b); }
    static R packus16(R a, R b) { return _mm256_packus_epi16(a, b); }
    static R packs16(R a, R b) { return _mm256_packs_epi16(a, b); }
    static R subs16(R a, R b) { return _mm256_subs_epi16(a, b); }
    // These two and packs32 work within each 128-bit half: unpacked and packed again, the
    // lanes come back in order.
    static R unpacklo16(R a, R b) { return _mm256_unpacklo_epi16(a, b); }
    static R unpackhi16(R a, R b) { return _mm256_unpackhi_epi16(a, b); }
    static R packs32(R a, R b) { return _mm256_packs_epi32(a, b); }
    static R loadI32(const int32_t* p) { return _mm256_loadu_si256(reinterpret_cast<const R*>(p)); }
    static void storeI32(int32_t* p, R v) { _mm256_storeu_si256(reinterpret_cast<R*>(p), v); }
    static R srai32(R a, int n) { return _mm256_srai_epi32(a, n); }
    // After unpacklo16 / unpackhi16 and pmaddwd, `a` holds outputs 0-3 and 8-11, `b` 4-7 and
    // 12-15: these give 0-7 and 8-15.
    static R lowHalves(R a, R b) { return _mm256_permute2x128_si256(a, b, 0x20); }
    static R highHalves(R a, R b) { return _mm256_permute2x128_si256(a, b, 0x31); }
    static constexpr bool kHasMul32 = true;
    static R mullo32(R a, R b) { return _mm256_mullo_epi32(a, b); }
    static R min32(R a, R b) { return _mm256_min_epi32(a, b); }
    static R max32(R a, R b) { return _mm256_max_epi32(a, b); }
    static R sub32(R a, R b) { return _mm256_sub_epi32(a, b); }
    using F = __m256;
    static F setF(float v) { return _mm256_set1_ps(v); }
    static F toFloat(R a) { return _mm256_cvtepi32_ps(a); }
    static R truncate(F a) { return _mm256_cvttps_epi32(a); }
    static F mulF(F a, F b) { return _mm256_mul_ps(a, b); }
    static F subF(F a, F b) { return _mm256_sub_ps(a, b); }
    static R cmpgeF(F a, F b) { return _mm256_castps_si256(_mm256_cmp_ps(a, b, _CMP_GE_OQ)); }
    static R cmpltF(F a, F b) { return _mm256_castps_si256(_mm256_cmp_ps(a, b, _CMP_LT_OQ)); }
    // Byte lookup in a table of 16, held in each 128-bit lane.
    static R table16(const int8_t* p) {
        return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    }
    static R shuffle8(R table, R index) { return _mm256_shuffle_epi8(table, index); }
};

}  // namespace
}  // namespace pixelwell

#include "kernels_simd.inl"

namespace pixelwell {

namespace {

// Eight 24-bit pixels, each widened to B, G, R, 0 in a 32-bit lane: pixels 0-3 from the
// low 16-byte load, 4-7 from the one 12 bytes further. Reads bytes 0..27.
inline __m256i loadPixels8(const uint8_t* bgr) {
    const __m256i shuffle = _mm256_setr_epi8(0, 1, 2, -128, 3, 4, 5, -128, 6, 7, 8, -128, 9, 10,
                                             11, -128, 0, 1, 2, -128, 3, 4, 5, -128, 6, 7, 8,
                                             -128, 9, 10, 11, -128);
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bgr));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bgr + 12));
    return _mm256_shuffle_epi8(_mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1), shuffle);
}

// Whole blocks of 8 pixels while the 28-byte read stays inside the row.
inline int pixelBlocks(int width) { return width >= 10 ? (width - 10) / 8 * 8 + 8 : 0; }

template <bool kInvert>
void copyRowImpl(const uint8_t* bgr, uint8_t* surface, int width) {
    // Eight pixels from one 32-byte load: dwords 0-3 to the low lane, 3-6 to the high lane,
    // so each lane holds four whole pixels at the shuffle's offsets. Reads bytes 0..31.
    const __m256i spread = _mm256_setr_epi32(0, 1, 2, 3, 3, 4, 5, 6);
    const __m256i shuffle = _mm256_setr_epi8(0, 1, 2, -128, 3, 4, 5, -128, 6, 7, 8, -128, 9, 10,
                                             11, -128, 0, 1, 2, -128, 3, 4, 5, -128, 6, 7, 8,
                                             -128, 9, 10, 11, -128);
    const __m256i flip = _mm256_set1_epi32(kInvert ? 0x00FFFFFF : 0);
    int j = 0;
    for (; 3 * j + 56 <= 3 * width; j += 16) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bgr + 3 * j));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bgr + 3 * j + 24));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(surface + 4 * j),
                            _mm256_xor_si256(_mm256_shuffle_epi8(_mm256_permutevar8x32_epi32(a, spread), shuffle), flip));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(surface + 4 * j + 32),
                            _mm256_xor_si256(_mm256_shuffle_epi8(_mm256_permutevar8x32_epi32(b, spread), shuffle), flip));
    }
    const int blocks = pixelBlocks(width);
    for (; j < blocks; j += 8)
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(surface + 4 * j),
                            _mm256_xor_si256(loadPixels8(bgr + 3 * j), flip));
    if (j < width)
        (kInvert ? scalarKernels().invertRow : scalarKernels().copyRow)(bgr + 3 * j, surface + 4 * j, width - j);
}

// Per lane four pixels (as loaded by copyRowImpl): B and G as a 16-bit pair, R alone, so
// two multiply-adds give 117 B + 601 G + 306 R. Eight pixels whose bytes 0..11 and 12..23 sit
// in the low and the high lane.
inline __m256i grayLevels8(__m256i lanes) {
    const __m256i bgShuffle = _mm256_setr_epi8(0, -128, 1, -128, 3, -128, 4, -128, 6, -128, 7,
                                               -128, 9, -128, 10, -128, 0, -128, 1, -128, 3, -128,
                                               4, -128, 6, -128, 7, -128, 9, -128, 10, -128);
    const __m256i rShuffle = _mm256_setr_epi8(2, -128, -128, -128, 5, -128, -128, -128, 8, -128,
                                              -128, -128, 11, -128, -128, -128, 2, -128, -128,
                                              -128, 5, -128, -128, -128, 8, -128, -128, -128, 11,
                                              -128, -128, -128);
    const __m256i bgWeights = _mm256_set1_epi32(601 << 16 | 117);
    const __m256i rWeight = _mm256_set1_epi32(306);
    const __m256i sum = _mm256_add_epi32(_mm256_madd_epi16(_mm256_shuffle_epi8(lanes, bgShuffle), bgWeights),
                                         _mm256_madd_epi16(_mm256_shuffle_epi8(lanes, rShuffle), rWeight));
    return _mm256_srli_epi32(sum, 10);  // sum >= 0, at most 261120
}

// Eight pixels from the 32 bytes at their first (bytes 0..23 used).
inline __m256i grayAt8(const uint8_t* p) {
    return grayLevels8(_mm256_permutevar8x32_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)),
                                                   _mm256_setr_epi32(0, 1, 2, 3, 3, 4, 5, 6)));
}

inline void storeGrayLevels16(uint8_t* gray, __m256i first, __m256i second) {
    // packs joins the lanes as 0-3, 8-11 | 4-7, 12-15; the permute puts them in order.
    const __m256i words = _mm256_packs_epi32(first, second);
    const __m256i bytes = _mm256_packus_epi16(words, words);
    const __m256i ordered = _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(gray), _mm256_castsi256_si128(ordered));
}

// Sixteen pixels' gray levels from exactly their 48 bytes, put into grayLevels8's lanes.
inline void storeGrayOf48(uint8_t* gray, __m128i a, __m128i b, __m128i c) {
    storeGrayLevels16(gray, grayLevels8(_mm256_setr_m128i(a, _mm_alignr_epi8(b, a, 12))),
                      grayLevels8(_mm256_setr_m128i(_mm_alignr_epi8(c, b, 8), _mm_srli_si128(c, 4))));
}

void grayRow(const uint8_t* bgr, uint8_t* gray, int width) {
    int j = 0;
    // Sixteen pixels per step while the 32-byte loads stay inside the row (bytes 0..55).
    for (; 3 * j + 56 <= 3 * width; j += 16) storeGrayLevels16(gray + j, grayAt8(bgr + 3 * j), grayAt8(bgr + 3 * j + 24));
    if (j < width && width >= 16) {
        // The last sixteen pixels from exactly their 48 bytes; the one or two before them that
        // no step reached, plainly.
        if (j < width - 16) scalarKernels().grayRow(bgr + 3 * j, gray + j, width - 16 - j);
        const __m128i* p = reinterpret_cast<const __m128i*>(bgr + 3 * (width - 16));
        storeGrayOf48(gray + width - 16, _mm_loadu_si128(p), _mm_loadu_si128(p + 1), _mm_loadu_si128(p + 2));
        j = width;
    }
    if (j < width) scalarKernels().grayRow(bgr + 3 * j, gray + j, width - j);
}

// grayStoreRow (kStream) or grayCopyRow, 32 pixels a step from their three 32-byte loads, which
// go into the slot as they are (rows of whole steps, streamed into a 32-byte aligned slot;
// otherwise sixteen pixels a step): the four groups of eight pixels come out of the three
// registers by a blend and a dword permute each.
template <bool kStream>
void grayStoreRow(const uint8_t* bgr, uint8_t* gray, uint8_t* slot, int width) {
    if (width % 32 != 0 || (kStream && reinterpret_cast<uintptr_t>(slot) % 32 != 0)) {
        grayStoreRowFromLoads<grayRow, storeGrayOf48, kStream>(bgr, gray, slot, width);
        return;
    }
    // Bytes 0..11 of each lane hold four pixels (grayLevels8); the dwords a: 0-5, a6 a7 b0 b1-b3,
    // b4-b6 b7 c0 c1, c2-c7 (the last index of each lane a spare).
    const __m256i first = _mm256_setr_epi32(0, 1, 2, 3, 3, 4, 5, 5);
    const __m256i second = _mm256_setr_epi32(6, 7, 0, 0, 1, 2, 3, 3);  // of b0-b3, a4-a7
    const __m256i third = _mm256_setr_epi32(4, 5, 6, 6, 7, 0, 1, 1);   // of c0 c1, b2-b7
    const __m256i fourth = _mm256_setr_epi32(2, 3, 4, 4, 5, 6, 7, 7);
    for (int j = 0; j < width; j += 32) {
        const __m256i* in = reinterpret_cast<const __m256i*>(bgr + 3 * j);
        __m256i* out = reinterpret_cast<__m256i*>(slot + 3 * j);
        const __m256i a = _mm256_loadu_si256(in), b = _mm256_loadu_si256(in + 1), c = _mm256_loadu_si256(in + 2);
        if (kStream) {
            _mm256_stream_si256(out, a);
            _mm256_stream_si256(out + 1, b);
            _mm256_stream_si256(out + 2, c);
        } else {
            _mm256_storeu_si256(out, a);
            _mm256_storeu_si256(out + 1, b);
            _mm256_storeu_si256(out + 2, c);
        }
        const __m256i g0 = grayLevels8(_mm256_permutevar8x32_epi32(a, first));
        const __m256i g1 = grayLevels8(_mm256_permutevar8x32_epi32(_mm256_blend_epi32(a, b, 0x0F), second));
        const __m256i g2 = grayLevels8(_mm256_permutevar8x32_epi32(_mm256_blend_epi32(b, c, 0x03), third));
        const __m256i g3 = grayLevels8(_mm256_permutevar8x32_epi32(c, fourth));
        // packs joins the lanes as pixels 0-3, 8-11, 16-19, 24-27 | 4-7, 12-15, 20-23, 28-31.
        const __m256i bytes = _mm256_packus_epi16(_mm256_packs_epi32(g0, g1), _mm256_packs_epi32(g2, g3));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(gray + j),
                            _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7)));
    }
}

void differenceRow(const uint8_t* cur, const uint8_t* ref, uint8_t* surface, int width) {
    const __m256i limit = _mm256_set1_epi32(360);
    const int blocks = pixelBlocks(width);
    for (int j = 0; j < blocks; j += 8) {
        const __m256i c = loadPixels8(cur + 3 * j);
        const __m256i r = loadPixels8(ref + 3 * j);
        const __m256i d = _mm256_or_si256(_mm256_subs_epu8(c, r), _mm256_subs_epu8(r, c));
        // Squares of B, G, R (and the zero fourth byte), summed per pixel: lane order is
        // pixels 0,1 | 2,3 after unpack lo | hi, and hadd joins them back in order.
        const __m256i lo = _mm256_unpacklo_epi8(d, _mm256_setzero_si256());
        const __m256i hi = _mm256_unpackhi_epi8(d, _mm256_setzero_si256());
        const __m256i sum = _mm256_hadd_epi32(_mm256_madd_epi16(lo, lo), _mm256_madd_epi16(hi, hi));
        const __m256i live = _mm256_cmpgt_epi32(sum, limit);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(surface + 4 * j), _mm256_blendv_epi8(d, c, live));
    }
    if (blocks < width)
        scalarKernels().differenceRow(cur + 3 * blocks, ref + 3 * blocks, surface + 4 * blocks,
                                      width - blocks);
}

// Sixteen gray levels to sixteen surface pixels (g, g, g, 0): the levels in both lanes, then
// one shuffle per eight pixels (levels 0-3 | 4-7, then 8-11 | 12-15).
inline void storeGray16(uint8_t* surface, __m128i g) {
    const __m256i both = _mm256_broadcastsi128_si256(g);
    const __m256i first = _mm256_setr_epi8(0, 0, 0, -128, 1, 1, 1, -128, 2, 2, 2, -128, 3, 3, 3, -128,
                                           4, 4, 4, -128, 5, 5, 5, -128, 6, 6, 6, -128, 7, 7, 7, -128);
    const __m256i second = _mm256_add_epi8(first, _mm256_set1_epi8(8));  // -128 + 8 stays negative
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(surface), _mm256_shuffle_epi8(both, first));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(surface + 32), _mm256_shuffle_epi8(both, second));
}

#include "kernels_levels.inl"

// The divisions of the tone map as multiplications: with t <= d <= 4080 and
// M = ceil(255 x 2^24 / d) = (255 x 2^24 + e) / d, 0 <= e < d, (t x M) / 2^24 exceeds 255 t / d
// by t e / (d 2^24) < 1/d (as t e < 4080^2 < 2^24), too little to reach the next integer, and
// t x M <= 255 x 2^24 + e < 2^32 fits the unsigned 32-bit lane, so the quotient is its top
// byte. Clamping t to 0..d first gives the clamp of the level and of the stretch. The level
// (0..255, the lane's top half zero) less the lower cut, at least 0, is one unsigned saturating
// 16-bit subtraction; the output is the top byte of the stretch's product, which the shuffle
// that writes the pixels picks.
void toneRow(const int16_t* values, const ToneMap* map, uint8_t* surface, int width) {
    const __m256i minimum = _mm256_set1_epi32(map->minimum);
    const __m256i range = _mm256_set1_epi32(map->range);
    const __m256i rangeMultiplier = _mm256_set1_epi32(static_cast<int>(map->rangeMultiplier));
    const __m256i low = _mm256_set1_epi32(map->low);
    const __m256i span = _mm256_set1_epi32(map->high - map->low);
    const __m256i stretchMultiplier = _mm256_set1_epi32(static_cast<int>(map->stretchMultiplier));
    const __m256i zero = _mm256_setzero_si256();
    // Each lane's low (raw) or top byte into its first three bytes, the fourth zeroed.
    const __m256i lowByte = _mm256_setr_epi8(0, 0, 0, -128, 4, 4, 4, -128, 8, 8, 8, -128, 12, 12, 12, -128,
                                             0, 0, 0, -128, 4, 4, 4, -128, 8, 8, 8, -128, 12, 12, 12, -128);
    const __m256i topByte = _mm256_add_epi8(lowByte, _mm256_set1_epi8(3));  // -128 + 3 stays negative
    // Read once: the surface stores may alias the map as far as the compiler knows, which would
    // reload and test the flags for every eight pixels.
    const bool raw = map->raw, bounded = map->bounded;
    auto run = [&](auto pixels) {
        auto block = [&](int j) {
            const __m256i v = _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(values + j)));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(surface + 4 * j), pixels(v));
        };
        int j = 0;
        for (; j + 16 <= width; j += 16) {  // two blocks a turn: the loop's own count is a sixth of a block
            block(j);
            block(j + 8);
        }
        if (j + 8 <= width) {
            block(j);
            j += 8;
        }
        if (j < width && width >= 8)
            block(width - 8);  // overlaps the one before, writing the same pixels there
        else if (j < width)
            scalarKernels().toneRow(values + j, map, surface + 4 * j, width - j);
    };
    auto stretch = [&](__m256i t) {
        const __m256i level = _mm256_srli_epi32(_mm256_mullo_epi32(t, rangeMultiplier), 24);
        const __m256i u = _mm256_min_epi32(_mm256_subs_epu16(level, low), span);
        return _mm256_shuffle_epi8(_mm256_mullo_epi32(u, stretchMultiplier), topByte);
    };
    if (raw)
        run([&](__m256i v) { return _mm256_shuffle_epi8(v, lowByte); });
    else if (bounded)
        run([&](__m256i v) { return stretch(_mm256_sub_epi32(v, minimum)); });
    else
        run([&](__m256i v) { return stretch(_mm256_min_epi32(_mm256_max_epi32(_mm256_sub_epi32(v, minimum), zero), range)); });
}

KernelTable makeTable() {
    KernelTable t = sharedVectorTable("avx2");
    t.copyRow = copyRowImpl<false>;
    t.invertRow = copyRowImpl<true>;
    t.differenceRow = differenceRow;
    t.grayRow = grayRow;
    t.grayStoreRow = grayStoreRow<true>;
    t.grayCopyRow = grayStoreRow<false>;
    t.toneRow = toneRow;
    t.grayToSurfaceRow = grayToSurfaceShuffled;
    t.thresholdRow = thresholdShuffled;
    return t;
}

}  // namespace

// Called only once the CPU has been seen to run AVX2 (avx2Kernels, cpu_features.cpp).
const KernelTable* avx2KernelTable() {
    static const KernelTable table = makeTable();
    return &table;
}

}  // namespace pixelwell
