// SPDX-License-Identifier: LGPL-2.1-or-later
// Frame content: chosen pixels of chosen frames against values worked out by hand, and the
// frame writer against the documented pixel function.
#include "sim-fixture.h"

#include <cstdlib>

namespace TessaraVoltTest {
namespace {

TEST(Content, PatternAtChosenPixels)
{
    // (x ^ (y << 6)) + 17 n, truncated to 16 bits.
    EXPECT_EQ(xisl_sim_pixel(XISL_SIM_CONTENT_PATTERN, 1, 0, 0, 1), 17);
    EXPECT_EQ(xisl_sim_pixel(XISL_SIM_CONTENT_PATTERN, 1, 5, 3, 2), 231);         // 197 + 34
    EXPECT_EQ(xisl_sim_pixel(XISL_SIM_CONTENT_PATTERN, 1, 1023, 1023, 1), 64592); // 0xfc3f + 17
    EXPECT_EQ(xisl_sim_pixel(XISL_SIM_CONTENT_PATTERN, 1, 0, 1024, 4000), 2464);  // 68000 - 65536
    EXPECT_EQ(xisl_sim_pixel(XISL_SIM_CONTENT_PATTERN, 1, 100, 2, 0xffffffffu), 211);
    EXPECT_EQ(xisl_sim_pixel(XISL_SIM_CONTENT_PATTERN, 99, 100, 2, 0xffffffffu), 211);
}

class Frames : public SimTest {
protected:
    // Acquires frames 1..count of a width x height sensor, checking each in its callback.
    void checkFrames(XislSimContent content, uint32_t width, uint32_t height, WORD binning)
    {
        useSensor(width, height);
        ASSERT_EQ(xisl_sim_set_content(content), 0);
        xisl_sim_set_seed(1234);
        xisl_sim_set_manual(1);
        HACQDESC handle = openFirst();
        ASSERT_EQ(Acquisition_SetCameraBinningMode(handle, binning), 0u);
        Recorder recorder;
        Acquisition acquisition = prepare(recorder);
        size_t mismatches = 0;
        recorder.onFrame = [&](HACQDESC, size_t index) {
            const FrameRecord frame = recorder.frames[index];
            const unsigned short *pixels = acquisition.slot(frame.bufferFrame - 1);
            for (uint32_t y = 0; y < acquisition.height; ++y) {
                for (uint32_t x = 0; x < acquisition.width; ++x) {
                    mismatches += pixels[y * acquisition.width + x] !=
                                  xisl_sim_pixel(content, 1234, x, y, frame.acquired);
                }
            }
        };
        ASSERT_EQ(start(acquisition.handle, XISL_ACQ_CONTINUOUS), 0u);
        ASSERT_EQ(xisl_sim_step(acquisition.handle, 4, kTimeoutMs), 0);
        ASSERT_EQ(Acquisition_Abort(acquisition.handle), 0u);
        EXPECT_EQ(mismatches, 0u);
    }
};

TEST_F(Frames, PatternFramesMatchThePixelFunction)
{
    checkFrames(XISL_SIM_CONTENT_PATTERN, 1031, 67, XISL_BINNING_NONE);
}

TEST_F(Frames, PhantomFramesMatchThePixelFunctionAcrossTileEdges)
{
    checkFrames(XISL_SIM_CONTENT_PHANTOM, 1301, 40, XISL_BINNING_NONE);
    checkFrames(XISL_SIM_CONTENT_PHANTOM, 1301, 1030, XISL_BINNING_2X2);
}

TEST_F(Frames, UnknownContentIsRefused)
{
    EXPECT_NE(xisl_sim_set_content(static_cast<XislSimContent>(7)), 0);
}

// The phantom: a dark disc with inserts in open beam, repeating every 512 pixels, and noise
// that depends on seed and frame number but stays small.
TEST(Phantom, ShowsAPhantomWithBoundedSeededNoise)
{
    auto at = [](uint32_t seed, uint32_t x, uint32_t y, uint32_t n) {
        return static_cast<int>(xisl_sim_pixel(XISL_SIM_CONTENT_PHANTOM, seed, x, y, n));
    };
    const int air = at(1, 256, 8, 1);
    const int body = at(1, 256 + 100, 256 + 20, 1);
    const int core = at(1, 256, 256, 1);
    EXPECT_GT(air, 30000);
    EXPECT_LT(body, air / 2);
    EXPECT_LT(core, body / 2);
    EXPECT_NEAR(at(1, 300, 200, 5), at(1, 300 + 512, 200 + 1024, 5), 1200);

    int differentFrames = 0;
    int differentSeeds = 0;
    for (uint32_t x = 0; x < 64; ++x) {
        EXPECT_EQ(at(7, x, 9, 3), at(7, x, 9, 3));
        differentFrames += at(7, x, 9, 3) != at(7, x, 9, 4);
        differentSeeds += at(7, x, 9, 3) != at(8, x, 9, 3);
        EXPECT_LE(std::abs(at(7, x, 9, 3) - at(7, x, 9, 4)), 1200);
    }
    EXPECT_GT(differentFrames, 32);
    EXPECT_GT(differentSeeds, 32);
}

} // namespace
} // namespace TessaraVoltTest
