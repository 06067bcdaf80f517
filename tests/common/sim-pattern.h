/* SPDX-License-Identifier: LGPL-2.1-or-later */
// The simulator's documented test pattern, written out again independently of the simulator's
// code: pixel (x, y) of frame n is (x ^ (y << 6)) + 17 n, modulo 2^16.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace TessaraVoltTest {

constexpr uint16_t patternPixel(uint32_t x, uint32_t y, uint32_t n)
{
    return static_cast<uint16_t>((x ^ (y << 6)) + 17u * n);
}

// 17 is odd, so it has an inverse modulo 2^16; each Newton step doubles the right low bits.
constexpr uint16_t inverseOf17 = [] {
    uint32_t inverse = 1; // right in the low 4 bits, since 17 = 1 modulo 16
    for (int i = 0; i < 2; i++)
        inverse = inverse * (2u - 17u * inverse);
    return static_cast<uint16_t>(inverse);
}();
static_assert(static_cast<uint16_t>(17 * inverseOf17) == 1, "17 is invertible modulo 2^16");

// The frame number, modulo 2^16, of a pattern frame whose pixel (x, y) holds `value`.
constexpr uint16_t patternFrameNumber(uint16_t value, uint32_t x, uint32_t y)
{
    // In 32 unsigned bits: two 16-bit factors would be promoted to int, whose product overflows.
    return static_cast<uint16_t>(uint32_t{static_cast<uint16_t>(value - patternPixel(x, y, 0))} *
                                 inverseOf17);
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
