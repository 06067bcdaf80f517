// SPDX-License-Identifier: LGPL-2.1-or-later
#include "sim-panel.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace XislSim {

namespace {

// The phantom repeats every kTile panel pixels in both directions, so that a panel of any size
// shows whole phantoms.
constexpr uint32_t kTile = 512;
constexpr float kTwoPi = 6.2831853f;
// About one pixel in 4096 is hot, as many are dead.
constexpr uint32_t kDefectRate = 1u << 20;

// Each kind of draw has its own salt, so that no two are correlated.
enum class Salt : uint32_t { Group = 1, Column, Row, Pixel, Defect, Hot, Gain, Line, Slow };

uint32_t draw(uint32_t seed, Salt salt, uint32_t a, uint32_t b = 0)
{
    return mix(mix(mix(seed ^ (static_cast<uint32_t>(salt) * 0x9e3779b9u)) ^ a) ^ b);
}

float gauss(uint32_t hash)
{
    return static_cast<float>(gaussianTable().values[hash % kNoiseLength]) / kNoiseUnit;
}

float uniform(uint32_t hash)
{
    return static_cast<float>(hash >> 8) * 0x1p-24f;
}

struct Disc {
    float x, y, radius, transmission;
};

// Open beam 1; the phantom's body attenuates, the inserts differ in contrast and size so that
// both show at once.
float phantomTransmission(float x, float y)
{
    constexpr float kCentre = kTile / 2.0f;
    static const std::array<Disc, 8> discs = [] {
        std::array<Disc, 8> d{};
        d[0] = {kCentre, kCentre, 230.0f, 1.0f / 3.0f};
        const float transmissions[6] = {0.14f, 0.21f, 0.27f, 0.39f, 0.45f, 0.55f};
        for (int k = 0; k < 6; ++k) {
            float angle = static_cast<float>(k) * 1.0471976f;
            d[1 + k] = {kCentre + 140.0f * std::cos(angle), kCentre + 140.0f * std::sin(angle),
                        12.0f + 6.0f * static_cast<float>(k), transmissions[k]};
        }
        d[7] = {kCentre, kCentre, 30.0f, 0.1f};
        return d;
    }();
    float value = 1.0f;
    for (const Disc &disc : discs) {
        float dx = x - disc.x;
        float dy = y - disc.y;
        if (dx * dx + dy * dy <= disc.radius * disc.radius)
            value = disc.transmission;
    }
    return value;
}

// Trivially destructible, like the Gaussian table.
struct PhantomTile {
    PhantomTile()
    {
        for (uint32_t v = 0; v < kTile; ++v) {
            for (uint32_t u = 0; u < kTile; ++u)
                values[v * kTile + u] = phantomTransmission(u + 0.5f, v + 0.5f);
        }
    }
    float values[kTile * kTile];
};

const PhantomTile &phantomTile()
{
    static const PhantomTile tile;
    return tile;
}

float transmission(XislSimContent content, uint32_t px, uint32_t py)
{
    if (content != XISL_SIM_CONTENT_PHANTOM)
        return 1.0f;
    return phantomTile().values[(py % kTile) * kTile + px % kTile];
}

// Scintillator and read-out differ slowly across the panel: up to +-7 per cent.
float slowGain(const XislSimScene &scene, uint32_t px, uint32_t py)
{
    const float u = (static_cast<float>(px) + 0.5f) / static_cast<float>(scene.width);
    const float v = (static_cast<float>(py) + 0.5f) / static_cast<float>(scene.height);
    const float phaseU = uniform(draw(scene.seed, Salt::Slow, 0));
    const float phaseV = uniform(draw(scene.seed, Salt::Slow, 1));
    return 1.0f + 0.04f * std::cos(kTwoPi * (0.7f * u + phaseU)) +
           0.03f * std::cos(kTwoPi * (0.6f * v + phaseV));
}

uint32_t lineColumn(const XislSimScene &scene)
{
    const uint32_t span = scene.width / 2;
    return scene.width / 4 + (span > 0 ? draw(scene.seed, Salt::Line, 0) % span : 0);
}

struct PanelPixel {
    float offset;
    float gain;
    float expected; // at most 65535
    float variance;
    uint32_t defects;
};

PanelPixel panelPixel(const XislSimScene &scene, uint32_t px, uint32_t py)
{
    const uint32_t seed = scene.seed;
    float offset = XISL_SIM_DARK_LEVEL + 40.0f * gauss(draw(seed, Salt::Group, px / 128)) +
                   20.0f * gauss(draw(seed, Salt::Column, px)) +
                   5.0f * gauss(draw(seed, Salt::Row, py)) +
                   10.0f * gauss(draw(seed, Salt::Pixel, px, py));
    uint32_t defects = 0;
    const uint32_t kind = draw(seed, Salt::Defect, px, py);
    if (kind < kDefectRate) {
        defects = XISL_SIM_DEFECT_HOT;
        offset += 3000.0f + 57000.0f * uniform(draw(seed, Salt::Hot, px, py));
    } else if (kind < 2 * kDefectRate) {
        defects = XISL_SIM_DEFECT_DEAD;
    }
    if (px == lineColumn(scene))
        defects |= XISL_SIM_DEFECT_LINE;

    float gain = 0.0f;
    if (!(defects & (XISL_SIM_DEFECT_DEAD | XISL_SIM_DEFECT_LINE)))
        gain = slowGain(scene, px, py) * (1.0f + 0.03f * gauss(draw(seed, Salt::Gain, px, py)));
    const float signal =
        gain * static_cast<float>(scene.beam) * transmission(scene.content, px, py);
    constexpr float kRead = XISL_SIM_READ_NOISE;
    PanelPixel pixel{offset, gain, offset + signal,
                     kRead * kRead + signal / XISL_SIM_QUANTA_PER_COUNT, defects};
    if (pixel.expected >= 65535.0f) {
        pixel.expected = 65535.0f;
        pixel.variance = 0.0f;
    }
    return pixel;
}

bool sameScene(const XislSimScene &a, const XislSimScene &b)
{
    return a.content == b.content && a.seed == b.seed && a.width == b.width &&
           a.height == b.height && a.binning == b.binning && a.beam == b.beam;
}

std::shared_ptr<const PanelMaps> buildMaps(const XislSimScene &scene)
{
    auto maps = std::make_shared<PanelMaps>();
    const uint32_t width = frameWidth(scene);
    const uint32_t height = frameHeight(scene);
    maps->mean.resize(static_cast<size_t>(width) * height);
    maps->sigma.resize(maps->mean.size());
    size_t i = 0;
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x, ++i) {
            const PixelDraw pixel = drawOf(pixelTruth(scene, x, y));
            maps->mean[i] = pixel.mean;
            maps->sigma[i] = pixel.sigma;
        }
    }
    return maps;
}

} // namespace

GaussianTable::GaussianTable()
{
    std::vector<double> draws(kNoiseLength);
    for (uint32_t i = 0; i < kNoiseLength; i += 2) {
        // Box-Muller: two independent values from two uniform ones in (0, 1].
        const double u1 = (static_cast<double>(mix(2 * i + 0x2545f491u) >> 8) + 1.0) * 0x1p-24;
        const double u2 = static_cast<double>(mix(2 * i + 1 + 0x2545f491u) >> 8) * 0x1p-24;
        const double radius = std::sqrt(-2.0 * std::log(u1));
        draws[i] = radius * std::cos(6.283185307179586 * u2);
        draws[i + 1] = radius * std::sin(6.283185307179586 * u2);
    }
    double sum = 0.0, squares = 0.0;
    for (double value : draws) {
        sum += value;
        squares += value * value;
    }
    const double mean = sum / kNoiseLength;
    const double sd = std::sqrt(squares / kNoiseLength - mean * mean);
    for (uint32_t i = 0; i < kNoiseLength; ++i) {
        const double z = std::clamp((draws[i] - mean) / sd, -6.0, 6.0);
        values[i] = static_cast<int16_t>(std::lround(z * kNoiseUnit));
    }
}

const GaussianTable &gaussianTable()
{
    static const GaussianTable table;
    return table;
}

bool isValid(const XislSimScene &scene)
{
    const bool content = scene.content == XISL_SIM_CONTENT_PATTERN ||
                         scene.content == XISL_SIM_CONTENT_PHANTOM ||
                         scene.content == XISL_SIM_CONTENT_FLAT;
    const bool binning = scene.binning == XISL_BINNING_NONE || scene.binning == XISL_BINNING_2X2;
    return content && binning && scene.width > 0 && scene.height > 0;
}

uint32_t frameWidth(const XislSimScene &scene)
{
    return scene.binning == XISL_BINNING_2X2 ? scene.width / 2 : scene.width;
}

uint32_t frameHeight(const XislSimScene &scene)
{
    return scene.binning == XISL_BINNING_2X2 ? scene.height / 2 : scene.height;
}

XislSimPixelTruth pixelTruth(const XislSimScene &scene, uint32_t x, uint32_t y)
{
    const uint32_t side = scene.binning == XISL_BINNING_2X2 ? 2 : 1;
    float offset = 0.0f, gain = 0.0f, expected = 0.0f, variance = 0.0f;
    uint32_t defects = 0;
    for (uint32_t j = 0; j < side; ++j) {
        for (uint32_t i = 0; i < side; ++i) {
            const PanelPixel pixel = panelPixel(scene, x * side + i, y * side + j);
            offset += pixel.offset;
            gain += pixel.gain;
            expected += pixel.expected;
            variance += pixel.variance;
            defects |= pixel.defects;
        }
    }
    const float count = static_cast<float>(side * side);
    const float mean = std::clamp(std::round(expected / count), 0.0f, 65535.0f);
    // The sd as frames are drawn with it, in whole counts.
    const float sigma = std::min(std::round(std::sqrt(variance) / count), 255.0f);
    return XislSimPixelTruth{offset / count, gain / count, mean, sigma, defects};
}

PixelDraw drawOf(const XislSimPixelTruth &truth)
{
    return PixelDraw{static_cast<uint16_t>(truth.mean), static_cast<uint8_t>(truth.sigma)};
}

std::shared_ptr<const PanelMaps> PanelMapCache::get(const XislSimScene &scene)
{
    constexpr size_t kKept = 4;
    TessaraVolt::MutexLocker locker(mutex_);
    auto found = std::find_if(recent_.begin(), recent_.end(),
                              [&](const Entry &entry) { return sameScene(entry.scene, scene); });
    Entry entry = found != recent_.end() ? *found : Entry{scene, buildMaps(scene)};
    if (found != recent_.end())
        recent_.erase(found);
    else if (recent_.size() == kKept)
        recent_.erase(recent_.begin());
    recent_.push_back(entry);
    return entry.maps;
}

} // namespace XislSim
