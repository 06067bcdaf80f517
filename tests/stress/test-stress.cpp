// SPDX-License-Identifier: LGPL-2.1-or-later
// Many start/stop and create/destroy cycles with frames flowing, writes and stops from other
// threads, and clients that stop or release the camera from inside their own callback.
#include "stress-fixture.h"

#include <cstdlib>
#include <future>
#include <thread>

namespace TessaraVoltTest {
namespace {

using namespace std::chrono_literals;

// A bounded wait that failed means a thread hangs in the camera: end the process with a message
// instead of blocking in the future's destructor until the test's time-out.
template <typename T> T awaitOrAbort(std::future<T> &pending, const char *what)
{
    if (pending.wait_for(grabBound) != std::future_status::ready) {
        std::fprintf(stderr, "hang: %s did not return within its bound\n", what);
        std::abort();
    }
    return pending.get();
}

struct CycleCase {
    const char *name;
    std::vector<Mode> turn; // the mode of each recording, in turn
    bool buffered;
    bool release; // each cycle ends by releasing the recording camera, not by a stop
    unsigned plainCount;
};

class StartStopTest : public SimulatorTest, public ::testing::WithParamInterface<CycleCase> {};

// Each cycle starts, takes one frame (grab, or the callback's next delivery) and stops; frames of
// one mode carry growing numbers. Turning modes, each set-up follows an acquisition of another
// form, which must have ended by then (a single-frame grab returns while its acquisition winds
// down). Buffered, libuca's ring thread calls the grab slot without the shared lock, and stop
// joins it.
TEST_P(StartStopTest, CyclesWithFramesFlowing)
{
    const CycleCase &c = GetParam();
    xisl_sim_set_call_log(0);
    CameraPtr camera;
    DeliveryCounter deliveries;
    std::optional<uint32_t> number, previous;
    for (unsigned cycle = 0; cycle < scaledCount(c.plainCount); cycle++, previous = number) {
        if (!camera) {
            camera = createFastCamera();
            ASSERT_TRUE(camera);
            g_object_set(camera.get(), "buffered", gboolean{c.buffered}, "num-buffers", 3u,
                         nullptr);
            uca_camera_set_grab_func(camera.get(), DeliveryCounter::add, &deliveries);
        }
        const Mode mode = c.turn[cycle % c.turn.size()];
        selectMode(camera.get(), mode);
        ASSERT_TRUE(startRecording(camera.get())) << cycle;
        ASSERT_TRUE((c.buffered && mode != Mode::Continuous) ||
                    takeFrame(camera.get(), mode, deliveries, &number))
            << cycle;
        const auto step = static_cast<uint16_t>(number && previous ? *number - *previous : 1);
        ASSERT_TRUE(c.turn.size() > 1 || (step != 0 && step < 0x8000))
            << *number << " after " << *previous;
        if (c.release) // disposal stops the stream, and no callback reaches the freed camera
            camera.reset();
        ASSERT_TRUE(c.release || stopRecording(camera.get())) << cycle;
        ASSERT_EQ(counters().callbacksAfterClose + (c.release ? counters().openHandles : 0), 0u)
            << cycle;
        if (cycle % 256 == 0)
            detectorLog().clear();
    }
    camera.reset();
    EXPECT_EQ(deliveries.corrupt.load(), 0u) << "callbacks that received no whole frame";
    expectDetectorReleased();
    EXPECT_EQ(counters().framesNotHandedBack, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    EachMode, StartStopTest,
    ::testing::Values(
        CycleCase{"Asynchronous", {Mode::Asynchronous}, false, false, 3334},
        CycleCase{"Continuous", {Mode::Continuous}, false, false, 3334},
        CycleCase{"SingleFrame", {Mode::SingleFrame}, false, false, 3334},
        CycleCase{"TurningModes",
                  {Mode::SingleFrame, Mode::Continuous, Mode::SingleFrame, Mode::Asynchronous},
                  false,
                  false,
                  3000},
        CycleCase{"Buffered", {Mode::Continuous, Mode::SingleFrame}, true, false, 300},
        CycleCase{
            "ReleasedWhileStreaming", {Mode::Asynchronous, Mode::Continuous}, false, true, 1000}),
    [](const ::testing::TestParamInfo<CycleCase> &row) { return row.param.name; });

using LifetimeTest = SimulatorTest;

// Another thread moves the region of interest off the frame, halves the frame by binning, or
// doubles the region's width in buffered mode, while this one starts: whichever comes first, the
// recording copies a region inside its frame, and the properties read the region it copies.
TEST_F(LifetimeTest, WritesDuringAStartNeverMoveTheCopiesOffTheFrame)
{
    CameraPtr camera = createFastCamera();
    ASSERT_TRUE(camera);
    std::vector<uint16_t> pixels(size_t{sensorSide} * sensorSide);
    for (unsigned cycle = 0; cycle < scaledCount(300); cycle++) {
        const unsigned kind = cycle % 3;
        g_object_set(camera.get(), "sensor-horizontal-binning", 1u, "roi-x0", 0u, "roi-width",
                     kind == 2 ? sensorSide / 2 : sensorSide, "roi-height", sensorSide, "buffered",
                     gboolean{kind == 2}, nullptr);
        std::atomic<bool> go{false};
        auto writer = std::async(std::launch::async, [&] {
            while (!go) // released together with the start, so that the two meet often
                std::this_thread::yield();
            const char *property[] = {"roi-x0", "sensor-horizontal-binning", "roi-width"};
            const guint value[] = {sensorSide - 1, 2, sensorSide};
            g_object_set(camera.get(), property[kind], value[kind], nullptr);
        });
        GError *error = nullptr;
        go = true;
        uca_camera_start_recording(camera.get(), &error);
        awaitOrAbort(writer, "the writer");
        const ErrorPtr refused(error); // the write came first, and the region did not fit
        if (refused)
            continue;
        Roi region{};
        g_object_get(camera.get(), "roi-x0", &region.x0, "roi-y0", &region.y0, "roi-width",
                     &region.width, "roi-height", &region.height, nullptr);
        ASSERT_TRUE(uca_camera_grab(camera.get(), pixels.data(), nullptr));
        EXPECT_TRUE(frameNumberOf(pixels.data(), region))
            << cycle << ": not the region " << region.width << " at " << region.x0;
        ASSERT_TRUE(stopRecording(camera.get()));
    }
    camera.reset();
    expectDetectorReleased();
}

class StopRaceTest : public SimulatorTest, public ::testing::WithParamInterface<Mode> {};

// A stop issued while a grab is on its way, through libuca (which lets the stop wait for the
// grab) and directly at the slot (where the stop must release the grab), with frames flowing and
// then with none coming at all. A grab either delivers a whole frame or fails with an error.
TEST_P(StopRaceTest, StopMeetsAGrab)
{
    const unsigned cycles = scaledCount(300);
    xisl_sim_set_call_log(0);
    CameraPtr camera = createFastCamera();
    ASSERT_TRUE(camera);
    selectMode(camera.get(), GetParam());
    std::vector<uint16_t> pixels(size_t{sensorSide} * sensorSide);
    for (unsigned cycle = 0; cycle < cycles + 2; cycle++) {
        const bool starved = cycle >= cycles; // the last two: no frame comes
        xisl_sim_set_manual(starved);
        ASSERT_TRUE(startRecording(camera.get()));
        auto pending = std::async(std::launch::async, [&, atTheSlot = cycle % 2 == 1] {
            GError *error = nullptr; // the slot itself, without libuca's lock, or through libuca
            const gboolean grabbed =
                atTheSlot
                    ? UCA_CAMERA_GET_CLASS(camera.get())->grab(camera.get(), pixels.data(), &error)
                    : uca_camera_grab(camera.get(), pixels.data(), &error);
            return std::make_pair(grabbed, ErrorPtr(error));
        });
        if (starved)
            pending.wait_for(50ms); // give the grab time to begin waiting; sound either way
        else if (cycle % 3 == 0)
            std::this_thread::yield(); // vary who comes first
        ASSERT_TRUE(stopRecording(camera.get())) << cycle;
        const auto [grabbed, error] = awaitOrAbort(pending, "a grab racing a stop");
        EXPECT_TRUE(grabbed ? !starved && frameNumberOf(pixels.data(), wholeFrame)
                            : error && error->domain == UCA_CAMERA_ERROR)
            << cycle
            << (grabbed ? ": a grab succeeded without a frame" : ": failed without an error");
    }
    camera.reset();
    expectDetectorReleased();
}

INSTANTIATE_TEST_SUITE_P(GrabModes, StopRaceTest,
                         ::testing::Values(Mode::Continuous, Mode::SingleFrame),
                         [](const ::testing::TestParamInfo<Mode> &mode) {
                             return modeNames[int(mode.param)];
                         });

} // namespace
} // namespace TessaraVoltTest
