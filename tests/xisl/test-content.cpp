// SPDX-License-Identifier: LGPL-2.1-or-later
// Frame content: the pattern at chosen pixels, the frame writer against the documented pixel
// function, and the panel's physics (offset, gain, defects, noise, saturation, darks) measured
// over whole frames against the planted truth.
#include "sim-fixture.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <vector>

namespace TessaraVoltTest {
namespace {

XislSimScene scene(XislSimContent content, uint32_t width, uint32_t height,
                   uint32_t binning = XISL_BINNING_NONE, uint32_t beam = XISL_SIM_BEAM_DEFAULT,
                   uint32_t seed = 1)
{
    return XislSimScene{content, seed, width, height, binning, beam};
}

struct FramesCase {
    XislSimContent content;
    uint32_t width, height;
    WORD binning;
    uint32_t beam;
};

class Frames : public SimTest, public ::testing::WithParamInterface<FramesCase> {};

// Frames 1..4 as the worker wrote them, every pixel against the pixel function of the scene the
// handle reports.
TEST_P(Frames, MatchThePixelFunction)
{
    const FramesCase &c = GetParam();
    useSensor(c.width, c.height);
    ASSERT_EQ(xisl_sim_set_content(c.content), 0);
    xisl_sim_set_seed(1234);
    xisl_sim_set_beam(c.beam);
    xisl_sim_set_manual(1);
    Recorder recorder;
    Acquisition acquisition = prepare(recorder, 3, c.binning);
    XislSimScene drawn{};
    ASSERT_EQ(xisl_sim_get_scene(acquisition.handle, &drawn), 0);
    const XislSimScene expected = scene(c.content, c.width, c.height, c.binning, c.beam, 1234);
    EXPECT_EQ(std::memcmp(&drawn, &expected, sizeof drawn), 0);
    size_t mismatches = 0;
    recorder.onFrame = [&](HACQDESC, size_t index) {
        const FrameRecord frame = recorder.frames[index];
        const unsigned short *pixels = acquisition.slot(frame.bufferFrame - 1);
        for (uint32_t y = 0; y < acquisition.height; ++y)
            for (uint32_t x = 0; x < acquisition.width; ++x)
                mismatches += pixels[y * acquisition.width + x] !=
                              xisl_sim_pixel(&expected, x, y, frame.acquired);
    };
    ASSERT_EQ(start(acquisition.handle, XISL_ACQ_CONTINUOUS), 0u);
    ASSERT_EQ(xisl_sim_step(acquisition.handle, 4, kTimeoutMs), 0);
    ASSERT_EQ(Acquisition_Abort(acquisition.handle), 0u);
    EXPECT_EQ(mismatches, 0u);
}

// Rows wider than the Gaussian table's 16384 values, phantoms cut at tile edges, binning, a
// saturating beam and darks.
INSTANTIATE_TEST_SUITE_P(
    Content, Frames,
    ::testing::Values(
        FramesCase{XISL_SIM_CONTENT_PATTERN, 1031, 67, XISL_BINNING_NONE, XISL_SIM_BEAM_DEFAULT},
        FramesCase{XISL_SIM_CONTENT_PHANTOM, 17000, 6, XISL_BINNING_NONE, XISL_SIM_BEAM_DEFAULT},
        FramesCase{XISL_SIM_CONTENT_PHANTOM, 1301, 70, XISL_BINNING_2X2, XISL_SIM_BEAM_DEFAULT},
        FramesCase{XISL_SIM_CONTENT_FLAT, 1030, 40, XISL_BINNING_2X2, 70000},
        FramesCase{XISL_SIM_CONTENT_FLAT, 700, 30, XISL_BINNING_NONE, 0}));

TEST(Content, MalformedInputIsRefused)
{
    EXPECT_NE(xisl_sim_set_content(static_cast<XislSimContent>(7)), 0);
    XislSimPixelTruth truth{};
    const XislSimScene binned = scene(XISL_SIM_CONTENT_FLAT, 64, 64, XISL_BINNING_2X2);
    EXPECT_NE(xisl_sim_pixel_truth(&binned, 32, 0, &truth), 0); // outside the binned frame
    const XislSimScene pattern = scene(XISL_SIM_CONTENT_PATTERN, 64, 64);
    EXPECT_NE(xisl_sim_pixel_truth(&pattern, 0, 0, &truth), 0); // no panel
}

double mean(const std::vector<double> &values)
{
    return std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(values.size());
}

double sd(const std::vector<double> &values)
{
    const double m = mean(values);
    return std::sqrt(std::inner_product(values.begin(), values.end(), values.begin(), 0.0) /
                         static_cast<double>(values.size()) -
                     m * m);
}

struct PhysicsCase {
    const char *name;
    XislSimContent content;
    uint32_t binning;
    uint32_t beam;
    double level; // of the frames' good pixels, within 5 per cent
    double noise; // sd of a good pixel, within 5 per cent; 0: saturated
};

class Physics : public ::testing::TestWithParam<PhysicsCase> {};

// Two frames of a 512 x 512 panel against the truth of every pixel: it holds about 64 hot and 64
// dead pixels and its defective line. Hot pixels stand out of a dark, binned by a quarter of at
// least 3000 counts; dead pixels and the line read their offset, lit or not.
TEST_P(Physics, FramesCarryThePlantedTruth)
{
    const PhysicsCase &c = GetParam();
    const XislSimScene panel = scene(c.content, 512, 512, c.binning, c.beam, 5);
    const uint32_t side = c.binning == XISL_BINNING_2X2 ? 256 : 512;
    std::vector<uint16_t> first(side * side), second(side * side);
    ASSERT_EQ(xisl_sim_render(&panel, 1, first.data()), 0);
    ASSERT_EQ(xisl_sim_render(&panel, 2, second.data()), 0);
    std::vector<double> level, bias, difference, variance, goodVariance;
    size_t hot = 0, dead = 0, lineColumns = 0, saturated = 0;
    for (uint32_t i = 0; i < side * side; ++i) {
        XislSimPixelTruth truth{};
        ASSERT_EQ(xisl_sim_pixel_truth(&panel, i % side, i / side, &truth), 0);
        const double a = first[i], b = second[i];
        if (truth.mean == 65535) {
            ++saturated;
            EXPECT_TRUE(a == 65535 && b == 65535) << i;
        } else {
            bias.push_back((a + b) / 2 - truth.mean);
            difference.push_back((a - b) / std::sqrt(2.0));
            variance.push_back(truth.sigma * truth.sigma);
        }
        if (truth.defects == 0) {
            level.push_back(a);
            goodVariance.push_back(truth.sigma * truth.sigma);
        } else if (truth.defects & XISL_SIM_DEFECT_HOT) {
            ++hot;
            EXPECT_TRUE(c.beam != 0 || a > XISL_SIM_DARK_LEVEL + 500) << i;
        } else {
            dead += (truth.defects & XISL_SIM_DEFECT_DEAD) != 0;
            EXPECT_TRUE(c.binning != XISL_BINNING_NONE ||
                        a < truth.offset + 6 * XISL_SIM_READ_NOISE)
                << i;
        }
        lineColumns += (truth.defects & XISL_SIM_DEFECT_LINE) && i < side;
    }
    EXPECT_NEAR(mean(level), c.level, c.level * 0.05);
    if (c.noise > 0) {
        // Five standard errors: a bias of half a count, from rounding, shows in darks.
        EXPECT_NEAR(mean(bias), 0, 5 * sd(difference) / std::sqrt(2.0 * bias.size()));
        EXPECT_NEAR(sd(difference), std::sqrt(mean(variance)), c.noise * 0.05);
        EXPECT_NEAR(std::sqrt(mean(goodVariance)), c.noise, c.noise * 0.05);
    } else {
        EXPECT_GT(saturated, side * side * 9 / 10);
    }
    EXPECT_GT(hot, 20u);
    EXPECT_GT(dead, 20u);
    EXPECT_EQ(lineColumns, 1u);
}

// Level and noise of a good pixel: darks read the dark level with read noise alone, halved by
// 2x2 binning; a flat adds gain * beam and its shot noise; far too much beam saturates all but
// the dead pixels.
INSTANTIATE_TEST_SUITE_P(
    Content, Physics,
    ::testing::Values(
        PhysicsCase{"dark", XISL_SIM_CONTENT_FLAT, XISL_BINNING_NONE, 0, 1000, 6},
        PhysicsCase{"binnedDark", XISL_SIM_CONTENT_PHANTOM, XISL_BINNING_2X2, 0, 1000, 3},
        PhysicsCase{"flat", XISL_SIM_CONTENT_FLAT, XISL_BINNING_NONE, 40000, 41000, 141.5},
        PhysicsCase{"binnedFlat", XISL_SIM_CONTENT_FLAT, XISL_BINNING_2X2, 40000, 41000, 70.8},
        PhysicsCase{"saturated", XISL_SIM_CONTENT_FLAT, XISL_BINNING_NONE, 200000, 65535, 0}),
    [](const ::testing::TestParamInfo<PhysicsCase> &row) { return row.param.name; });

// A 2x2-binned pixel is the average of its four panel pixels, with every defect of any of them.
TEST(PanelTruth, BinningAveragesFourPanelPixels)
{
    const XislSimScene full = scene(XISL_SIM_CONTENT_PHANTOM, 256, 256);
    const XislSimScene binned = scene(XISL_SIM_CONTENT_PHANTOM, 256, 256, XISL_BINNING_2X2);
    size_t defects = 0;
    for (uint32_t y = 0; y < 128; ++y) {
        for (uint32_t x = 0; x < 128; ++x) {
            XislSimPixelTruth four[4], one{};
            ASSERT_EQ(xisl_sim_pixel_truth(&binned, x, y, &one), 0);
            double offset = 0, gain = 0;
            uint32_t flags = 0;
            for (uint32_t k = 0; k < 4; ++k) {
                ASSERT_EQ(xisl_sim_pixel_truth(&full, 2 * x + k % 2, 2 * y + k / 2, &four[k]), 0);
                offset += four[k].offset / 4;
                gain += four[k].gain / 4;
                flags |= four[k].defects;
            }
            EXPECT_NEAR(one.offset, offset, 0.01);
            EXPECT_NEAR(one.gain, gain, 1e-5);
            EXPECT_EQ(one.defects, flags);
            defects += flags != 0;
        }
    }
    EXPECT_GT(defects, 128u); // the line's 128 at least
}

} // namespace
} // namespace TessaraVoltTest
