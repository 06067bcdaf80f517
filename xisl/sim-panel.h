/* SPDX-License-Identifier: LGPL-2.1-or-later */
// The flat panel behind phantom and flat content: offset, gain, defects and noise of every pixel
// as a pure function of the scene and the position, and the per-pixel maps frames are drawn from.
#pragma once

#include "mutex.h"
#include "xisl-sim.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace XislSim {

// A counter-based hash: every random draw of the panel and its noise is one of these.
inline uint32_t mix(uint32_t value)
{
    value ^= value >> 16;
    value *= 0x7feb352du;
    value ^= value >> 15;
    value *= 0x846ca68bu;
    value ^= value >> 16;
    return value;
}

// Standard Gaussian values in units of 1 / kNoiseUnit: mean 0 and sd 1 over the table, within
// +-6. Small enough to stay in the first-level cache while a frame is drawn. Trivially
// destructible, so that a worker still drawing at exit never reads a destroyed table.
constexpr uint32_t kNoiseLength = 1u << 14;
constexpr int kNoiseUnit = 2048;
struct GaussianTable {
    GaussianTable();
    int16_t values[kNoiseLength];
};
const GaussianTable &gaussianTable();

// Known content, binning 1 or 2, a sensor of at least one pixel.
bool isValid(const XislSimScene &scene);
uint32_t frameWidth(const XislSimScene &scene);
uint32_t frameHeight(const XislSimScene &scene);

// The truth of the pixel at (x, y) of the scene's frames; any position, any content but pattern.
XislSimPixelTruth pixelTruth(const XislSimScene &scene, uint32_t x, uint32_t y);

// What a pixel is drawn from: the expected value and the noise sd, both in whole counts. One
// byte for the sd keeps the maps a frame is drawn from at three bytes a pixel, which sets the
// simulator's speed; it holds read noise (6, binned 3) and the largest shot noise (181).
struct PixelDraw {
    uint16_t mean;
    uint8_t sigma;
};
PixelDraw drawOf(const XislSimPixelTruth &truth);

// The draws of every pixel of a scene's frame, row after row.
struct PanelMaps {
    std::vector<uint16_t> mean;
    std::vector<uint8_t> sigma;
};

// The maps of the few scenes used last, enough for the handles of one test or benchmark. A
// scene's maps are built on first use, which can take a good fraction of a second for large
// frames. Thread-safe.
class PanelMapCache {
public:
    PanelMapCache() = default;
    PanelMapCache(const PanelMapCache &) = delete;
    PanelMapCache &operator=(const PanelMapCache &) = delete;

    std::shared_ptr<const PanelMaps> get(const XislSimScene &scene);

private:
    struct Entry {
        XislSimScene scene;
        std::shared_ptr<const PanelMaps> maps;
    };
    TessaraVolt::Mutex mutex_;
    std::vector<Entry> recent_ TESSARAVOLT_GUARDED_BY(mutex_); // the most recent last
};

} // namespace XislSim
