// SPDX-License-Identifier: LGPL-2.1-or-later
// Frame content: the frame writer against the documented pixel function, and the binned panel.
#include "sim-fixture.h"

#include <cstring>

namespace TessaraVoltTest {
namespace {

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
    const XislSimScene expected{c.content, 1234, c.width, c.height, c.binning, c.beam};
    EXPECT_EQ(std::memcmp(&drawn, &expected, sizeof drawn), 0);
    size_t mismatches = 0;
    recorder.onFrame = [&](HACQDESC, size_t index) {
        const FrameRecord frame = recorder.frames[index];
        const unsigned short *pixels = acquisition.slot(frame.bufferFrame - 1);
        for (uint32_t i = 0; i < acquisition.width * acquisition.height; ++i)
            mismatches += pixels[i] != xisl_sim_pixel(&expected, i % acquisition.width,
                                                      i / acquisition.width, frame.acquired);
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

// A 2x2-binned pixel is the average of its four panel pixels, with every defect of any of them;
// an unknown content, a pixel outside the binned frame and the pattern's missing panel are refused.
TEST(PanelTruth, BinningAveragesFourPanelPixels)
{
    EXPECT_NE(xisl_sim_set_content(static_cast<XislSimContent>(7)), 0);
    const XislSimScene full{XISL_SIM_CONTENT_PHANTOM, 1, 256, 256, XISL_BINNING_NONE,
                            XISL_SIM_BEAM_DEFAULT};
    const XislSimScene binned{XISL_SIM_CONTENT_PHANTOM, 1, 256, 256, XISL_BINNING_2X2,
                              XISL_SIM_BEAM_DEFAULT};
    const XislSimScene pattern{XISL_SIM_CONTENT_PATTERN, 1, 64, 64, XISL_BINNING_NONE,
                               XISL_SIM_BEAM_DEFAULT};
    XislSimPixelTruth four[4], one{};
    EXPECT_NE(xisl_sim_pixel_truth(&binned, 128, 0, &one), 0);
    EXPECT_NE(xisl_sim_pixel_truth(&pattern, 0, 0, &one), 0);
    size_t defects = 0;
    for (uint32_t i = 0; i < 128 * 128; ++i) {
        const uint32_t x = i % 128, y = i / 128;
        ASSERT_EQ(xisl_sim_pixel_truth(&binned, x, y, &one), 0);
        for (uint32_t k = 0; k < 4; ++k)
            ASSERT_EQ(xisl_sim_pixel_truth(&full, 2 * x + k % 2, 2 * y + k / 2, &four[k]), 0);
        EXPECT_NEAR(one.offset,
                    (four[0].offset + four[1].offset + four[2].offset + four[3].offset) / 4, 0.01);
        EXPECT_NEAR(one.gain, (four[0].gain + four[1].gain + four[2].gain + four[3].gain) / 4,
                    1e-5);
        EXPECT_EQ(one.defects,
                  four[0].defects | four[1].defects | four[2].defects | four[3].defects);
        defects += one.defects != 0;
    }
    EXPECT_GT(defects, 128u); // the line's 128 at least
}

} // namespace
} // namespace TessaraVoltTest
