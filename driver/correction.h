/* SPDX-License-Identifier: LGPL-2.1-or-later */
// The correction of raw frames, fused into the one copy of the region of interest out of the
// acquisition buffer: the dark subtracted, the flat's gain differences divided out, a pedestal
// added, and defective pixels replaced by their neighbours' mean.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "frame.h"

namespace TessaraVolt {

// The averaged calibration frames of one region, row after row.
struct CalibrationMaps {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<float> dark;
    std::vector<float> flat; // empty without flats
};

// Why a pixel cannot be corrected, as its detection tells: it gives too little (a cold dark, a
// dead or weak response) or too much (a hot dark, a far too strong response, a saturated flat).
enum DefectKind : uint8_t {
    DefectUnderResponding = 1 << 0,
    DefectOverResponding = 1 << 1,
};

// For each pixel of the maps, 0 when it can be corrected, else its DefectKind bits: its dark lies
// far from the others', or, with a flat, its response does or it saturated.
std::vector<uint8_t> findDefects(const CalibrationMaps &maps);

// Why the maps' flats cannot serve a gain correction (empty when they can, or there are none):
// the typical pixel saturated, or too little response above the dark to tell the gains from the
// noise. Such flats would only make every pixel a defect.
std::string unusableFlats(const CalibrationMaps &maps);

// NeXus NXdetector pixel_mask bits, one word a pixel, for `defectMask` (findDefects') of a region
// `width` pixels wide: under- and over-responding, and part of a cluster where no pixel of the 3 x
// 3 block around a defect is good (so that its replacement comes from the 5 x 5 block).
std::vector<uint32_t> nexusPixelMask(const std::vector<uint8_t> &defectMask, uint32_t width);

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
