// SPDX-License-Identifier: LGPL-2.1-or-later
#include "correction.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>

#include <fmt/format.h>

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#define TESSARAVOLT_HAVE_AVX2_PATH 1
#endif

namespace TessaraVolt {

namespace {

// Far enough out that the spread of good pixels, which the averaged calibration frames show
// with little noise, never reaches it, and close enough for hot pixels and weak ones.
constexpr float darkOutlierSds = 10.0f;
constexpr float weakestResponse = 0.5f;
constexpr float strongestResponse = 1.5f;
constexpr float saturatedFlat = 65534.0f;
// The flats' typical response must be this many times the pixel-to-pixel scatter of the
// responses: with the defect bounds at half and 1.5 times the typical response, a scatter any
// larger puts them within 3 sd, so that noise alone calls good pixels defects and the gain
// factors are mostly noise.
constexpr float measurableResponseScatters = 6.0f;

// The median and the standard deviation estimated from the median absolute deviation: neither
// moves for the few outliers being looked for.
struct RobustSpread {
    float median;
    float sd;
};

float medianOf(std::vector<float> values)
{
    if (values.empty())
        return 0.0f;
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

RobustSpread robustSpread(const std::vector<float> &values)
{
    const float median = medianOf(values);
    std::vector<float> deviations(values.size());
    std::transform(values.begin(), values.end(), deviations.begin(),
                   [median](float value) { return std::fabs(value - median); });
    return {median, 1.4826f * medianOf(std::move(deviations))};
}

// The mean response (flat minus dark) of the good pixels.
float meanResponse(const CalibrationMaps &maps, const std::vector<uint8_t> &defectMask)
{
    double sum = 0;
    size_t count = 0;
    for (size_t i = 0; i < maps.dark.size(); ++i) {
        if (defectMask[i] == 0) {
            sum += maps.flat[i] - maps.dark[i];
            ++count;
        }
    }
    return count > 0 ? static_cast<float>(sum / count) : 0.0f;
}

// The good neighbours of a defect: those of the 3 x 3 block around it, or, when a cluster
// leaves none, those of the 5 x 5 block.
void addNeighbours(const CalibrationMaps &maps, const std::vector<uint8_t> &defectMask, uint32_t x,
                   uint32_t y, std::vector<uint32_t> &neighbours)
{
    for (int32_t reach = 1; reach <= 2; ++reach) {
        for (int32_t dy = -reach; dy <= reach; ++dy) {
            for (int32_t dx = -reach; dx <= reach; ++dx) {
                const int64_t nx = int64_t{x} + dx;
                const int64_t ny = int64_t{y} + dy;
                if (nx < 0 || ny < 0 || nx >= maps.width || ny >= maps.height)
                    continue;
                const size_t index = static_cast<size_t>(ny) * maps.width + static_cast<size_t>(nx);
                if (defectMask[index] == 0)
                    neighbours.push_back(static_cast<uint32_t>(index));
            }
        }
        if (!neighbours.empty())
            return;
    }
}

// |raw - dark| times the gain factor, rounded (halves up) and saturated at 65535. The product
// fits 32 bits: 65535 * 65535 + 2^13 < 2^32.
uint32_t scaledDistance(uint32_t distance, uint16_t gain)
{
    constexpr int bits = CorrectionPlan::gainFractionBits;
    return std::min((distance * gain + (1u << (bits - 1))) >> bits, uint32_t{UINT16_MAX});
}

constexpr uint16_t unitGain = 1 << CorrectionPlan::gainFractionBits;

uint16_t correctPixel(uint16_t raw, uint16_t dark, uint16_t gain, uint16_t pedestal)
{
    if (raw == UINT16_MAX)
        return raw; // its true value is unknown: it stays saturated
    if (raw >= dark)
        return static_cast<uint16_t>(
            std::min(pedestal + scaledDistance(raw - dark, gain), uint32_t{UINT16_MAX}));
    const uint32_t below = scaledDistance(dark - raw, gain);
    return static_cast<uint16_t>(pedestal > below ? pedestal - below : 0);
}

void correctRowPortable(const uint16_t *raw, const uint16_t *dark, const uint16_t *gain,
                        uint16_t pedestal, uint16_t *corrected, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i)
        corrected[i] = correctPixel(raw[i], dark[i], gain ? gain[i] : unitGain, pedestal);
}

#ifdef TESSARAVOLT_HAVE_AVX2_PATH
#define TESSARAVOLT_AVX2 __attribute__((target("avx2")))

// Sixteen pixels a step, all in 16-bit lanes with saturating arithmetic: the same integer
// arithmetic as correctPixel, bit for bit. The 32-bit product distance * gain is taken as its
// high and low halves; (product + 2^13) >> 14 is then 4 * high + ((low >> 13) + 1) >> 1, where
// the doubling saturates and the last half is an average with 0. Without gains the distance
// stands as it is, and no gain is read.
template <bool withGain>
TESSARAVOLT_AVX2 void correctRowAvx2(const uint16_t *raw, const uint16_t *dark,
                                     const uint16_t *gain, uint16_t pedestal, uint16_t *corrected,
                                     uint32_t count)
{
    static_assert(CorrectionPlan::gainFractionBits == 14,
                  "a unit of the high half is 4 of the result");
    const __m256i zero = _mm256_setzero_si256();
    const __m256i saturated = _mm256_set1_epi16(-1);
    const __m256i offset = _mm256_set1_epi16(static_cast<short>(pedestal));
    uint32_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m256i pixels = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(raw + i));
        const __m256i darks = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(dark + i));
        const __m256i above = _mm256_subs_epu16(pixels, darks);
        __m256i scaled = _mm256_or_si256(above, _mm256_subs_epu16(darks, pixels));
        if constexpr (withGain) {
            const __m256i gains = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(gain + i));
            const __m256i high = _mm256_mulhi_epu16(scaled, gains);
            const __m256i low = _mm256_mullo_epi16(scaled, gains);
            const __m256i twice = _mm256_adds_epu16(high, high);
            scaled = _mm256_adds_epu16(_mm256_adds_epu16(twice, twice),
                                       _mm256_avg_epu16(_mm256_srli_epi16(low, 13), zero));
        }
        const __m256i result =
            _mm256_blendv_epi8(_mm256_adds_epu16(offset, scaled), _mm256_subs_epu16(offset, scaled),
                               _mm256_cmpeq_epi16(above, zero));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(corrected + i),
                            _mm256_or_si256(result, _mm256_cmpeq_epi16(pixels, saturated)));
    }
    correctRowPortable(raw + i, dark + i, withGain ? gain + i : nullptr, pedestal, corrected + i,
                       count - i);
}

TESSARAVOLT_AVX2 void correctRowsAvx2(const uint16_t *raw, const uint16_t *dark,
                                      const uint16_t *gain, uint16_t pedestal, uint16_t *corrected,
                                      uint32_t count)
{
    if (gain)
        correctRowAvx2<true>(raw, dark, gain, pedestal, corrected, count);
    else
        correctRowAvx2<false>(raw, dark, gain, pedestal, corrected, count);
}
#endif

void repairDefects(const CorrectionPlan &plan, uint16_t *region)
{
    for (size_t i = 0; i < plan.defects.size(); ++i) {
        const uint32_t first = plan.firstNeighbour[i];
        const uint32_t count = plan.firstNeighbour[i + 1] - first;
        if (count == 0)
            continue;
        uint32_t sum = 0;
        for (uint32_t k = first; k < first + count; ++k)
            sum += region[plan.neighbours[k]];
        region[plan.defects[i]] = static_cast<uint16_t>((sum + count / 2) / count);
    }
}

} // namespace

std::vector<uint8_t> findDefects(const CalibrationMaps &maps)
{
    std::vector<uint8_t> mask(maps.dark.size(), 0);
    const RobustSpread dark = robustSpread(maps.dark);
    for (size_t i = 0; i < mask.size(); ++i) {
        if (std::fabs(maps.dark[i] - dark.median) > darkOutlierSds * dark.sd)
            mask[i] = maps.dark[i] > dark.median ? DefectOverResponding : DefectUnderResponding;
    }
    if (maps.flat.empty())
        return mask;

    std::vector<float> responses;
    responses.reserve(mask.size());
    for (size_t i = 0; i < mask.size(); ++i) {
        if (mask[i] == 0)
            responses.push_back(maps.flat[i] - maps.dark[i]);
    }
    const float typical = medianOf(std::move(responses));
    for (size_t i = 0; i < mask.size(); ++i) {
        const float response = (maps.flat[i] - maps.dark[i]) / typical;
        if (!(response >= weakestResponse))
            mask[i] |= DefectUnderResponding;
        if (response > strongestResponse || maps.flat[i] >= saturatedFlat)
            mask[i] |= DefectOverResponding;
    }
    return mask;
}

std::string unusableFlats(const CalibrationMaps &maps)
{
    if (maps.flat.empty())
        return {};
    const size_t saturated = static_cast<size_t>(std::count_if(
        maps.flat.begin(), maps.flat.end(), [](float flat) { return flat >= saturatedFlat; }));
    // From the typical pixel up, the flats show the beam's cap, not the pixels' gains.
    if (2 * saturated > maps.flat.size())
        return fmt::format("its flats are saturated: {:.1f} % of their pixels read 65535; lower "
                           "the beam or the exposure",
                           100.0 * static_cast<double>(saturated) /
                               static_cast<double>(maps.flat.size()));

    std::vector<float> responses(maps.flat.size());
    std::transform(maps.flat.begin(), maps.flat.end(), maps.dark.begin(), responses.begin(),
                   std::minus<>());
    // Differences of neighbours in a row leave out what varies slowly across the panel (the
    // beam's profile), and keep the noise and the pixels' own gain differences.
    std::vector<float> steps;
    steps.reserve(responses.size());
    for (size_t i = 0; i + 1 < responses.size(); ++i) {
        if ((i + 1) % maps.width != 0)
            steps.push_back(responses[i + 1] - responses[i]);
    }
    const float typical = medianOf(std::move(responses));
    if (!(typical >= 1.0f))
        return "its flats are no brighter than its darks";
    const float scatter = robustSpread(steps).sd / std::sqrt(2.0f);
    if (typical < measurableResponseScatters * scatter)
        return fmt::format("its flats are too faint to measure a gain: their typical pixel is "
                           "{:.1f} counts above the dark, less than {:.1f} times the "
                           "pixel-to-pixel scatter ({:.1f} counts)",
                           typical, measurableResponseScatters, scatter);
    return {};
}

std::vector<uint32_t> nexusPixelMask(const std::vector<uint8_t> &defectMask, uint32_t width)
{
    constexpr uint32_t underResponding = 1u << 2;
    constexpr uint32_t overResponding = 1u << 3;
    constexpr uint32_t cluster = 1u << 6;
    std::vector<uint32_t> mask(defectMask.size(), 0);
    const size_t height = width > 0 ? defectMask.size() / width : 0;
    for (size_t y = 0; y < height; ++y) {
        for (size_t x = 0; x < width; ++x) {
            const uint8_t kind = defectMask[y * width + x];
            if (kind == 0)
                continue;
            bool goodNeighbour = false;
            for (size_t ny = y > 0 ? y - 1 : 0; ny <= std::min(y + 1, height - 1); ++ny) {
                for (size_t nx = x > 0 ? x - 1 : 0; nx <= std::min<size_t>(x + 1, width - 1); ++nx)
                    goodNeighbour = goodNeighbour || defectMask[ny * width + nx] == 0;
            }
            mask[y * width + x] = (kind & DefectUnderResponding ? underResponding : 0) |
                                  (kind & DefectOverResponding ? overResponding : 0) |
                                  (goodNeighbour ? 0 : cluster);
        }
    }
    return mask;
}

RowCorrection fastestRowCorrection()
{
#ifdef TESSARAVOLT_HAVE_AVX2_PATH
    if (__builtin_cpu_supports("avx2"))
        return correctRowsAvx2;
#endif
    return correctRowPortable;
}

RowCorrection portableRowCorrection()
{
    return correctRowPortable;
}

CorrectionPlan makeCorrectionPlan(const CalibrationMaps &maps,
                                  const std::vector<uint8_t> &defectMask,
                                  const CorrectionSwitches &switches)
{
    CorrectionPlan plan;
    plan.width = maps.width;
    plan.height = maps.height;
    plan.pedestal = switches.pedestal;

    if (switches.offset) {
        const bool gain = switches.gain && !maps.flat.empty();
        const float response = gain ? meanResponse(maps, defectMask) : 0.0f;
        constexpr float unit = 1 << CorrectionPlan::gainFractionBits;
        plan.dark.resize(maps.dark.size());
        plan.gain.resize(gain ? maps.dark.size() : 0);
        for (size_t i = 0; i < maps.dark.size(); ++i) {
            plan.dark[i] =
                static_cast<uint16_t>(std::clamp(std::round(maps.dark[i]), 0.0f, 65535.0f));
            if (!gain)
                continue;
            // A defect keeps gain 1: its response may be 0, and it is replaced or left as it is.
            const float factor =
                defectMask[i] == 0 ? response / (maps.flat[i] - maps.dark[i]) : 1.0f;
            plan.gain[i] =
                static_cast<uint16_t>(std::clamp(std::round(factor * unit), 0.0f, 65535.0f));
        }
    }

    plan.firstNeighbour.push_back(0);
    if (switches.defects) {
        for (uint32_t y = 0; y < maps.height; ++y) {
            for (uint32_t x = 0; x < maps.width; ++x) {
                const size_t index = size_t{y} * maps.width + x;
                if (defectMask[index] == 0)
                    continue;
                plan.defects.push_back(static_cast<uint32_t>(index));
                addNeighbours(maps, defectMask, x, y, plan.neighbours);
                plan.firstNeighbour.push_back(static_cast<uint32_t>(plan.neighbours.size()));
            }
        }
    }
    return plan;
}

void copyRegion(const Image &frame, const Region &region, const CorrectionPlan *plan,
                uint16_t *destination)
{
    static const RowCorrection correctRow = fastestRowCorrection();
    const bool fits =
        plan != nullptr && plan->width == region.width && plan->height == region.height;
    const bool arithmetic = fits && !plan->dark.empty();

    for (uint32_t row = 0; row < region.height; row++) {
        const uint16_t *source =
            frame.pixels + (size_t{region.y0} + row) * frame.size.width + region.x0;
        const size_t first = size_t{row} * region.width;
        uint16_t *target = destination + first;
        if (arithmetic)
            correctRow(source, plan->dark.data() + first,
                       plan->gain.empty() ? nullptr : plan->gain.data() + first, plan->pedestal,
                       target, region.width);
        else
            std::memcpy(target, source, size_t{region.width} * sizeof(uint16_t));
    }
    if (fits)
        repairDefects(*plan, destination);
}

} // namespace TessaraVolt
