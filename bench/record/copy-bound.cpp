// SPDX-License-Identifier: LGPL-2.1-or-later
#include "copy-bound.h"

#include <xisl-sim.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kBatches = 5;

// Read after the copies, so that the compiler cannot drop them.
volatile uint64_t sink;

double seconds(Clock::duration duration)
{
    return std::chrono::duration<double>(duration).count();
}

void plainCopy(void *destination, const void *source, size_t bytes)
{
    std::memcpy(destination, source, bytes);
}

// 64 bytes a step with streaming stores, which write whole lines without reading them first and
// leave the cache alone.
void streamingCopy(void *destination, const void *source, size_t bytes)
{
#ifdef __SSE2__
    auto *to = static_cast<unsigned char *>(destination);
    auto *from = static_cast<const unsigned char *>(source);
    const size_t head = std::min(bytes, (16 - reinterpret_cast<uintptr_t>(to) % 16) % 16);
    std::memcpy(to, from, head);
    to += head;
    from += head;
    bytes -= head;
    for (; bytes >= 64; bytes -= 64, to += 64, from += 64) {
        const __m128i *in = reinterpret_cast<const __m128i *>(from);
        __m128i *out = reinterpret_cast<__m128i *>(to);
        const __m128i a = _mm_loadu_si128(in), b = _mm_loadu_si128(in + 1);
        const __m128i c = _mm_loadu_si128(in + 2), d = _mm_loadu_si128(in + 3);
        _mm_stream_si128(out, a);
        _mm_stream_si128(out + 1, b);
        _mm_stream_si128(out + 2, c);
        _mm_stream_si128(out + 3, d);
    }
    std::memcpy(to, from, bytes);
    _mm_sfence();
#else
    std::memcpy(destination, source, bytes);
#endif
}

// The bytes a corrected copy moves, 2 of the frame and 2 + 2 of calibration in and 2 out a pixel,
// with one OR a pixel for arithmetic: the rate memory allows such a copy.
void calibratedCopy(uint16_t *destination, const uint16_t *source, const uint16_t *dark,
                    const uint16_t *gain, size_t pixels)
{
    size_t i = 0;
#ifdef __SSE2__
    for (; i + 8 <= pixels; i += 8) {
        const auto load = [i](const uint16_t *from) {
            return _mm_loadu_si128(reinterpret_cast<const __m128i *>(from + i));
        };
        _mm_storeu_si128(reinterpret_cast<__m128i *>(destination + i),
                         _mm_or_si128(load(source), _mm_or_si128(load(dark), load(gain))));
    }
#endif
    for (; i < pixels; ++i)
        destination[i] = source[i] | dark[i] | gain[i];
}

} // namespace

unsigned copyPasses(const WorkingSet &buffers)
{
    return buffers.ringBlocks > 0 ? 3 : 2;
}

double cachedCopyRate(size_t bytes)
{
    std::vector<char> source(bytes, 1), destination(bytes, 2);
    memcpy(destination.data(), source.data(), bytes);

    constexpr unsigned copiesPerBatch = 20;
    Clock::duration fastestBatch = Clock::duration::max();
    for (unsigned batch = 0; batch < kBatches; ++batch) {
        const auto start = Clock::now();
        for (unsigned copy = 0; copy < copiesPerBatch; ++copy) {
            memcpy(destination.data(), source.data(), bytes);
            source[copy] = destination[bytes - 1 - copy]; // keeps every copy observable
        }
        fastestBatch = std::min(fastestBatch, Clock::now() - start);
    }
    return static_cast<double>(bytes) * copiesPerBatch / seconds(fastestBatch);
}

double fairBoundRate(const WorkingSet &buffers, uint32_t side, CopyKind kind)
{
    const size_t pixels = size_t{side} * side;
    const size_t bytes = pixels * sizeof(uint16_t);
    std::vector<uint16_t> acquisition(pixels * buffers.acquisitionFrames, 1);
    std::vector<uint16_t> ring(pixels * buffers.ringBlocks, 2);
    std::vector<uint16_t> destination(pixels, 3);
    const bool calibrated = kind == CopyKind::Calibrated;
    std::vector<uint16_t> dark(calibrated ? pixels : 0, 4), gain(calibrated ? pixels : 0, 5);
    const XislSimScene pattern{XISL_SIM_CONTENT_PATTERN, 1, side, side, XISL_BINNING_NONE, 0};
    void (*const copy)(void *, const void *, size_t) =
        kind == CopyKind::NonTemporal ? streamingCopy : plainCopy;

    uint32_t n = 0;
    auto passFrame = [&] {
        uint16_t *written = acquisition.data() + n % buffers.acquisitionFrames * pixels;
        xisl_sim_render(&pattern, n, written);
        uint16_t *target = buffers.ringBlocks > 0 ? ring.data() + n % buffers.ringBlocks * pixels
                                                  : destination.data();
        if (calibrated)
            calibratedCopy(target, written, dark.data(), gain.data(), pixels);
        else
            copy(target, written, bytes);
        if (target != destination.data())
            copy(destination.data(), target, bytes);
        sink = sink + destination[n % pixels];
        ++n;
    };
    // Every buffer of every stage takes a turn in a cycle; timing starts after a whole one.
    const unsigned cycle = buffers.acquisitionFrames * std::max(buffers.ringBlocks, 1u);
    const unsigned framesPerBatch = std::max(2 * cycle, 30u);
    for (unsigned i = 0; i < cycle; ++i)
        passFrame();
    Clock::duration fastestBatch = Clock::duration::max();
    for (unsigned batch = 0; batch < kBatches; ++batch) {
        const auto start = Clock::now();
        for (unsigned i = 0; i < framesPerBatch; ++i)
            passFrame();
        fastestBatch = std::min(fastestBatch, Clock::now() - start);
    }
    return framesPerBatch / seconds(fastestBatch);
}
