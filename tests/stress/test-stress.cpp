// SPDX-License-Identifier: LGPL-2.1-or-later
// Many start/stop and create/destroy cycles with frames flowing, property reads and stops from
// other threads, and clients that stop or release the camera from inside their own callback.
#include "stress-fixture.h"

#include <atomic>
#include <cstdlib>
#include <future>
#include <thread>

namespace TessaraVoltTest {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

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
    const unsigned cycles = scaledCount(c.name, c.plainCount);
    xisl_sim_set_call_log(0);
    CameraPtr camera = createFastCamera();
    ASSERT_TRUE(camera);
    g_object_set(camera.get(), "buffered", gboolean{c.buffered}, "num-buffers", 3u, nullptr);
    DeliveryCounter deliveries;
    uca_camera_set_grab_func(camera.get(), DeliveryCounter::add, &deliveries);
    std::optional<uint32_t> number, previous;
    for (unsigned cycle = 0; cycle < cycles; cycle++) {
        const Mode mode = c.turn[cycle % c.turn.size()];
        selectMode(camera.get(), mode);
        ASSERT_TRUE(startRecording(camera.get())) << "cycle " << cycle;
        const bool grabs = !c.buffered || mode == Mode::Continuous;
        ASSERT_TRUE(!grabs || takeFrame(camera.get(), mode, deliveries, &number))
            << "cycle " << cycle;
        if (c.turn.size() == 1 && previous && number) {
            const auto step = static_cast<uint16_t>(*number - *previous);
            ASSERT_TRUE(step != 0 && step < 0x8000)
                << "frame " << *number << " after " << *previous;
        }
        previous = number;
        ASSERT_TRUE(stopRecording(camera.get())) << "cycle " << cycle;
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
    ::testing::Values(CycleCase{"Asynchronous", {Mode::Asynchronous}, false, 3334},
                      CycleCase{"Continuous", {Mode::Continuous}, false, 3334},
                      CycleCase{"SingleFrame", {Mode::SingleFrame}, false, 3334},
                      CycleCase{"TurningModes",
                                {Mode::SingleFrame, Mode::Continuous, Mode::SingleFrame,
                                 Mode::Asynchronous},
                                false,
                                3000},
                      CycleCase{"Buffered", {Mode::Continuous, Mode::SingleFrame}, true, 300}),
    [](const ::testing::TestParamInfo<CycleCase> &row) { return row.param.name; });

using LifetimeTest = SimulatorTest;

// The camera is released while the stream runs, without a stop: disposal stops it, and no
// callback reaches the freed camera.
TEST_F(LifetimeTest, CreateAndDestroyWhileStreaming)
{
    const unsigned cycles = scaledCount("create/destroy cycles", 1000);
    xisl_sim_set_call_log(0);
    DeliveryCounter deliveries;
    for (unsigned cycle = 0; cycle < cycles; cycle++) {
        CameraPtr camera = createFastCamera();
        ASSERT_TRUE(camera);
        selectMode(camera.get(), cycle % 2 == 0 ? Mode::Asynchronous : Mode::Continuous);
        uca_camera_set_grab_func(camera.get(), DeliveryCounter::add, &deliveries);
        ASSERT_TRUE(startRecording(camera.get()));
        ASSERT_EQ(xisl_sim_wait_frames(counters().endOfFrameCallbacks + 2, 5000), 0)
            << "cycle " << cycle << ": the stream does not run";
        camera.reset();
        ASSERT_EQ(counters().openHandles, 0u) << "cycle " << cycle;
        ASSERT_EQ(counters().callbacksAfterClose, 0u) << "cycle " << cycle;
        if (cycle % 256 == 0)
            detectorLog().clear();
    }
    EXPECT_GT(deliveries.value(), 0u);
    EXPECT_EQ(deliveries.corrupt.load(), 0u);
    expectDetectorReleased();
}

// A second thread reads properties while the first starts, grabs, changes the exposure (the one
// property writable while recording) and stops.
TEST_F(LifetimeTest, PropertyReadsFromSecondThreadWhileRecording)
{
    const unsigned cycles = scaledCount("recordings while reading", 200);
    CameraPtr camera = createFastCamera();
    ASSERT_TRUE(camera);
    std::atomic<bool> done{false};
    auto reader = std::async(std::launch::async, [&] {
        unsigned reads = 0;
        for (; !done.load(); reads++) {
            guint width = 0, roiWidth = 0, binning = 0;
            gdouble exposure = 0, fps = 0;
            gboolean recording = FALSE;
            gchar *name = nullptr;
            g_object_get(camera.get(), "sensor-width", &width, "roi-width", &roiWidth,
                         "sensor-horizontal-binning", &binning, "exposure-time", &exposure,
                         "frames-per-second", &fps, "is-recording", &recording, "name", &name,
                         nullptr);
            EXPECT_EQ(std::vector<guint>({width, roiWidth, binning}),
                      std::vector<guint>({sensorSide, sensorSide, 1}));
            EXPECT_TRUE(exposure == 0.0001 || exposure == 0.0002) << exposure;
            EXPECT_TRUE(name != nullptr);
            g_free(name);
        }
        return reads;
    });
    DeliveryCounter unused;
    for (unsigned cycle = 0; cycle < cycles; cycle++) {
        ASSERT_TRUE(startRecording(camera.get()));
        g_object_set(camera.get(), "exposure-time", cycle % 2 ? 0.0001 : 0.0002, nullptr);
        ASSERT_TRUE(takeFrame(camera.get(), Mode::SingleFrame, unused));
        ASSERT_TRUE(stopRecording(camera.get()));
    }
    done = true;
    EXPECT_GT(awaitOrAbort(reader, "the property reader"), 0u);
    camera.reset();
    expectDetectorReleased();
}

// Another thread moves the region of interest off the frame, halves the frame by binning, or
// doubles the region's width in buffered mode, while this one starts: whichever comes first, the
// recording copies a region inside its frame, and the properties read the region it copies.
TEST_F(LifetimeTest, WritesDuringAStartNeverMoveTheCopiesOffTheFrame)
{
    const unsigned cycles = scaledCount("starts beside a write", 300);
    CameraPtr camera = createFastCamera();
    ASSERT_TRUE(camera);
    std::vector<uint16_t> pixels(size_t{sensorSide} * sensorSide);
    for (unsigned cycle = 0; cycle < cycles; cycle++) {
        const unsigned kind = cycle % 3;
        g_object_set(camera.get(), "sensor-horizontal-binning", 1u, "roi-x0", 0u, "roi-width",
                     kind == 2 ? sensorSide / 2 : sensorSide, "roi-height", sensorSide, "buffered",
                     gboolean{kind == 2}, nullptr);
        std::atomic<bool> go{false};
        auto writer = std::async(std::launch::async, [&] {
            while (!go) // released together with the start, so that the two meet often
                std::this_thread::yield();
            if (kind == 0)
                g_object_set(camera.get(), "roi-x0", sensorSide - 1, nullptr);
            else if (kind == 1)
                g_object_set(camera.get(), "sensor-horizontal-binning", 2u, nullptr);
            else
                g_object_set(camera.get(), "roi-width", sensorSide, nullptr);
        });
        GError *error = nullptr;
        go = true;
        uca_camera_start_recording(camera.get(), &error);
        awaitOrAbort(writer, "the writer");
        if (error) {
            g_error_free(error); // the write came first, and the region did not fit
            continue;
        }
        Roi region{};
        g_object_get(camera.get(), "roi-x0", &region.x0, "roi-y0", &region.y0, "roi-width",
                     &region.width, "roi-height", &region.height, nullptr);
        ASSERT_TRUE(uca_camera_grab(camera.get(), pixels.data(), &error)) << error->message;
        EXPECT_TRUE(frameNumberOf(pixels.data(), region))
            << "cycle " << cycle << ": not the region " << region.width << "x" << region.height
            << " at (" << region.x0 << ", " << region.y0 << ")";
        ASSERT_TRUE(stopRecording(camera.get()));
    }
    camera.reset();
    expectDetectorReleased();
}

// The grab slot itself, without libuca's lock: the way a stop can really meet a waiting grab.
gboolean grabSlot(UcaCamera *camera, gpointer data, GError **error)
{
    return UCA_CAMERA_GET_CLASS(camera)->grab(camera, data, error);
}

// A grab on another thread, which either delivers a whole frame or fails with an error, never
// succeeds without a frame; true when it got one.
bool soundGrab(std::future<std::pair<gboolean, ErrorPtr>> &pending,
               const std::vector<uint16_t> &pixels)
{
    const auto [grabbed, error] = awaitOrAbort(pending, "a grab racing a stop");
    if (grabbed)
        EXPECT_TRUE(frameNumberOf(pixels.data(), wholeFrame)) << "a grab succeeded without a frame";
    else
        EXPECT_TRUE(error && error->domain == UCA_CAMERA_ERROR) << "a failed grab without an error";
    return grabbed;
}

std::future<std::pair<gboolean, ErrorPtr>> grabLater(UcaCamera *camera, bool atTheSlot,
                                                     std::vector<uint16_t> &pixels)
{
    return std::async(std::launch::async, [=, &pixels] {
        GError *error = nullptr;
        const gboolean grabbed =
            (atTheSlot ? grabSlot : uca_camera_grab)(camera, pixels.data(), &error);
        return std::make_pair(grabbed, ErrorPtr(error));
    });
}

class StopRaceTest : public SimulatorTest, public ::testing::WithParamInterface<Mode> {};

// A stop issued while a grab is on its way, through libuca (which lets the stop wait for the
// grab) and directly at the slot (where the stop must release the grab), with frames flowing and
// then with none coming at all.
TEST_P(StopRaceTest, StopMeetsAGrab)
{
    const unsigned cycles = scaledCount("stop/grab races", 300);
    xisl_sim_set_call_log(0);
    CameraPtr camera = createFastCamera();
    ASSERT_TRUE(camera);
    selectMode(camera.get(), GetParam());
    std::vector<uint16_t> pixels(size_t{sensorSide} * sensorSide);
    unsigned succeeded = 0;
    for (unsigned cycle = 0; cycle < cycles + 2; cycle++) {
        const bool starved = cycle >= cycles; // the last two: no frame comes
        xisl_sim_set_manual(starved);
        ASSERT_TRUE(startRecording(camera.get()));
        auto pending = grabLater(camera.get(), cycle % 2 == 1, pixels);
        if (starved)
            pending.wait_for(50ms); // give the grab time to begin waiting; sound either way
        else if (cycle % 3 == 0)
            std::this_thread::yield(); // vary who comes first
        ASSERT_TRUE(stopRecording(camera.get())) << "cycle " << cycle;
        const bool grabbed = soundGrab(pending, pixels);
        EXPECT_FALSE(starved && grabbed) << "no frame was produced";
        succeeded += grabbed;
    }
    std::printf("[ stress   ] grabs that got their frame before the stop: %u\n", succeeded);
    camera.reset();
    expectDetectorReleased();
}

INSTANTIATE_TEST_SUITE_P(GrabModes, StopRaceTest,
                         ::testing::Values(Mode::Continuous, Mode::SingleFrame),
                         [](const ::testing::TestParamInfo<Mode> &mode) {
                             return modeNames[int(mode.param)];
                         });

// What the callback of a client that ends the recording itself shares with the test.
struct SelfEndingClient {
    UcaCamera *camera = nullptr;
    bool releaseCamera = false; // else stop the recording
    std::mutex mutex;
    std::condition_variable condition; // signals `ended`
    bool ended = false;                // guarded by mutex
    ErrorPtr stopError;                // guarded by mutex
    bool frameIntact = false;          // guarded by mutex
    std::atomic<bool> armed{false}; // set once start has returned: the test is done with the camera
    std::atomic<unsigned> callsAfterEnd{0};
    std::atomic<bool> finalized{false};
    uint64_t callbacksBefore = 0; // end-of-frame callbacks that had returned when this one began

    static void onFrame(gpointer pixels, gpointer user)
    {
        auto *self = static_cast<SelfEndingClient *>(user);
        if (!self->armed)
            return;
        {
            std::lock_guard<std::mutex> lock(self->mutex);
            if (self->ended) {
                self->callsAfterEnd++;
                return;
            }
        }
        self->callbacksBefore = counters().endOfFrameCallbacks;
        GError *error = nullptr;
        if (self->releaseCamera)
            g_object_unref(self->camera);
        else
            uca_camera_stop_recording(self->camera, &error);
        // The frame it was handed is still valid, whatever the client called.
        const bool intact =
            frameNumberOf(static_cast<const uint16_t *>(pixels), wholeFrame).has_value();
        // Notified under the lock: once the test sees `ended` it may destroy this record.
        std::lock_guard<std::mutex> lock(self->mutex);
        self->frameIntact = intact;
        self->ended = true;
        self->stopError.reset(error);
        self->condition.notify_all();
    }
};

class CallbackEndsRecordingTest : public SimulatorTest,
                                  public ::testing::WithParamInterface<bool> {};

TEST_P(CallbackEndsRecordingTest, NoCrashNoHangNoLateCallback)
{
    const bool release = GetParam();
    const unsigned cycles =
        scaledCount(release ? "releases from the callback" : "stops from the callback", 200);
    // Declared first, so that a camera left streaming by a failed assertion goes before it.
    std::unique_ptr<SelfEndingClient> current;
    CameraPtr owned;
    for (unsigned cycle = 0; cycle < cycles; cycle++) {
        if (!owned)
            owned = createFastCamera();
        ASSERT_TRUE(owned);
        current = std::make_unique<SelfEndingClient>();
        SelfEndingClient &client = *current;
        client.camera = owned.get();
        client.releaseCamera = release;
        const GWeakNotify onFinalized = [](gpointer user, GObject *) {
            static_cast<SelfEndingClient *>(user)->finalized = true;
        };
        g_object_weak_ref(G_OBJECT(owned.get()), onFinalized, &client);
        selectMode(owned.get(), Mode::Asynchronous);
        uca_camera_set_grab_func(owned.get(), SelfEndingClient::onFrame, &client);
        ASSERT_TRUE(startRecording(owned.get()));
        if (release)
            (void)owned.release(); // the callback holds the last reference now
        client.armed = true;
        {
            std::unique_lock<std::mutex> lock(client.mutex);
            ASSERT_TRUE(client.condition.wait_for(lock, grabBound, [&] { return client.ended; }))
                << "cycle " << cycle << ": the callback never ended";
            EXPECT_FALSE(client.stopError) << client.stopError->message;
            EXPECT_TRUE(client.frameIntact) << "cycle " << cycle;
        }
        if (release) {
            EXPECT_TRUE(client.finalized) << "cycle " << cycle;
            // What the driver does after its consumer returned counts too.
            ASSERT_EQ(xisl_sim_wait_frames(client.callbacksBefore + 1, 5000), 0);
        } else {
            EXPECT_FALSE(uca_camera_is_recording(owned.get()));
            g_object_weak_unref(G_OBJECT(owned.get()), onFinalized, &client);
        }
        EXPECT_EQ(client.callsAfterEnd.load(), 0u) << "cycle " << cycle;
        ASSERT_EQ(counters().callbacksAfterClose, 0u) << "cycle " << cycle;
        ASSERT_EQ(counters().callsOnClosedHandles, 0u) << "cycle " << cycle;
        if (cycle % 64 == 0)
            detectorLog().clear();
    }
    owned.reset();
    expectDetectorReleased();
}

INSTANTIATE_TEST_SUITE_P(StopOrRelease, CallbackEndsRecordingTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &release) {
                             return release.param ? "ReleasesLastReference" : "StopsRecording";
                         });

} // namespace
} // namespace TessaraVoltTest
