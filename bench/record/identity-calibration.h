/* SPDX-License-Identifier: LGPL-2.1-or-later */
// A calibration under which corrected pattern frames stay checkable: every good pixel has dark
// 100, the pedestal's default, and the same response, so offset and gain correction give back the
// raw value through the whole arithmetic. A defective column and one pixel in 2048, as many as a
// real panel has, are patched on every frame; none of them is a pixel FrameChecker reads.
#pragma once

#include <cstdint>
#include <string>

// Writes it into `folder` for a side x side frame taken at exposure 0, gain 0, binning 1 and the
// internal timer; returns its path, or throws std::runtime_error.
std::string writeIdentityCalibration(const std::string &folder, uint32_t side);
