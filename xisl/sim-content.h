/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Frame content of the simulated detector: a pure function of the scene, the pixel's position and
// the frame number.
#pragma once

#include "sim-panel.h"
#include "xisl-sim.h"

#include <cstdint>

namespace XislSim {

// One pixel; the reference the frame writer below must agree with.
uint16_t pixel(const XislSimScene &scene, uint32_t x, uint32_t y, uint32_t n);

// Writes frame n of a valid scene, row after row, into `frame`. Costs about one write per pixel
// once the scene's maps, taken from `maps` unless the content is the pattern, are built.
void writeFrame(uint16_t *frame, const XislSimScene &scene, uint32_t n, PanelMapCache &maps);

} // namespace XislSim
