/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The simulated detector's test pattern (XISL_SIM_CONTENT_PATTERN, documented in xisl-sim.h),
 * defined here once: the simulator draws it, and the tests, the benchmarks and uca-record's
 * --frame-counter sim-pattern read frame numbers back from it. Pure functions in C and C++,
 * nothing to link, and nothing of XISL included, so that a libuca client may use them. */
#ifndef XISL_SIM_PATTERN_H
#define XISL_SIM_PATTERN_H

#include <stdint.h>

/* Pixel (x, y) of pattern frame n: (x ^ (y << 6)) + 17 n, modulo 2^16. */
static inline uint16_t xisl_sim_pattern_pixel(uint32_t x, uint32_t y, uint32_t n)
{
    return (uint16_t)((x ^ (y << 6)) + 17u * n);
}

/* 17 is odd, so it has an inverse modulo 2^16: 17 * 0xF0F1 = 1 modulo 2^16. */
#define XISL_SIM_PATTERN_INVERSE_OF_17 0xF0F1u

/* The frame number, modulo 2^16, of a pattern frame whose pixel (x, y) holds `value`. In 32
 * unsigned bits: two 16-bit factors would be promoted to int, whose product overflows. */
static inline uint16_t xisl_sim_pattern_frame_number(uint16_t value, uint32_t x, uint32_t y)
{
    return (uint16_t)((uint32_t)(uint16_t)(value - xisl_sim_pattern_pixel(x, y, 0)) *
                      XISL_SIM_PATTERN_INVERSE_OF_17);
}

#endif /* XISL_SIM_PATTERN_H */
