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

// (x ^ (y << 6)) + 17 n, truncated to 16 bits, whatever the seed and the beam.
TEST(Content, PatternAtChosenPixels)
{
    const XislSimScene pattern = scene(XISL_SIM_CONTENT_PATTERN, 1024, 1024);
    const XislSimScene other = scene(XISL_SIM_CONTENT_PATTERN, 1024, 1024, 1, 0, 99);
    const struct {
        uint32_t x, y, n;
        uint16_t value;
    } rows[] = {{0, 0, 1, 17},
                {5, 3, 2, 231},
                {1023, 1023, 1, 64592},
                {0, 1024, 4000, 2464},
                {100, 2, 0xffffffffu, 211}};
    for (const auto &row : rows) {
        EXPECT_EQ(xisl_sim_pixel(&pattern, row.x, row.y, row.n), row.value)
            << row.x << "," << row.y;
        EXPECT_EQ(xisl_sim_pixel(&other, row.x, row.y, row.n), row.value) << row.x << "," << row.y;
    }
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

// Two frames of a panel and the truth of every pixel.
struct Panel {
    explicit Panel(const XislSimScene &drawnFrom) : scene(drawnFrom)
    {
        width = scene.binning == XISL_BINNING_2X2 ? scene.width / 2 : scene.width;
        height = scene.binning == XISL_BINNING_2X2 ? scene.height / 2 : scene.height;
        const size_t pixels = size_t{width} * height;
        first.resize(pixels);
        second.resize(pixels);
        truth.resize(pixels);
        EXPECT_EQ(xisl_sim_render(&scene, 1, first.data()), 0);
        EXPECT_EQ(xisl_sim_render(&scene, 2, second.data()), 0);
        for (uint32_t y = 0; y < height; ++y)
            for (uint32_t x = 0; x < width; ++x)
                EXPECT_EQ(xisl_sim_pixel_truth(&scene, x, y, &truth[y * width + x]), 0);
    }

    XislSimScene scene;
    uint32_t width = 0, height = 0;
    std::vector<uint16_t> first, second;
    std::vector<XislSimPixelTruth> truth;
};

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
    double noise; // sd of a good pixel, within 5 per cent
};

class Physics : public ::testing::TestWithParam<PhysicsCase> {};

// A 512 x 512 panel holds about 64 hot and 64 dead pixels and its defective line.
TEST_P(Physics, FramesCarryThePlantedTruth)
{
    const PhysicsCase &c = GetParam();
    const Panel panel(scene(c.content, 512, 512, c.binning, c.beam, 5));
    std::vector<double> level, bias, difference, variance, goodVariance;
    size_t hot = 0, dead = 0, lineColumns = 0, saturated = 0;
    for (size_t i = 0; i < panel.truth.size(); ++i) {
        const XislSimPixelTruth &truth = panel.truth[i];
        const double a = panel.first[i], b = panel.second[i];
        if (truth.mean == 65535) {
            ++saturated;
            EXPECT_EQ(a, 65535) << i;
            EXPECT_EQ(b, 65535) << i;
        } else {
            bias.push_back((a + b) / 2 - truth.mean);
            difference.push_back((a - b) / std::sqrt(2.0));
            variance.push_back(truth.sigma * truth.sigma);
        }
        if (truth.defects == 0) {
            level.push_back(a);
            goodVariance.push_back(truth.sigma * truth.sigma);
            continue;
        }
        // Hot pixels stand out of a dark, binned by a quarter of at least 3000 counts; dead
        // pixels and the line read their offset, lit or not.
        if (truth.defects & XISL_SIM_DEFECT_HOT) {
            ++hot;
            EXPECT_TRUE(c.beam != 0 || a > XISL_SIM_DARK_LEVEL + 500) << i;
        } else {
            dead += (truth.defects & XISL_SIM_DEFECT_DEAD) != 0;
            EXPECT_TRUE(c.binning != XISL_BINNING_NONE ||
                        a < truth.offset + 6 * XISL_SIM_READ_NOISE)
                << i;
        }
        lineColumns += (truth.defects & XISL_SIM_DEFECT_LINE) && i < panel.width;
    }
    EXPECT_NEAR(mean(level), c.level, c.level * 0.05);
    if (c.noise > 0) {
        // Five standard errors: a bias of half a count, from rounding, shows in darks.
        EXPECT_NEAR(mean(bias), 0, 5 * sd(difference) / std::sqrt(2.0 * bias.size()));
        EXPECT_NEAR(sd(difference), std::sqrt(mean(variance)), c.noise * 0.05);
        EXPECT_NEAR(std::sqrt(mean(goodVariance)), c.noise, c.noise * 0.05);
    } else {
        EXPECT_GT(saturated, panel.truth.size() * 9 / 10);
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

// The offset has column structure (read-out groups and single columns) and a per-pixel spread;
// the gain a per-pixel spread and a slow variation across the panel. Over the good pixels only:
// a hot pixel would outweigh a column's structure, a dead one the gain's.
TEST(PanelTruth, OffsetAndGainHaveTheirStructure)
{
    const Panel panel(scene(XISL_SIM_CONTENT_FLAT, 512, 512, XISL_BINNING_NONE, 0, 5));
    const uint32_t side = panel.width;
    std::vector<double> columns(side), counts(side), bands(8), spread, columnMeans, gainSteps;
    auto good = [&](size_t i) { return panel.truth[i].defects == 0; };
    for (size_t i = 0; i < panel.truth.size(); ++i) {
        columns[i % side] += good(i) ? panel.truth[i].offset : 0;
        counts[i % side] += good(i);
        bands[i % side / 64] += good(i) ? panel.truth[i].gain : 0;
        if (i % side > 0 && good(i) && good(i - 1))
            gainSteps.push_back((panel.truth[i].gain - panel.truth[i - 1].gain) / std::sqrt(2.0));
    }
    for (uint32_t x = 0; x < side; ++x) {
        columns[x] /= std::max(counts[x], 1.0);
        if (counts[x] > 0) // not the defective line
            columnMeans.push_back(columns[x]);
    }
    for (size_t i = 0; i < panel.truth.size(); ++i)
        if (good(i))
            spread.push_back(panel.truth[i].offset - columns[i % side]);
    for (uint32_t band = 0; band < 8; ++band)
        bands[band] /= std::accumulate(&counts[band * 64], &counts[band * 64] + 64, 0.0);
    EXPECT_NEAR(mean(columnMeans), XISL_SIM_DARK_LEVEL, 60);
    EXPECT_GT(sd(columnMeans), 20);
    EXPECT_NEAR(sd(spread), std::hypot(10, 5), 3); // with the rows'
    EXPECT_NEAR(sd(gainSteps), 0.03, 0.005);
    EXPECT_GT(*std::max_element(bands.begin(), bands.end()) -
                  *std::min_element(bands.begin(), bands.end()),
              0.03);
}

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

// The phantom in open beam, repeating every 512 panel pixels, drawn the same for the same seed
// and frame and differently otherwise.
TEST(PanelTruth, PhantomIsDrawnDeterministicallyPerSeed)
{
    const XislSimScene phantom =
        scene(XISL_SIM_CONTENT_PHANTOM, 1024, 1024, XISL_BINNING_NONE, XISL_SIM_BEAM_DEFAULT, 7);
    auto level = [&](uint32_t x, uint32_t y) {
        XislSimPixelTruth truth{};
        EXPECT_EQ(xisl_sim_pixel_truth(&phantom, x, y, &truth), 0);
        return truth.mean;
    };
    const float air = level(256, 8), body = level(256 + 100, 256 + 20), core = level(256, 256);
    EXPECT_GT(air, 30000);
    EXPECT_LT(body, air / 2);
    EXPECT_LT(core, body / 2);
    EXPECT_NEAR(level(300, 200), level(300 + 512, 200 + 512), 0.2 * level(300, 200));

    XislSimScene otherSeed = phantom;
    otherSeed.seed = 8;
    int differentFrames = 0, differentSeeds = 0;
    for (uint32_t x = 0; x < 64; ++x) {
        const uint16_t value = xisl_sim_pixel(&phantom, x, 9, 3);
        EXPECT_EQ(value, xisl_sim_pixel(&phantom, x, 9, 3));
        differentFrames += value != xisl_sim_pixel(&phantom, x, 9, 4);
        differentSeeds += value != xisl_sim_pixel(&otherSeed, x, 9, 3);
    }
    EXPECT_GT(differentFrames, 56);
    EXPECT_GT(differentSeeds, 56);
}

} // namespace
} // namespace TessaraVoltTest
