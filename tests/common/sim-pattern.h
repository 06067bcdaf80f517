/* SPDX-License-Identifier: LGPL-2.1-or-later */
// The simulator's test pattern for the tests and benchmarks: pixel (x, y) of frame n is
// (x ^ (y << 6)) + 17 n, modulo 2^16, as defined once in xisl/xisl-sim-pattern.h.
#pragma once

#include "xisl-sim-pattern.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace TessaraVoltTest {

inline uint16_t patternPixel(uint32_t x, uint32_t y, uint32_t n)
{
    return xisl_sim_pattern_pixel(x, y, n);
}

static_assert(static_cast<uint16_t>(17u * XISL_SIM_PATTERN_INVERSE_OF_17) == 1,
              "17 is invertible modulo 2^16");

// The frame number, modulo 2^16, of a pattern frame whose pixel (x, y) holds `value`.
inline uint16_t patternFrameNumber(uint16_t value, uint32_t x, uint32_t y)
{
    return xisl_sim_pattern_frame_number(value, x, y);
}

struct Roi {
    uint32_t x0, y0, width, height;
};

// The frame number (modulo 2^16) whose region `pixels` holds exactly, or nothing when the pixels
// are no frame of the pattern.
inline std::optional<uint32_t> frameNumberOf(const uint16_t *pixels, const Roi &roi)
{
    const uint16_t n = patternFrameNumber(pixels[0], roi.x0, roi.y0);
    for (uint32_t row = 0; row < roi.height; row++)
        for (uint32_t column = 0; column < roi.width; column++)
            if (pixels[size_t{row} * roi.width + column] !=
                patternPixel(roi.x0 + column, roi.y0 + row, n))
                return std::nullopt;
    return n;
}

} // namespace TessaraVoltTest
