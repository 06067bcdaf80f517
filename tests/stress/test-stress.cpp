// SPDX-License-Identifier: LGPL-2.1-or-later
// Many start/stop and create/destroy cycles with frames flowing, property reads and stops from
// other threads, and clients that stop or release the camera from inside their own callback.
#include "stress-fixture.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <future>
#include <thread>

namespace TessaraVoltTest {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The camera gives up on a frame after its wait limit (2 s at the exposures used here); this
// leaves room for a slow sanitizer build.
constexpr auto grabBound = 6s;

// A bounded wait that failed means a thread hangs in the camera: end the process with a message
// instead of blocking in the future's destructor until the test's time-out.
template <typename T>
T awaitOrAbort(std::future<T> &pending, std::chrono::milliseconds bound, const char *what)
{
    if (pending.wait_for(bound) != std::future_status::ready) {
        std::fprintf(stderr, "hang: %s did not return within %lld ms\n", what,
                     static_cast<long long>(bound.count()));
        std::abort();
    }
    return pending.get();
}

// Distance from one frame number to the next, modulo 2^16.
uint16_t framesBetween(int32_t earlier, int32_t later)
{
    return static_cast<uint16_t>(later - earlier);
}

// The asynchronous callback's view: how many frames came, and how many were not a whole frame.
struct CheckedDeliveries {
    DeliveryCounter count;
    std::atomic<unsigned> corrupt{0};

    static void onFrame(gpointer pixels, gpointer user)
    {
        auto *self = static_cast<CheckedDeliveries *>(user);
        if (!frameNumberOf(static_cast<const uint16_t *>(pixels), {0, 0, sensorSide, sensorSide}))
            self->corrupt++;
        self->count.add();
    }
};

class StartStopTest : public SimulatorTest, public ::testing::WithParamInterface<Mode> {};

// Each cycle starts, takes one frame (grab, or the callback's next delivery), checks its content
// and stops. Frames of one camera carry growing numbers.
TEST_P(StartStopTest, CyclesWithFramesFlowing)
{
    const Mode mode = GetParam();
    const unsigned cycles = scaledCount("start/stop cycles", 3334);
    xisl_sim_set_call_log(0);
    CameraPtr camera = createFastCamera();
    ASSERT_TRUE(camera);
    selectMode(camera.get(), mode);
    CheckedDeliveries deliveries;
    uca_camera_set_grab_func(camera.get(), CheckedDeliveries::onFrame, &deliveries);
    const Roi full = {0, 0, sensorSide, sensorSide};
    std::vector<uint16_t> pixels(size_t{sensorSide} * sensorSide);
    int32_t previous = -1;

    for (unsigned cycle = 0; cycle < cycles; cycle++) {
        const uint64_t delivered = deliveries.count.value();
        GError *error = nullptr;
        uca_camera_start_recording(camera.get(), &error);
        ASSERT_EQ(error, nullptr) << "cycle " << cycle << ": " << error->message;

        if (mode == Mode::Asynchronous) {
            ASSERT_TRUE(deliveries.count.waitFor(delivered + 1, grabBound))
                << "cycle " << cycle << ": no frame";
        } else {
            const auto started = Clock::now();
            ASSERT_TRUE(uca_camera_grab(camera.get(), pixels.data(), &error))
                << "cycle " << cycle << ": " << error->message;
            EXPECT_LT(Clock::now() - started, grabBound);
            const std::optional<uint32_t> found = frameNumberOf(pixels.data(), full);
            ASSERT_TRUE(found) << "cycle " << cycle << ": the pixels are no frame";
            const auto number = static_cast<int32_t>(*found);
            if (previous >= 0) {
                const uint16_t step = framesBetween(previous, number);
                ASSERT_TRUE(step != 0 && step < 0x8000)
                    << "frame " << number << " after " << previous;
            }
            previous = number;
        }

        uca_camera_stop_recording(camera.get(), &error);
        ASSERT_EQ(error, nullptr) << "cycle " << cycle << ": " << error->message;
        if (cycle % 256 == 0)
            detectorLog().clear();
    }
    camera.reset();
    EXPECT_EQ(deliveries.corrupt.load(), 0u) << "callbacks that received no whole frame";
    expectDetectorReleased();
    EXPECT_EQ(counters().framesNotHandedBack, 0u);
}

INSTANTIATE_TEST_SUITE_P(EachMode, StartStopTest,
                         ::testing::Values(Mode::Asynchronous, Mode::Continuous, Mode::SingleFrame),
                         [](const ::testing::TestParamInfo<Mode> &mode) {
                             return modeName(mode.param);
                         });

using LifetimeTest = SimulatorTest;

// The mode changes with every recording, so each set-up follows an acquisition of another form,
// which must have ended by then (a single-frame grab returns while its acquisition winds down).
TEST_F(LifetimeTest, ModeChangesWithEveryRecording)
{
    const unsigned cycles = scaledCount("recordings in turning modes", 3000);
    xisl_sim_set_call_log(0);
    CameraPtr camera = createFastCamera();
    ASSERT_TRUE(camera);
    CheckedDeliveries deliveries;
    uca_camera_set_grab_func(camera.get(), CheckedDeliveries::onFrame, &deliveries);
    std::vector<uint16_t> pixels(size_t{sensorSide} * sensorSide);
    const Mode turn[] = {Mode::SingleFrame, Mode::Continuous, Mode::SingleFrame,
                         Mode::Asynchronous};

    for (unsigned cycle = 0; cycle < cycles; cycle++) {
        const Mode mode = turn[cycle % 4];
        selectMode(camera.get(), mode);
        const uint64_t delivered = deliveries.count.value();
        GError *error = nullptr;
        uca_camera_start_recording(camera.get(), &error);
        ASSERT_EQ(error, nullptr) << error->message;
        if (mode == Mode::Asynchronous) {
            ASSERT_TRUE(deliveries.count.waitFor(delivered + 1, grabBound))
                << "cycle " << cycle << ": no frame";
        } else {
            ASSERT_TRUE(uca_camera_grab(camera.get(), pixels.data(), &error))
                << "cycle " << cycle << " (" << modeName(mode) << "): " << error->message;
            ASSERT_TRUE(frameNumberOf(pixels.data(), {0, 0, sensorSide, sensorSide}));
        }
        uca_camera_stop_recording(camera.get(), &error);
        ASSERT_EQ(error, nullptr) << error->message;
        if (cycle % 256 == 0)
            detectorLog().clear();
    }
    camera.reset();
    EXPECT_EQ(deliveries.corrupt.load(), 0u);
    expectDetectorReleased();
}

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
        uca_camera_set_grab_func(camera.get(), countDelivery, &deliveries);
        GError *error = nullptr;
        uca_camera_start_recording(camera.get(), &error);
        ASSERT_EQ(error, nullptr) << error->message;
        ASSERT_EQ(xisl_sim_wait_frames(counters().endOfFrameCallbacks + 2, 5000), 0)
            << "cycle " << cycle << ": the stream does not run";

        camera.reset();
        const XislSimCounters counters = TessaraVoltTest::counters();
        ASSERT_EQ(counters.openHandles, 0u) << "cycle " << cycle;
        ASSERT_EQ(counters.callbacksAfterClose, 0u) << "cycle " << cycle;
        if (cycle % 256 == 0)
            detectorLog().clear();
    }
    EXPECT_GT(deliveries.value(), 0u);
    expectDetectorReleased();
}

// A second thread reads every property it can while the first starts, grabs, changes the
// exposure (the one property writable while recording) and stops.
TEST_F(LifetimeTest, PropertyReadsFromSecondThreadWhileRecording)
{
    const unsigned cycles = scaledCount("recordings while reading", 200);
    CameraPtr camera = createFastCamera();
    ASSERT_TRUE(camera);
    std::atomic<bool> done{false};
    auto reader = std::async(std::launch::async, [&] {
        unsigned reads = 0;
        while (!done.load()) {
            guint width = 0, roiWidth = 0, binning = 0, gain = 0;
            gdouble exposure = 0, fps = 0;
            gboolean recording = FALSE, continuous = FALSE;
            gint source = -1;
            gchar *name = nullptr;
            g_object_get(camera.get(), "sensor-width", &width, "roi-width", &roiWidth,
                         "sensor-horizontal-binning", &binning, "gain", &gain, "exposure-time",
                         &exposure, "frames-per-second", &fps, "is-recording", &recording,
                         "grab-from-continuous", &continuous, "trigger-source", &source, "name",
                         &name, nullptr);
            EXPECT_EQ(width, sensorSide);
            EXPECT_EQ(roiWidth, sensorSide);
            EXPECT_EQ(binning, 1u);
            EXPECT_TRUE(exposure == 0.0001 || exposure == 0.0002) << exposure;
            EXPECT_TRUE(name != nullptr);
            g_free(name);
            reads++;
        }
        return reads;
    });

    std::vector<uint16_t> pixels(size_t{sensorSide} * sensorSide);
    for (unsigned cycle = 0; cycle < cycles; cycle++) {
        GError *error = nullptr;
        uca_camera_start_recording(camera.get(), &error);
        ASSERT_EQ(error, nullptr) << error->message;
        g_object_set(camera.get(), "exposure-time", cycle % 2 ? 0.0001 : 0.0002, nullptr);
        ASSERT_TRUE(uca_camera_grab(camera.get(), pixels.data(), &error)) << error->message;
        uca_camera_stop_recording(camera.get(), &error);
        ASSERT_EQ(error, nullptr) << error->message;
    }
    done = true;
    const unsigned reads = awaitOrAbort(reader, 10s, "the property reader");
    std::printf("[ stress   ] property reads: %u\n", reads);
    EXPECT_GT(reads, 0u);
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
        awaitOrAbort(writer, grabBound, "the writer");
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
        uca_camera_stop_recording(camera.get(), &error);
        ASSERT_EQ(error, nullptr) << error->message;
    }
    camera.reset();
    expectDetectorReleased();
}

struct GrabOutcome {
    gboolean ok = FALSE;
    ErrorPtr error;
    Clock::duration took{};
    std::optional<uint32_t> frame;
};

GrabOutcome timedGrab(UcaCamera *camera, gboolean (*grab)(UcaCamera *, gpointer, GError **))
{
    std::vector<uint16_t> pixels(size_t{sensorSide} * sensorSide);
    GrabOutcome outcome;
    GError *error = nullptr;
    const auto started = Clock::now();
    outcome.ok = grab(camera, pixels.data(), &error);
    outcome.took = Clock::now() - started;
    outcome.error.reset(error);
    if (outcome.ok)
        outcome.frame = frameNumberOf(pixels.data(), {0, 0, sensorSide, sensorSide});
    return outcome;
}

// The grab slot itself, without libuca's lock: the way a stop can really meet a waiting grab.
gboolean grabSlot(UcaCamera *camera, gpointer data, GError **error)
{
    return UCA_CAMERA_GET_CLASS(camera)->grab(camera, data, error);
}

// A grab either delivers a whole frame or fails with an error; never success without a frame.
void expectSoundOutcome(const GrabOutcome &outcome, unsigned cycle)
{
    EXPECT_LT(outcome.took, grabBound) << "cycle " << cycle;
    if (outcome.ok) {
        EXPECT_TRUE(outcome.frame)
            << "cycle " << cycle << ": a grab that succeeded delivered no frame";
    } else {
        ASSERT_TRUE(outcome.error) << "cycle " << cycle << ": a failed grab without an error";
        EXPECT_EQ(outcome.error->domain, UCA_CAMERA_ERROR);
    }
}

class StopRaceTest : public SimulatorTest, public ::testing::WithParamInterface<Mode> {};

// A stop issued while a grab is on its way, through libuca (which lets the stop wait for the
// grab) and directly at the slot (where the stop must release the grab).
TEST_P(StopRaceTest, StopMeetsAGrabWithFramesFlowing)
{
    const unsigned cycles = scaledCount("stop/grab races", 300);
    xisl_sim_set_call_log(0);
    CameraPtr camera = createFastCamera();
    ASSERT_TRUE(camera);
    selectMode(camera.get(), GetParam());
    unsigned succeeded = 0;

    for (unsigned cycle = 0; cycle < cycles; cycle++) {
        GError *error = nullptr;
        uca_camera_start_recording(camera.get(), &error);
        ASSERT_EQ(error, nullptr) << error->message;
        auto grab = cycle % 2 == 0 ? uca_camera_grab : grabSlot;
        auto pending = std::async(std::launch::async, timedGrab, camera.get(), grab);
        if (cycle % 3 == 0)
            std::this_thread::yield(); // vary who comes first
        uca_camera_stop_recording(camera.get(), &error);
        ASSERT_EQ(error, nullptr) << error->message;
        const GrabOutcome outcome = awaitOrAbort(pending, grabBound, "a grab racing a stop");
        expectSoundOutcome(outcome, cycle);
        succeeded += outcome.ok;
    }
    std::printf("[ stress   ] grabs that got their frame before the stop: %u\n", succeeded);
    camera.reset();
    expectDetectorReleased();
}

// No frame comes: a grab through libuca ends at its wait limit (the stop waits for it), a grab
// at the slot is released by the stop at once.
TEST_P(StopRaceTest, StopMeetsAGrabThatWaitsForever)
{
    xisl_sim_set_manual(1);
    CameraPtr camera = createFastCamera();
    ASSERT_TRUE(camera);
    selectMode(camera.get(), GetParam());

    for (auto grab : {uca_camera_grab, grabSlot}) {
        GError *error = nullptr;
        uca_camera_start_recording(camera.get(), &error);
        ASSERT_EQ(error, nullptr) << error->message;
        auto pending = std::async(std::launch::async, timedGrab, camera.get(), grab);
        // Give the grab time to begin waiting; the outcome must be sound either way.
        pending.wait_for(50ms);
        const auto stopping = Clock::now();
        uca_camera_stop_recording(camera.get(), &error);
        ASSERT_EQ(error, nullptr) << error->message;
        EXPECT_LT(Clock::now() - stopping, grabBound);
        const GrabOutcome outcome = awaitOrAbort(pending, grabBound, "a waiting grab");
        EXPECT_FALSE(outcome.ok) << "no frame was produced";
        expectSoundOutcome(outcome, 0);
        // Stop aborts the stream; a single-frame acquisition ends with its own grab's bound.
        if (grab == grabSlot && GetParam() == Mode::Continuous) {
            EXPECT_LT(outcome.took, 1s) << "the stop must release a grab at the slot";
        }
    }
    camera.reset();
    expectDetectorReleased();
}

INSTANTIATE_TEST_SUITE_P(GrabModes, StopRaceTest,
                         ::testing::Values(Mode::Continuous, Mode::SingleFrame),
                         [](const ::testing::TestParamInfo<Mode> &mode) {
                             return modeName(mode.param);
                         });

// libuca's ring thread calls the grab slot without the shared lock; stop joins it.
TEST_F(LifetimeTest, BufferedRecordingStartsAndStops)
{
    const unsigned cycles = scaledCount("buffered recordings", 300);
    xisl_sim_set_call_log(0);
    CameraPtr camera = createFastCamera();
    ASSERT_TRUE(camera);
    g_object_set(camera.get(), "buffered", TRUE, "num-buffers", 3u, nullptr);
    std::vector<uint16_t> pixels(size_t{sensorSide} * sensorSide);

    for (unsigned cycle = 0; cycle < cycles; cycle++) {
        selectMode(camera.get(), cycle % 2 == 0 ? Mode::Continuous : Mode::SingleFrame);
        GError *error = nullptr;
        uca_camera_start_recording(camera.get(), &error);
        ASSERT_EQ(error, nullptr) << error->message;
        if (cycle % 2 == 0) {
            ASSERT_TRUE(uca_camera_grab(camera.get(), pixels.data(), &error)) << error->message;
            EXPECT_TRUE(frameNumberOf(pixels.data(), {0, 0, sensorSide, sensorSide}));
        }
        uca_camera_stop_recording(camera.get(), &error);
        ASSERT_EQ(error, nullptr) << error->message;
    }
    camera.reset();
    expectDetectorReleased();
}

// What the callback of a client that ends the recording itself shares with the test.
struct SelfEndingClient {
    UcaCamera *camera = nullptr;
    bool releaseCamera = false; // else stop the recording
    std::mutex mutex;
    std::condition_variable condition; // signals `ended`
    bool ended = false;                // guarded by mutex
    ErrorPtr stopError;                // guarded by mutex
    std::atomic<bool> armed{false}; // set once start has returned: the test is done with the camera
    std::atomic<unsigned> callsAfterEnd{0};
    std::atomic<bool> finalized{false};
    bool frameIntact = false; // guarded by mutex

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
            frameNumberOf(static_cast<const uint16_t *>(pixels), {0, 0, sensorSide, sensorSide})
                .has_value();
        // Notified under the lock: once the test sees `ended` it may destroy this record.
        std::lock_guard<std::mutex> lock(self->mutex);
        self->frameIntact = intact;
        self->ended = true;
        self->stopError.reset(error);
        self->condition.notify_all();
    }

    static void onFinalized(gpointer user, GObject *)
    {
        static_cast<SelfEndingClient *>(user)->finalized = true;
    }

    bool waitUntilEnded(std::chrono::milliseconds bound)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return condition.wait_for(lock, bound, [this] { return ended; });
    }
};

// The statuses of the newest set-up's calls, to tell why a recording produced no frame.
std::string lastSetUpStatuses()
{
    std::string text;
    XislSimCall call;
    for (size_t i = 0; xisl_sim_get_call(i, &call) == 0; i++) {
        const std::string function = call.function;
        if (function == "Acquisition_DefineDestBuffers")
            text.clear();
        if (function == "Acquisition_DefineDestBuffers" || function == "Acquisition_Acquire_Image")
            text += function + " -> " + std::to_string(call.status) + "; ";
    }
    return text;
}

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
        g_object_weak_ref(G_OBJECT(owned.get()), SelfEndingClient::onFinalized, &client);
        selectMode(owned.get(), Mode::Asynchronous);
        uca_camera_set_grab_func(owned.get(), SelfEndingClient::onFrame, &client);
        GError *error = nullptr;
        uca_camera_start_recording(owned.get(), &error);
        ASSERT_EQ(error, nullptr) << error->message;
        if (release)
            (void)owned.release(); // the callback holds the last reference now
        client.armed = true;

        ASSERT_TRUE(client.waitUntilEnded(grabBound))
            << "cycle " << cycle << ": the callback never ended; " << lastSetUpStatuses();
        {
            std::lock_guard<std::mutex> lock(client.mutex);
            EXPECT_FALSE(client.stopError) << client.stopError->message;
            EXPECT_TRUE(client.frameIntact) << "cycle " << cycle;
        }
        if (release) {
            EXPECT_TRUE(client.finalized) << "cycle " << cycle;
            // What the driver does after its consumer returned counts too.
            ASSERT_EQ(xisl_sim_wait_frames(client.callbacksBefore + 1, 5000), 0);
        } else {
            EXPECT_FALSE(uca_camera_is_recording(owned.get()));
            g_object_weak_unref(G_OBJECT(owned.get()), SelfEndingClient::onFinalized, &client);
        }
        EXPECT_EQ(client.callsAfterEnd.load(), 0u) << "cycle " << cycle;
        const XislSimCounters counters = TessaraVoltTest::counters();
        ASSERT_EQ(counters.callbacksAfterClose, 0u) << "cycle " << cycle;
        ASSERT_EQ(counters.callsOnClosedHandles, 0u) << "cycle " << cycle;
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
