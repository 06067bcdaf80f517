/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Frame content of the simulated detector: a pure function of pixel position and frame number.
#pragma once

#include "xisl-sim.h"

#include <cstdint>

namespace XislSim {

// One pixel; the reference the frame writer below must agree with.
uint16_t pixel(XislSimContent content, uint32_t seed, uint32_t x, uint32_t y, uint32_t n);

// Writes frame n, width x height pixels row after row, into `frame`. Costs one write per pixel.
// Thread-safe: the phantom's shared tables are built once, on first use.
void writeFrame(uint16_t *frame, uint32_t width, uint32_t height, XislSimContent content,
                uint32_t seed, uint32_t n);

} // namespace XislSim
