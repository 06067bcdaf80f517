// SPDX-License-Identifier: LGPL-2.1-or-later
#include "sim-content.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace XislSim {

namespace {

// The phantom repeats every kTile pixels in both directions, so a frame of any size (binned or
// not) shows whole phantoms and the picture stays a function of position alone.
constexpr uint32_t kTile = 512;
// Small enough to stay in the first-level cache; each row starts at its own random offset.
constexpr uint32_t kNoiseLength = 1u << 13;

// The two inner loops are also built for AVX2 and picked once, by what the processor offers:
// with SSE2 alone they would lose to the C library's memcpy, which the frame rate is measured
// against. A function pointer rather than an ifunc, which Windows does not have.
#if defined(__GNUC__) && defined(__x86_64__)
#define XISL_SIM_AVX2_RUNS 1
#endif

struct Disc {
    float x, y, radius, value;
};

// Raw detector counts: open beam is bright, the phantom's body attenuates, the inserts differ
// in contrast and size so that both are visible at once.
float phantomValue(float x, float y)
{
    constexpr float kCentre = kTile / 2.0f;
    constexpr float kAir = 42000.0f;
    static const std::array<Disc, 8> discs = [] {
        std::array<Disc, 8> d{};
        d[0] = {kCentre, kCentre, 230.0f, 14000.0f};
        const float contrasts[6] = {6000, 9000, 11500, 16500, 19000, 23000};
        for (int k = 0; k < 6; ++k) {
            float angle = static_cast<float>(k) * 1.0471976f;
            d[1 + k] = {kCentre + 140.0f * std::cos(angle), kCentre + 140.0f * std::sin(angle),
                        12.0f + 6.0f * static_cast<float>(k), contrasts[k]};
        }
        d[7] = {kCentre, kCentre, 30.0f, 4000.0f};
        return d;
    }();
    float value = kAir;
    for (const Disc &disc : discs) {
        float dx = x - disc.x;
        float dy = y - disc.y;
        if (dx * dx + dy * dy <= disc.radius * disc.radius)
            value = disc.value;
    }
    // The beam's intensity falls off towards the corners of the tile.
    float r = std::hypot(x - kCentre, y - kCentre) / (kCentre * 1.4143f);
    return value * (1.0f - 0.15f * r * r);
}

uint32_t mix(uint32_t value)
{
    value ^= value >> 16;
    value *= 0x7feb352du;
    value ^= value >> 15;
    value *= 0x846ca68bu;
    value ^= value >> 16;
    return value;
}

struct PhantomTables {
    std::vector<uint16_t> tile;  // kTile x kTile base image
    std::vector<uint16_t> noise; // kNoiseLength values, then the first kTile again: no run wraps
};

// Noise is roughly Gaussian (sum of four uniforms), sigma about 150 counts, at most 600 in
// magnitude, stored as its 16-bit two's complement so that adding it wraps to base + noise.
std::vector<uint16_t> makeNoise()
{
    std::vector<uint16_t> noise(kNoiseLength + kTile);
    for (uint32_t i = 0; i < kNoiseLength; ++i) {
        int32_t sum = 0;
        for (uint32_t k = 0; k < 4; ++k)
            sum += static_cast<int32_t>(mix(i * 4 + k + 0x9e3779b9u) & 0x3ff) - 512;
        int32_t value = sum * 150 / 591;
        value = std::clamp(value, -600, 600);
        noise[i] = static_cast<uint16_t>(value);
    }
    std::copy_n(noise.begin(), kTile, noise.begin() + kNoiseLength);
    return noise;
}

std::vector<uint16_t> makeTile()
{
    std::vector<uint16_t> tile(kTile * kTile);
    for (uint32_t v = 0; v < kTile; ++v) {
        for (uint32_t u = 0; u < kTile; ++u) {
            float value = phantomValue(static_cast<float>(u) + 0.5f, static_cast<float>(v) + 0.5f);
            tile[v * kTile + u] = static_cast<uint16_t>(std::lround(value));
        }
    }
    return tile;
}

const PhantomTables &phantomTables()
{
    static const PhantomTables tables{makeTile(), makeNoise()};
    return tables;
}

// Where row y of frame n starts reading the noise table.
uint32_t noiseOffset(uint32_t seed, uint32_t y, uint32_t n)
{
    return mix(mix(mix(seed) ^ n) ^ y) % kNoiseLength;
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

[[gnu::always_inline]] inline void addLoop(uint16_t *__restrict out,
                                           const uint16_t *__restrict base,
                                           const uint16_t *__restrict noise, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i)
        out[i] = static_cast<uint16_t>(base[i] + noise[i]);
}

void xorAddRun(uint16_t *out, const uint16_t *xs, uint16_t rowBits, uint16_t offset, uint32_t count)
{
    xorAddLoop(out, xs, rowBits, offset, count);
}

void addRun(uint16_t *out, const uint16_t *base, const uint16_t *noise, uint32_t count)
{
    addLoop(out, base, noise, count);
}

#ifdef XISL_SIM_AVX2_RUNS
__attribute__((target("avx2"))) void
xorAddRunAvx2(uint16_t *out, const uint16_t *xs, uint16_t rowBits, uint16_t offset, uint32_t count)
{
    xorAddLoop(out, xs, rowBits, offset, count);
}

__attribute__((target("avx2"))) void addRunAvx2(uint16_t *out, const uint16_t *base,
                                                const uint16_t *noise, uint32_t count)
{
    addLoop(out, base, noise, count);
}
#endif

struct RunWriters {
    void (*xorAdd)(uint16_t *, const uint16_t *, uint16_t, uint16_t, uint32_t);
    void (*add)(uint16_t *, const uint16_t *, const uint16_t *, uint32_t);
};

// Chosen on first use, once for the process.
const RunWriters &runWriters()
{
    static const RunWriters writers = [] {
#ifdef XISL_SIM_AVX2_RUNS
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx2"))
            return RunWriters{xorAddRunAvx2, addRunAvx2};
#endif
        return RunWriters{xorAddRun, addRun};
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

void writePhantomRow(uint16_t *row, uint32_t width, uint32_t y, uint32_t n, uint32_t seed,
                     const PhantomTables &tables, const RunWriters &writers)
{
    const uint16_t *base = tables.tile.data() + (y % kTile) * kTile;
    const uint32_t start = noiseOffset(seed, y, n);
    uint32_t x = 0;
    while (x < width) {
        const uint32_t u = x % kTile;
        const uint32_t run = std::min(kTile - u, width - x);
        const uint16_t *noise = tables.noise.data() + (start + x) % kNoiseLength;
        writers.add(row + x, base + u, noise, run);
        x += run;
    }
}

} // namespace

uint16_t pixel(XislSimContent content, uint32_t seed, uint32_t x, uint32_t y, uint32_t n)
{
    switch (content) {
    case XISL_SIM_CONTENT_PATTERN:
        return static_cast<uint16_t>((x ^ (y << 6)) + 17u * n);
    case XISL_SIM_CONTENT_PHANTOM: {
        const PhantomTables &tables = phantomTables();
        uint16_t base = tables.tile[(y % kTile) * kTile + x % kTile];
        uint16_t noise = tables.noise[(noiseOffset(seed, y, n) + x % kNoiseLength) % kNoiseLength];
        return static_cast<uint16_t>(base + noise);
    }
    }
    return 0;
}

void writeFrame(uint16_t *frame, uint32_t width, uint32_t height, XislSimContent content,
                uint32_t seed, uint32_t n)
{
    const size_t stride = width;
    const RunWriters &writers = runWriters();
    if (content == XISL_SIM_CONTENT_PHANTOM) {
        const PhantomTables &tables = phantomTables();
        for (uint32_t y = 0; y < height; ++y)
            writePhantomRow(frame + y * stride, width, y, n, seed, tables, writers);
        return;
    }
    for (uint32_t y = 0; y < height; ++y)
        writePatternRow(frame + y * stride, width, y, n, writers);
}

} // namespace XislSim
