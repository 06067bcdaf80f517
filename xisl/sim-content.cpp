// SPDX-License-Identifier: LGPL-2.1-or-later
#include "sim-content.h"

#include <algorithm>
#include <vector>

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#endif

namespace XislSim {

namespace {

// The inner loops are also built for AVX2 and picked once, by what the processor offers: with
// SSE2 alone they would lose to the C library's memcpy, which the frame rate is measured against.
// A function pointer rather than an ifunc, which Windows does not have.
#if defined(__GNUC__) && defined(__x86_64__)
#define XISL_SIM_AVX2_RUNS 1
#endif

// Where row y of frame n starts reading the Gaussian table.
uint32_t noiseOffset(uint32_t seed, uint32_t y, uint32_t n)
{
    return mix(mix(mix(seed) ^ n) ^ y) % kNoiseLength;
}

// The noise in counts, z / kNoiseUnit * sigma, is z * (sigma << kSigmaShift) / 2^15.
constexpr int kSigmaShift = 4;
static_assert(kNoiseUnit << kSigmaShift == 32768, "the Gaussian table's unit fits the shift");

// One drawn pixel: the expected value plus the rounded noise, clamped to 16 bits, as AVX2's
// mulhrs and saturating adds compute it.
inline uint16_t drawPixel(uint16_t mean, uint8_t sigma, int16_t z)
{
    const int32_t noise = (z * (sigma << kSigmaShift) + 0x4000) >> 15;
    return static_cast<uint16_t>(std::clamp<int32_t>(mean + noise, 0, 65535));
}

// 0, 1, ..., 65535: the low 16 bits of x for any run of up to 65536 pixels from a multiple of
// 65536.
const std::vector<uint16_t> &ramp()
{
    static const std::vector<uint16_t> values = [] {
        std::vector<uint16_t> v(65536);
        for (uint32_t i = 0; i < v.size(); ++i)
            v[i] = static_cast<uint16_t>(i);
        return v;
    }();
    return values;
}

// Separate pointers that never alias, so the loops vectorise. Each is inlined into a default
// and an AVX2 build of itself.
[[gnu::always_inline]] inline void xorAddLoop(uint16_t *__restrict out,
                                              const uint16_t *__restrict xs, uint16_t rowBits,
                                              uint16_t offset, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i)
        out[i] = static_cast<uint16_t>((xs[i] ^ rowBits) + offset);
}

void drawRun(uint16_t *__restrict out, const uint16_t *__restrict mean,
             const uint8_t *__restrict sigma, const int16_t *__restrict z, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i)
        out[i] = drawPixel(mean[i], sigma[i], z[i]);
}

void xorAddRun(uint16_t *out, const uint16_t *xs, uint16_t rowBits, uint16_t offset, uint32_t count)
{
    xorAddLoop(out, xs, rowBits, offset, count);
}

#ifdef XISL_SIM_AVX2_RUNS
__attribute__((target("avx2"))) void
xorAddRunAvx2(uint16_t *out, const uint16_t *xs, uint16_t rowBits, uint16_t offset, uint32_t count)
{
    xorAddLoop(out, xs, rowBits, offset, count);
}

// GCC does not find mulhrs in drawRun's loop: 16 pixels in ten instructions, written out.
__attribute__((target("avx2"))) void drawRunAvx2(uint16_t *out, const uint16_t *mean,
                                                 const uint8_t *sigma, const int16_t *z,
                                                 uint32_t count)
{
    const __m256i zero = _mm256_setzero_si256();
    uint32_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m256i m = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(mean + i));
        const __m256i s =
            _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(sigma + i)));
        const __m256i g = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(z + i));
        const __m256i noise = _mm256_mulhrs_epi16(g, _mm256_slli_epi16(s, kSigmaShift));
        const __m256i up = _mm256_max_epi16(noise, zero);
        const __m256i down = _mm256_sub_epi16(up, noise);
        const __m256i value = _mm256_subs_epu16(_mm256_adds_epu16(m, up), down);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + i), value);
    }
    drawRun(out + i, mean + i, sigma + i, z + i, count - i);
}
#endif

struct RunWriters {
    void (*xorAdd)(uint16_t *, const uint16_t *, uint16_t, uint16_t, uint32_t);
    void (*draw)(uint16_t *, const uint16_t *, const uint8_t *, const int16_t *, uint32_t);
};

// Chosen on first use, once for the process.
const RunWriters &runWriters()
{
    static const RunWriters writers = [] {
#ifdef XISL_SIM_AVX2_RUNS
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx2"))
            return RunWriters{xorAddRunAvx2, drawRunAvx2};
#endif
        return RunWriters{xorAddRun, drawRun};
    }();
    return writers;
}

// Reading x from a ramp keeps every lane 16 bits wide; counting x in the loop would make GCC
// narrow a 32-bit induction variable for each vector, which halves the speed.
void writePatternRow(uint16_t *row, uint32_t width, uint32_t y, uint32_t n,
                     const RunWriters &writers)
{
    const uint16_t rowBits = static_cast<uint16_t>(y << 6);
    const uint16_t offset = static_cast<uint16_t>(17u * n);
    const uint16_t *xs = ramp().data();
    for (uint32_t x = 0; x < width;) {
        const uint32_t run = std::min<uint32_t>(65536, width - x);
        writers.xorAdd(row + x, xs, rowBits, offset, run);
        x += run;
    }
}

// Row y of frame n of a scene with a panel, from the row's maps.
void writeDrawnRow(uint16_t *row, const uint16_t *mean, const uint8_t *sigma, uint32_t width,
                   uint32_t start, const RunWriters &writers)
{
    const int16_t *z = gaussianTable().values;
    for (uint32_t x = 0, at = start; x < width; at = 0) {
        const uint32_t run = std::min(kNoiseLength - at, width - x);
        writers.draw(row + x, mean + x, sigma + x, z + at, run);
        x += run;
    }
}

} // namespace

uint16_t pixel(const XislSimScene &scene, uint32_t x, uint32_t y, uint32_t n)
{
    if (scene.content == XISL_SIM_CONTENT_PATTERN)
        return xisl_sim_pattern_pixel(x, y, n);
    const PixelDraw draw = drawOf(pixelTruth(scene, x, y));
    const int16_t z = gaussianTable().values[(noiseOffset(scene.seed, y, n) + x) % kNoiseLength];
    return drawPixel(draw.mean, draw.sigma, z);
}

void writeFrame(uint16_t *frame, const XislSimScene &scene, uint32_t n, PanelMapCache &maps)
{
    const uint32_t width = frameWidth(scene);
    const uint32_t height = frameHeight(scene);
    const size_t stride = width;
    const RunWriters &writers = runWriters();
    if (scene.content == XISL_SIM_CONTENT_PATTERN) {
        for (uint32_t y = 0; y < height; ++y)
            writePatternRow(frame + y * stride, width, y, n, writers);
        return;
    }
    const std::shared_ptr<const PanelMaps> panel = maps.get(scene);
    for (uint32_t y = 0; y < height; ++y) {
        writeDrawnRow(frame + y * stride, panel->mean.data() + y * stride,
                      panel->sigma.data() + y * stride, width, noiseOffset(scene.seed, y, n),
                      writers);
    }
}

} // namespace XislSim
