// Gray levels to surface pixels with byte shuffles, shared by the SSSE3 and AVX2 tables. The
// including file first defines, in its own instruction set, storeGray16: sixteen levels to
// sixteen surface pixels (g, g, g, 0).

// Whole blocks of 16 pixels, the last one ending at the row's end (overlapping the one before:
// outputs never alias inputs); rows narrower than 16 go to the scalar kernel.
template <typename Block>
bool blocksOf16(int width, Block block) {
    if (width < 16) return false;
    int j = 0;
    for (; j + 16 <= width; j += 16) block(j);
    if (j < width) block(width - 16);
    return true;
}

void grayToSurfaceShuffled(const uint8_t* gray, uint8_t* surface, int width) {
    const bool done = blocksOf16(width, [&](int j) {
        storeGray16(surface + 4 * j, _mm_loadu_si128(reinterpret_cast<const __m128i*>(gray + j)));
    });
    if (!done) scalarKernels().grayToSurfaceRow(gray, surface, width);
}

// 255 where gray >= threshold: max(g, threshold) == g, in bytes; threshold 256 leaves all black.
void thresholdShuffled(const uint8_t* gray, int threshold, uint8_t* surface, int width) {
    const __m128i level = _mm_set1_epi8(static_cast<char>(threshold > 255 ? 255 : threshold));
    const __m128i any = _mm_set1_epi8(threshold > 255 ? 0 : -1);
    const bool done = blocksOf16(width, [&](int j) {
        const __m128i g = _mm_loadu_si128(reinterpret_cast<const __m128i*>(gray + j));
        storeGray16(surface + 4 * j, _mm_and_si128(_mm_cmpeq_epi8(_mm_max_epu8(g, level), g), any));
    });
    if (!done) scalarKernels().thresholdRow(gray, threshold, surface, width);
}
