// SPDX-License-Identifier: LGPL-2.1-or-later
// Recording in the three readout modes, frame content, and the camera's failure paths.
#include "camera-fixture.h"

#include <algorithm>
#include <atomic>
#include <optional>
#include <set>
#include <utility>

namespace TessaraVoltTest {
namespace {

using namespace std::chrono_literals;

using RecordingTest = CameraTest;

TEST_F(RecordingTest, ContinuousGrabCopiesTheRoiOfAFrameCompletedAfterTheRequest)
{
    createStepped();
    setRoi({10, 20, 100, 50});
    ASSERT_TRUE(start());
    step(3); // nobody asked for these

    const std::optional<uint32_t> first = grabFrameNumber();
    ASSERT_GT(first, 3u) << "nothing: the pixels match no frame's region of interest";
    step(3);
    EXPECT_GT(grabFrameNumber(), *first + 3);
    stop();
    EXPECT_EQ(callsOf("Acquisition_Abort").size(), 1u);
}

TEST_F(RecordingTest, AsynchronousTransferWinsAndReusesOneBufferForTheNewestFrame)
{
    struct Receiver {
        Roi roi;
        std::set<const void *> addresses; // written on XISL's thread; read after each step
        std::vector<std::optional<uint32_t>> frames;
    } receiver;
    createStepped();
    setRoi({10, 20, 100, 50});
    g_object_set(camera.get(), "transfer-asynchronously", TRUE, nullptr);
    receiver.roi = roi();
    uca_camera_set_grab_func(
        camera.get(),
        [](gpointer data, gpointer user) {
            auto *self = static_cast<Receiver *>(user);
            self->addresses.insert(data);
            self->frames.push_back(frameNumberOf(static_cast<const uint16_t *>(data), self->roi));
        },
        &receiver);
    ASSERT_TRUE(start());
    uca_camera_set_grab_func(
        camera.get(), [](gpointer, gpointer) { ADD_FAILURE() << "late callback used"; }, nullptr);

    step(5);
    EXPECT_EQ(receiver.frames, (std::vector<std::optional<uint32_t>>{1, 2, 3, 4, 5}));
    EXPECT_EQ(receiver.addresses.size(), 1u);
    std::vector<uint64_t> bufferFrames;
    for (const XislSimCall &call : callsOf("Acquisition_GetActFrame"))
        bufferFrames.push_back(call.result & 0xffffffffu);
    EXPECT_EQ(bufferFrames, (std::vector<uint64_t>{1, 2, 3, 1, 2}));

    EXPECT_EQ(codeOf(grabInto(camera.get(), receiver.roi).error), UCA_CAMERA_ERROR_RECORDING);
    stop();
    EXPECT_EQ(callsOf("Acquisition_Abort").size(), 1u);
    EXPECT_EQ(callsOf("Acquisition_DefineDestBuffers").size(), 1u) << "the grabber was not started";
}

TEST_F(RecordingTest, SingleFramesAreAcquiredPerGrabAndStopLeavesTheDetectorAlone)
{
    xisl_sim_set_readout_ns_per_pixel(0);
    xisl_sim_set_wind_down(50000); // each acquisition is still ending when its grab returns
    create();
    g_object_set(camera.get(), "exposure-time", 0.001, "grab-from-continuous", FALSE, nullptr);
    ASSERT_TRUE(start());
    EXPECT_TRUE(callsOf("Acquisition_Acquire_Image").empty()) << "start only prepares";
    ASSERT_EQ(callsOf("Acquisition_DefineDestBuffers").at(0).args[1], 1u);

    for (uint32_t expected : {1u, 2u})
        EXPECT_EQ(frameNumberOf(grabInto(camera.get(), roi()).pixels.data(), roi()), expected);
    // The second grab waited for the end of the first acquisition; stop aborts nothing.
    const size_t abortsBeforeStop = callsOf("Acquisition_Abort").size();
    stop();
    const auto acquisitions = callsOf("Acquisition_Acquire_Image");
    ASSERT_EQ(acquisitions.size(), 2u);
    EXPECT_EQ(acquisitions[0].args[2], static_cast<uint64_t>(XISL_ACQ_ONE_BUFFER));
    EXPECT_EQ(callsOf("Acquisition_Abort").size(), abortsBeforeStop);

    // The last acquisition may still be ending: a binning write must still reach the detector.
    g_object_set(camera.get(), "sensor-horizontal-binning", 2u, nullptr);
    EXPECT_EQ(callsOf("Acquisition_SetCameraBinningMode").at(0).status, 0u);
    EXPECT_EQ(roi().width, 512u);
}

// The driver's tests pin the order of the set-up; here the properties reach it.
TEST_F(RecordingTest, SetUpSendsTheProperties)
{
    xisl_sim_set_readout_ns_per_pixel(0);
    create();
    g_object_set(camera.get(), "gain", 3u, "exposure-time", 0.005, nullptr);
    ASSERT_TRUE(start());
    stop();
    const XislSimCall acquisition = callsOf("Acquisition_Acquire_Image").at(0);
    EXPECT_EQ((std::vector<uint64_t>{callsOf("Acquisition_DefineDestBuffers").at(0).args[1],
                                     callsOf("Acquisition_SetCameraGain").at(0).args[0],
                                     callsOf("Acquisition_SetTimerSync").back().args[0],
                                     acquisition.args[0], acquisition.args[2]}),
              (std::vector<uint64_t>{3, 3, 5000, 3, XISL_ACQ_CONTINUOUS}));
    EXPECT_EQ(countLines(detectorLog().lines(), spdlog::level::info, "Set exposure to 5000 us"),
              1u);
}

TEST_F(RecordingTest, FailingFrameHeaderIsLoggedAndTheFrameStillDelivered)
{
    createStepped();
    ASSERT_EQ(xisl_sim_fail("Acquisition_GetLatestFrameHeader", 9, 0), 0);
    ASSERT_TRUE(start());
    EXPECT_TRUE(grabFrameNumber());
    stop();
    EXPECT_GE(countLines(detectorLog().lines(), spdlog::level::err, "Error 9 "), 1u);
    EXPECT_GE(counters().framesHandedBack, 1u);
    EXPECT_EQ(counters().framesNotHandedBack, 0u);
}

TEST_F(RecordingTest, SoftwareTriggerReleasesAFrameOfAContinuousGrab)
{
    createStepped();
    g_object_set(camera.get(), "trigger-source", UCA_CAMERA_TRIGGER_SOURCE_SOFTWARE, nullptr);
    ASSERT_TRUE(start());
    auto pending = grabLater();
    // Triggers until the grab returns: one sent before the grab waits is lost.
    EXPECT_TRUE(waitUntil([&] {
        uca_camera_trigger(camera.get(), nullptr);
        return pending.wait_for(5ms) == std::future_status::ready;
    }));
    const Grabbed grabbed = pending.get();
    EXPECT_TRUE(grabbed.ok && frameNumberOf(grabbed.pixels.data(), roi()));
    stop();
}

TEST_F(RecordingTest, NewStartAfterBinningChangeUsesTheNewFrameSize)
{
    createStepped();
    // Binned, the whole frame; unbinned again, the 512x512 region binning left of the full frame.
    for (const auto &[factor, line] :
         {std::pair{2u, "Start recording: 512x512"}, {1u, "Start recording: 1024x1024"}}) {
        g_object_set(camera.get(), "sensor-horizontal-binning", factor, nullptr);
        ASSERT_TRUE(start());
        EXPECT_EQ(countLines(detectorLog().lines(), spdlog::level::info, line), 1u);
        EXPECT_TRUE(grabFrameNumber()) << line;
        stop();
    }
}

TEST_F(RecordingTest, WritesDuringRecordingAreRefusedExceptExposure)
{
    createStepped();
    ASSERT_TRUE(start());
    const size_t binningCalls = callsOf("Acquisition_SetCameraBinningMode").size();
    GLibMessages messages;
    g_object_set(camera.get(), "roi-width", 10u, "sensor-vertical-binning", 2u, "gain", 4u,
                 "grab-from-continuous", FALSE, "exposure-time", 0.5, nullptr);

    EXPECT_EQ(roi().width, 1024u);
    EXPECT_EQ(texts({"sensor-vertical-binning", "gain", "grab-from-continuous", "exposure-time"}),
              "1 0 TRUE 0.500000");
    EXPECT_EQ(callsOf("Acquisition_SetCameraBinningMode").size(), binningCalls);
    const auto lines = messages.lines();
    EXPECT_EQ(countLines(lines, G_LOG_LEVEL_WARNING,
                         "Property 'roi-width' cant be changed during acquisition"),
              1u);
    EXPECT_EQ(lines.size(), 4u);
    stop();
}

TEST_F(RecordingTest, GrabGivesUpAfterTheWaitLimitAndTheNextGrabStillWorks)
{
    createStepped();
    for (bool continuous : {true, false}) {
        g_object_set(camera.get(), "grab-from-continuous", gboolean{continuous}, nullptr);
        ASSERT_TRUE(start());
        const Grabbed grabbed = grabInto(camera.get(), roi());
        EXPECT_FALSE(grabbed.ok);
        ASSERT_TRUE(grabbed.error);
        EXPECT_EQ(grabbed.error->code, UCA_CAMERA_ERROR_TIMEOUT) << grabbed.error->message;
        EXPECT_TRUE(grabFrameNumber());
        stop();
    }
}

// A grab waits for a triggered frame as long as the frame takes to come: the frame timeout,
// then the readout, here twice the frame timeout. A trigger sent before a single-frame grab has
// started its acquisition is lost, and the error says which order works.
TEST_F(RecordingTest, TriggeredGrabWaitsForTheReadoutAndATriggerCountsWhileTheGrabWaits)
{
    xisl_sim_set_readout_ns_per_pixel(954); // 1024 x 1024 pixels: 1.0 s
    create();
    for (const UcaCameraTriggerSource source :
         {UCA_CAMERA_TRIGGER_SOURCE_SOFTWARE, UCA_CAMERA_TRIGGER_SOURCE_EXTERNAL}) {
        SCOPED_TRACE(source);
        const bool software = source == UCA_CAMERA_TRIGGER_SOURCE_SOFTWARE;
        g_object_set(camera.get(), "trigger-source", source, "frame-timeout", 0.5,
                     "grab-from-continuous", FALSE, nullptr);
        ASSERT_TRUE(start());
        const auto trigger = [&] {
            if (software)
                uca_camera_trigger(camera.get(), nullptr);
            else
                xisl_sim_pulse(acquisitionHandle());
        };

        trigger(); // no acquisition runs yet
        const Grabbed lost = grabInto(camera.get(), roi());
        ASSERT_TRUE(lost.error);
        EXPECT_EQ(lost.error->code, UCA_CAMERA_ERROR_TIMEOUT);
        const std::string hint = "a software trigger counts only while a grab waits";
        EXPECT_EQ(std::string(lost.error->message).find(hint) != std::string::npos, software)
            << lost.error->message;

        const size_t started = callsOf("Acquisition_Acquire_Image").size();
        auto pending = grabLater();
        ASSERT_TRUE(
            waitUntil([&] { return callsOf("Acquisition_Acquire_Image").size() > started; }));
        trigger();
        const Grabbed grabbed = pending.get();
        EXPECT_TRUE(grabbed.ok) << grabbed.error->message;
        EXPECT_TRUE(frameNumberOf(grabbed.pixels.data(), roi()));
        EXPECT_EQ(callsOf("Acquisition_SetFrameSyncMode").back().args[0],
                  software ? XISL_SYNC_SOFTWARE_TRIGGER : XISL_SYNC_EXTERNAL_TRIGGER);
        stop();
    }
}

TEST_F(RecordingTest, StopReleasesAGrabWaitingOutsideLibucasLock)
{
    createStepped();
    ASSERT_TRUE(start());
    std::vector<uint16_t> pixels(size_t{1024} * 1024);
    auto pending = std::async(std::launch::async, [&] {
        GError *error = nullptr;
        const gboolean ok =
            UCA_CAMERA_GET_CLASS(camera.get())->grab(camera.get(), pixels.data(), &error);
        return std::make_pair(ok, ErrorPtr(error));
    });
    stop();

    ASSERT_EQ(pending.wait_for(5s), std::future_status::ready);
    const auto result = pending.get();
    EXPECT_FALSE(result.first);
    ASSERT_TRUE(result.second);
    EXPECT_EQ(result.second->code, UCA_CAMERA_ERROR_NOT_RECORDING);
}

// The frame a callback was handed stays valid until the callback returns, whatever it calls:
// here it stops the recording, or drops the last reference to the camera, and then reads it.
TEST_F(RecordingTest, CallbackReadsItsFrameAfterEndingTheRecording)
{
    for (bool release : {false, true}) {
        SCOPED_TRACE(release ? "released" : "stopped");
        struct Client {
            UcaCamera *camera;
            bool release;
            bool ended = false; // XISL's thread only
            std::promise<std::optional<uint32_t>> frame;
        };
        createStepped();
        Client client{camera.get(), release, false, {}};
        g_object_set(camera.get(), "transfer-asynchronously", TRUE, nullptr);
        uca_camera_set_grab_func(
            camera.get(),
            [](gpointer data, gpointer user) {
                auto *self = static_cast<Client *>(user);
                if (std::exchange(self->ended, true))
                    return;
                if (self->release)
                    g_object_unref(self->camera);
                else
                    uca_camera_stop_recording(self->camera, nullptr);
                self->frame.set_value(
                    frameNumberOf(static_cast<const uint16_t *>(data), {0, 0, 1024, 1024}));
            },
            &client);
        ASSERT_TRUE(start());
        const HACQDESC acquisition = acquisitionHandle();
        if (release)
            (void)camera.release();          // the callback holds the last reference now
        xisl_sim_step(acquisition, 1, 5000); // a close from inside the callback may end it first
        auto frame = client.frame.get_future();
        ASSERT_EQ(frame.wait_for(5s), std::future_status::ready);
        EXPECT_EQ(frame.get(), 1u);
        if (!release) {
            EXPECT_FALSE(uca_camera_is_recording(camera.get()));
        }
        camera.reset();
        expectDetectorReleased();
    }
}

// A stop from the callback while the client stops too returns at once: the client's stop waits
// for the callback to return, so waiting for that stop would never end (a hang here ends by the
// test's time-out).
TEST_F(RecordingTest, CallbackStopsWhileTheClientStops)
{
    struct Client {
        UcaCamera *camera;
        bool first = true; // XISL's thread only
        std::promise<void> entered;
        std::promise<ErrorPtr> stopped;
    };
    createStepped();
    Client client{camera.get(), true, {}, {}};
    g_object_set(camera.get(), "transfer-asynchronously", TRUE, nullptr);
    uca_camera_set_grab_func(
        camera.get(),
        [](gpointer, gpointer user) {
            auto *self = static_cast<Client *>(user);
            if (!std::exchange(self->first, false))
                return;
            self->entered.set_value();
            waitUntil([self] { return uca_camera_stopped_recording(self->camera) != FALSE; });
            GError *error = nullptr;
            uca_camera_stop_recording(self->camera, &error);
            self->stopped.set_value(ErrorPtr(error));
        },
        &client);
    ASSERT_TRUE(start());
    auto stepped = std::async(std::launch::async, [acquisition = acquisitionHandle()] {
        return xisl_sim_step(acquisition, 1, 5000);
    });
    ASSERT_EQ(client.entered.get_future().wait_for(5s), std::future_status::ready);
    stop();

    const ErrorPtr error = client.stopped.get_future().get();
    ASSERT_TRUE(error) << "the callback's stop cannot have stopped a recording being stopped";
    EXPECT_EQ(error->code, UCA_CAMERA_ERROR_NOT_RECORDING);
    EXPECT_FALSE(uca_camera_is_recording(camera.get()));
    stepped.wait();
}

// One past each edge, and beyond it by a wrap-around of the unsigned sum.
TEST_F(RecordingTest, RoiOutsideTheFrameIsRefusedAtStart)
{
    create();
    for (const Roi &region : {Roi{1000, 0, 100, 1024}, Roi{G_MAXUINT, 0, 2, 1},
                              Roi{0, 1, 1024, 1024}, Roi{0, G_MAXUINT, 1, 2}}) {
        setRoi(region);
        EXPECT_EQ(codeOf(startError()), UCA_CAMERA_ERROR_DEVICE);
        EXPECT_FALSE(uca_camera_is_recording(camera.get()));
    }
    EXPECT_TRUE(callsOf("Acquisition_DefineDestBuffers").empty());
}

TEST_F(RecordingTest, AsynchronousStartWithoutCallbackIsRefused)
{
    create();
    g_object_set(camera.get(), "transfer-asynchronously", TRUE, nullptr);
    GError *error = nullptr;
    // Called directly: libuca would refuse earlier.
    UCA_CAMERA_GET_CLASS(camera.get())->start_recording(camera.get(), &error);
    const ErrorPtr owned(error);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, UCA_CAMERA_ERROR_NO_GRAB_FUNC);
    EXPECT_TRUE(callsOf("Acquisition_Acquire_Image").empty());
}

TEST_F(RecordingTest, DestroyWhileStreamingLeavesNoCallbackBehind)
{
    // Large enough that the freed transfer buffer goes back to the system: a late write faults.
    const XislSimSensor sensor = {1, 14, 14, 1, 512, 256};
    ASSERT_EQ(xisl_sim_set_sensors(&sensor, 1), 0);
    xisl_sim_set_readout_ns_per_pixel(0);
    std::atomic<unsigned> delivered{0};
    for (int round = 0; round < 20; round++) {
        create();
        g_object_set(camera.get(), "exposure-time", 0.0002, "transfer-asynchronously",
                     round % 2 == 0, nullptr);
        uca_camera_set_grab_func(
            camera.get(),
            [](gpointer, gpointer count) { ++*static_cast<std::atomic<unsigned> *>(count); },
            &delivered);
        ASSERT_TRUE(start());
        ASSERT_EQ(xisl_sim_wait_frames(counters().endOfFrameCallbacks + 3, 2000), 0);
        camera.reset();
        ASSERT_EQ(counters().callbacksAfterClose, 0u);
    }
    EXPECT_GT(delivered.load(), 0u);
}

// The readout mode, by name: Asynchronous, Continuous, Single or Buffered (continuous).
class SkipFramesTest : public CameraTest, public ::testing::WithParamInterface<std::string> {};

// The first frames after each start reach neither a grab nor the callback. Asynchronous transfer
// and single frames deliver every later frame, so the first one delivered is known; a continuous
// grab takes a frame completed after it began, which may be a later one.
TEST_P(SkipFramesTest, FirstFramesAfterEachStartAreDiscarded)
{
    struct Receiver {
        Roi roi;
        std::atomic<uint32_t> first{0}; // XISL's thread writes it, once a recording
    } receiver;
    const bool asynchronous = GetParam() == "Asynchronous";
    createStepped();
    g_object_set(camera.get(), "skip-frames", 3u, "transfer-asynchronously", gboolean{asynchronous},
                 "buffered", gboolean{GetParam() == "Buffered"}, "grab-from-continuous",
                 gboolean{GetParam() != "Single"}, nullptr);
    receiver.roi = roi();
    uca_camera_set_grab_func(
        camera.get(),
        [](gpointer data, gpointer user) {
            auto *self = static_cast<Receiver *>(user);
            uint32_t none = 0;
            self->first.compare_exchange_strong(
                none, frameNumberOf(static_cast<const uint16_t *>(data), self->roi).value_or(~0u));
        },
        &receiver);
    const bool exact = asynchronous || GetParam() == "Single";
    for (int start = 0; start < 2; start++) {
        const uint32_t produced = static_cast<uint32_t>(counters().framesProduced);
        receiver.first = 0;
        ASSERT_TRUE(this->start());
        if (asynchronous)
            step(4);
        const std::optional<uint32_t> first =
            asynchronous ? std::optional<uint32_t>(receiver.first.load()) : grabFrameNumber();
        stop();
        ASSERT_TRUE(first);
        if (exact)
            EXPECT_EQ(*first, produced + 4);
        else
            EXPECT_GT(*first, produced + 3);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryMode, SkipFramesTest,
                         ::testing::Values("Asynchronous", "Continuous", "Single", "Buffered"),
                         [](const ::testing::TestParamInfo<std::string> &mode) {
                             return mode.param;
                         });

} // namespace
} // namespace TessaraVoltTest
