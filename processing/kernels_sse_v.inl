// The 16-byte register wrapper `V` of the vector row kernels (kernels_simd.inl), shared by the
// SSE2 and the SSSE3/SSE4.1 tables. Each includes it inside its own anonymous namespace and
// is compiled with its own instruction set: where SSE4.1 is enabled the widening loads use
// its zero-extending moves, otherwise SSE2 unpacks. The WebAssembly table (PIXELWELL_WASM_TABLE)
// writes a few in SIMD128 where Emscripten's mapping of the SSE instruction takes several.

struct V {
    using R = __m128i;
    static constexpr int kBytes = 16;
    static constexpr int kHalves = 8;
    static constexpr int kWords = 4;
    static R zero() { return _mm_setzero_si128(); }
    static R load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const R*>(p)); }
    static void store(uint8_t* p, R v) { _mm_storeu_si128(reinterpret_cast<R*>(p), v); }
    static R load16(const uint8_t* p) {
#ifdef __SSE4_1__
        return _mm_cvtepu8_epi16(_mm_loadl_epi64(reinterpret_cast<const R*>(p)));
#else
        return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const R*>(p)), zero());
#endif
    }
    static R loadI16(const int16_t* p) { return _mm_loadu_si128(reinterpret_cast<const R*>(p)); }
    static void storeI16(int16_t* p, R v) { _mm_storeu_si128(reinterpret_cast<R*>(p), v); }
    static void store16as8(uint8_t* p, R v) {
        _mm_storel_epi64(reinterpret_cast<R*>(p), _mm_packus_epi16(v, v));
    }
    static R load32(const uint8_t* p) {
        int32_t word;
        std::memcpy(&word, p, 4);
#ifdef __SSE4_1__
        return _mm_cvtepu8_epi32(_mm_cvtsi32_si128(word));
#else
        return _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(word), zero()), zero());
#endif
    }
    static R set8(int v) { return _mm_set1_epi8(static_cast<char>(v)); }
    static R set16(int v) { return _mm_set1_epi16(static_cast<short>(v)); }
    static R set32(int v) { return _mm_set1_epi32(v); }
    static R add8(R a, R b) { return _mm_add_epi8(a, b); }
    static R sub8(R a, R b) { return _mm_sub_epi8(a, b); }
    static R subsu8(R a, R b) { return _mm_subs_epu8(a, b); }
    static R avgu8(R a, R b) { return _mm_avg_epu8(a, b); }
    static R minu8(R a, R b) { return _mm_min_epu8(a, b); }
    static R maxu8(R a, R b) { return _mm_max_epu8(a, b); }
    static R add16(R a, R b) { return _mm_add_epi16(a, b); }
    static R sub16(R a, R b) { return _mm_sub_epi16(a, b); }
    static R mullo16(R a, R b) { return _mm_mullo_epi16(a, b); }
#ifdef PIXELWELL_WASM_TABLE
    // Emscripten's multiply-high gathers the odd halves of the two widened products with a
    // general shuffle; each product's top half, narrowed, is the same value (it fits in 16 bits).
    static R mulhi16(R a, R b) {
        return wasm_i16x8_narrow_i32x4(wasm_i32x4_shr(wasm_i32x4_extmul_low_i16x8(a, b), 16),
                                       wasm_i32x4_shr(wasm_i32x4_extmul_high_i16x8(a, b), 16));
    }
#else
    static R mulhi16(R a, R b) { return _mm_mulhi_epi16(a, b); }
#endif
    static R mulhiu16(R a, R b) { return _mm_mulhi_epu16(a, b); }
    static R srai16(R a, int n) { return _mm_srai_epi16(a, n); }
    static R srli16(R a, int n) { return _mm_srli_epi16(a, n); }
    static R min16(R a, R b) { return _mm_min_epi16(a, b); }
    static R max16(R a, R b) { return _mm_max_epi16(a, b); }
    static R cmpgt16(R a, R b) { return _mm_cmpgt_epi16(a, b); }
    static R cmpgt8(R a, R b) { return _mm_cmpgt_epi8(a, b); }
#ifdef PIXELWELL_WASM_TABLE
    // Each 8-byte half's sum of |a - b| in its 64-bit lane, as psadbw gives it: Emscripten's
    // version adds the bytes up in shifts; here two pairwise widening adds and one of the halves.
    static R sad8(R a, R b) {
        const v128_t d = wasm_v128_or(wasm_u8x16_sub_sat(a, b), wasm_u8x16_sub_sat(b, a));
        const v128_t quads = wasm_u32x4_extadd_pairwise_u16x8(wasm_u16x8_extadd_pairwise_u8x16(d));
        return wasm_i64x2_add(wasm_u64x2_shr(quads, 32), wasm_v128_and(quads, wasm_i64x2_splat(0xFFFFFFFF)));
    }
#else
    static R sad8(R a, R b) { return _mm_sad_epu8(a, b); }
#endif
    static R add64(R a, R b) { return _mm_add_epi64(a, b); }
    static R madd16(R a, R b) { return _mm_madd_epi16(a, b); }
    static R add32(R a, R b) { return _mm_add_epi32(a, b); }
    static R unpacklo32(R a, R b) { return _mm_unpacklo_epi32(a, b); }
    static R unpackhi32(R a, R b) { return _mm_unpackhi_epi32(a, b); }
    static R unpacklo64(R a, R b) { return _mm_unpacklo_epi64(a, b); }
    static R unpackhi64(R a, R b) { return _mm_unpackhi_epi64(a, b); }
    static R slli16(R a, int n) { return _mm_slli_epi16(a, n); }
    static R slli32(R a, int n) { return _mm_slli_epi32(a, n); }
    static R cmpgt32(R a, R b) { return _mm_cmpgt_epi32(a, b); }
    static R and_(R a, R b) { return _mm_and_si128(a, b); }
    static R andnot(R a, R b) { return _mm_andnot_si128(a, b); }  // ~a & b
    static R or_(R a, R b) { return _mm_or_si128(a, b); }
    static R xor_(R a, R b) { return _mm_xor_si128(a, b); }
    static R unpacklo8(R a, R b) { return _mm_unpacklo_epi8(a, b); }
    static R unpackhi8(R a, R b) { return _mm_unpackhi_epi8(a, b); }
    static R packus16(R a, R b) { return _mm_packus_epi16(a, b); }
    static R packs16(R a, R b) { return _mm_packs_epi16(a, b); }
    static R subs16(R a, R b) { return _mm_subs_epi16(a, b); }
    static R unpacklo16(R a, R b) { return _mm_unpacklo_epi16(a, b); }
    static R unpackhi16(R a, R b) { return _mm_unpackhi_epi16(a, b); }
    static R packs32(R a, R b) { return _mm_packs_epi32(a, b); }
    static R loadI32(const int32_t* p) { return _mm_loadu_si128(reinterpret_cast<const R*>(p)); }
    static void storeI32(int32_t* p, R v) { _mm_storeu_si128(reinterpret_cast<R*>(p), v); }
    static R srai32(R a, int n) { return _mm_srai_epi32(a, n); }
    // 32-bit halves of a 256-bit pair in order: for 16-byte registers, the registers themselves.
    static R lowHalves(R a, R) { return a; }
    static R highHalves(R, R b) { return b; }
#ifdef __SSE4_1__
    static constexpr bool kHasMul32 = true;
    static R mullo32(R a, R b) { return _mm_mullo_epi32(a, b); }
    static R min32(R a, R b) { return _mm_min_epi32(a, b); }
    static R max32(R a, R b) { return _mm_max_epi32(a, b); }
#else
    static constexpr bool kHasMul32 = false;
    static R mullo32(R a, R) { return a; }  // never called: levelRun stays scalar without SSE4.1
    static R min32(R a, R b) {
        const R bigger = _mm_cmpgt_epi32(a, b);
        return _mm_or_si128(_mm_and_si128(bigger, b), _mm_andnot_si128(bigger, a));
    }
    static R max32(R a, R b) {
        const R bigger = _mm_cmpgt_epi32(a, b);
        return _mm_or_si128(_mm_and_si128(bigger, a), _mm_andnot_si128(bigger, b));
    }
#endif
    static R sub32(R a, R b) { return _mm_sub_epi32(a, b); }
    // Single floats, four to a register.
    using F = __m128;
    static F setF(float v) { return _mm_set1_ps(v); }
    static F toFloat(R a) { return _mm_cvtepi32_ps(a); }
    static R truncate(F a) { return _mm_cvttps_epi32(a); }
    static F mulF(F a, F b) { return _mm_mul_ps(a, b); }
    static F subF(F a, F b) { return _mm_sub_ps(a, b); }
    static R cmpgeF(F a, F b) { return _mm_castps_si128(_mm_cmpge_ps(a, b)); }
    static R cmpltF(F a, F b) { return _mm_castps_si128(_mm_cmplt_ps(a, b)); }
#ifdef __SSSE3__
    static R table16(const int8_t* p) { return _mm_loadu_si128(reinterpret_cast<const R*>(p)); }
    static R shuffle8(R table, R index) { return _mm_shuffle_epi8(table, index); }
#endif
};
