// SPDX-License-Identifier: LGPL-2.1-or-later
#include "correction.h"

#include <algorithm>
#include <cmath>
#include <cstring>

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

uint16_t correctPixel(uint16_t raw, uint32_t darkAndGain, float pedestal)
{
    if (raw == UINT16_MAX)
        return raw; // its true value is unknown: it stays saturated
    const float signal = static_cast<float>(raw) - static_cast<float>(darkAndGain & 0xffffu);
    const float gain =
        static_cast<float>(darkAndGain >> 16) * (1.0f / (1 << CorrectionPlan::gainFractionBits));
    const float value = std::min(std::max(signal * gain + pedestal, 0.0f), 65535.0f);
    return static_cast<uint16_t>(std::lrint(value));
}

void correctRowPortable(const uint16_t *raw, const uint32_t *darkAndGain, float pedestal,
                        uint16_t *corrected, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i)
        corrected[i] = correctPixel(raw[i], darkAndGain[i], pedestal);
}

#ifdef TESSARAVOLT_HAVE_AVX2_PATH
#define TESSARAVOLT_AVX2 __attribute__((target("avx2,fma")))

// Eight pixels, as 32-bit integers in 0..65535.
TESSARAVOLT_AVX2 inline __m256i correctEight(__m128i pixels, __m256i darkAndGain, __m256 offset)
{
    const __m256 signal =
        _mm256_sub_ps(_mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(pixels)),
                      _mm256_cvtepi32_ps(_mm256_and_si256(darkAndGain, _mm256_set1_epi32(0xffff))));
    const __m256 gain =
        _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_srli_epi32(darkAndGain, 16)),
                      _mm256_set1_ps(1.0f / (1 << CorrectionPlan::gainFractionBits)));
    const __m256 value = _mm256_fmadd_ps(signal, gain, offset);
    return _mm256_cvtps_epi32(
        _mm256_min_ps(_mm256_max_ps(value, _mm256_setzero_ps()), _mm256_set1_ps(65535.0f)));
}

// Sixteen pixels a step. The copy's speed is set by memory: 2 bytes in, 4 bytes of calibration
// and 2 bytes out a pixel; the arithmetic hides behind it.
TESSARAVOLT_AVX2 void correctRowAvx2(const uint16_t *raw, const uint32_t *darkAndGain,
                                     float pedestal, uint16_t *corrected, uint32_t count)
{
    const __m256 offset = _mm256_set1_ps(pedestal);
    const __m256i saturated = _mm256_set1_epi16(-1);
    uint32_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m256i pixels = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(raw + i));
        const __m256i low = correctEight(
            _mm256_castsi256_si128(pixels),
            _mm256_loadu_si256(reinterpret_cast<const __m256i *>(darkAndGain + i)), offset);
        const __m256i high = correctEight(
            _mm256_extracti128_si256(pixels, 1),
            _mm256_loadu_si256(reinterpret_cast<const __m256i *>(darkAndGain + i + 8)), offset);
        // packus works within 128-bit lanes; the permutation puts the quarters back in order.
        const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi32(low, high), 0xd8);
        const __m256i result = _mm256_or_si256(packed, _mm256_cmpeq_epi16(pixels, saturated));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(corrected + i), result);
    }
    correctRowPortable(raw + i, darkAndGain + i, pedestal, corrected + i, count - i);
}
#endif

using RowCorrection = void (*)(const uint16_t *, const uint32_t *, float, uint16_t *, uint32_t);

RowCorrection chooseRowCorrection()
{
#ifdef TESSARAVOLT_HAVE_AVX2_PATH
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
        return correctRowAvx2;
#endif
    return correctRowPortable;
}

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
    for (size_t i = 0; i < mask.size(); ++i)
        mask[i] = std::fabs(maps.dark[i] - dark.median) > darkOutlierSds * dark.sd;
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
        if (!(response >= weakestResponse && response <= strongestResponse) ||
            maps.flat[i] >= saturatedFlat)
            mask[i] = 1;
    }
    return mask;
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
        plan.darkAndGain.resize(maps.dark.size());
        for (size_t i = 0; i < maps.dark.size(); ++i) {
            const float dark = std::clamp(std::round(maps.dark[i]), 0.0f, 65535.0f);
            // A defect keeps gain 1: its response may be 0, and it is replaced or left as it is.
            const float factor =
                gain && defectMask[i] == 0 ? response / (maps.flat[i] - maps.dark[i]) : 1.0f;
            const float scaled = std::clamp(std::round(factor * unit), 0.0f, 65535.0f);
            plan.darkAndGain[i] = static_cast<uint32_t>(dark) | static_cast<uint32_t>(scaled) << 16;
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
    static const RowCorrection correctRow = chooseRowCorrection();
    const bool fits =
        plan != nullptr && plan->width == region.width && plan->height == region.height;
    const bool arithmetic = fits && !plan->darkAndGain.empty();

    for (uint32_t row = 0; row < region.height; row++) {
        const uint16_t *source =
            frame.pixels + (size_t{region.y0} + row) * frame.size.width + region.x0;
        uint16_t *target = destination + size_t{row} * region.width;
        if (arithmetic)
            correctRow(source, plan->darkAndGain.data() + size_t{row} * region.width,
                       plan->pedestal, target, region.width);
        else
            std::memcpy(target, source, size_t{region.width} * sizeof(uint16_t));
    }
    if (fits)
        repairDefects(*plan, destination);
}

} // namespace TessaraVolt
