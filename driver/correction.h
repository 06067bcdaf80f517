/* SPDX-License-Identifier: LGPL-2.1-or-later */
// The correction of raw frames, fused into the one copy of the region of interest out of the
// acquisition buffer: the dark subtracted, the flat's gain differences divided out, a pedestal
// added, and defective pixels replaced by their neighbours' mean.
#pragma once

#include <cstdint>
#include <vector>

#include "frame.h"

namespace TessaraVolt {

// A region of the frame, in the frame's (binned) pixels.
struct Region {
    uint32_t x0 = 0;
    uint32_t y0 = 0;
    uint32_t width = 0;
    uint32_t height = 0;

    size_t pixelCount() const { return size_t{width} * height; }
};

inline bool operator==(const Region &a, const Region &b)
{
    return a.x0 == b.x0 && a.y0 == b.y0 && a.width == b.width && a.height == b.height;
}

// The averaged calibration frames of one region, row after row.
struct CalibrationMaps {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<float> dark;
    std::vector<float> flat; // empty without flats
};

// 1 for each pixel of the maps that cannot be corrected: its dark lies far from the others' (hot
// or cold), or, with a flat, its response does (dead, weak or far too strong) or it saturated.
std::vector<uint8_t> findDefects(const CalibrationMaps &maps);

struct CorrectionSwitches {
    bool offset = false;
    bool gain = false;
    bool defects = false;
    uint16_t pedestal = 100; // counts added after the dark is subtracted

    bool any() const { return offset || gain || defects; }
};

// What the copy does to each pixel of the region; immutable once made, so that XISL's thread
// may use it while a client thread makes the next.
struct CorrectionPlan {
    static constexpr int gainFractionBits = 14;

    uint32_t width = 0;
    uint32_t height = 0;
    // Per pixel, row after row: the dark in whole counts and the gain factor in units of
    // 2^-gainFractionBits (so below 4). Memory sets the corrected copy's speed, and these are the
    // bytes it reads beside the frame's own. Gain empty: gain 1, read from nowhere. Both empty:
    // the rows are copied as they are.
    std::vector<uint16_t> dark;
    std::vector<uint16_t> gain;
    uint16_t pedestal = 0;
    // Defective pixels, replaced once the region is copied: pixel defects[i] takes the mean of the
    // pixels neighbours[firstNeighbour[i]] up to neighbours[firstNeighbour[i + 1]].
    std::vector<uint32_t> defects;
    std::vector<uint32_t> firstNeighbour;
    std::vector<uint32_t> neighbours;
};

// `maps` and `defectMask` cover the same region; gain correction needs a flat. A pixel's
// corrected value is (raw - dark) * gain + pedestal, where gain is the mean response of the good
// pixels over the pixel's own; (raw - dark) * gain is rounded with halves away from 0, the value
// clamped to 0..65535, and a saturated raw pixel stays saturated.
CorrectionPlan makeCorrectionPlan(const CalibrationMaps &maps,
                                  const std::vector<uint8_t> &defectMask,
                                  const CorrectionSwitches &switches);

// The arithmetic of `count` pixels of a corrected row; `dark` and `gain` as in CorrectionPlan,
// `gain` null for gain 1.
using RowCorrection = void (*)(const uint16_t *raw, const uint16_t *dark, const uint16_t *gain,
                               uint16_t pedestal, uint16_t *corrected, uint32_t count);
// The one copyRegion uses, vectorised where the processor allows, and the plain one it falls
// back to elsewhere; both give the same pixels, bit for bit.
RowCorrection fastestRowCorrection();
RowCorrection portableRowCorrection();

// Copies `region` of `frame` into `destination`, row after row, corrected by `plan` when there is
// one of the region's size. The region lies inside the frame.
void copyRegion(const Image &frame, const Region &region, const CorrectionPlan *plan,
                uint16_t *destination);

} // namespace TessaraVolt
