// SPDX-License-Identifier: LGPL-2.1-or-later
// Recording in the three readout modes, frame content, and the camera's failure paths.
#include "camera-fixture.h"

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>
#include <utility>

namespace TessaraVoltTest {
namespace {

using RecordingTest = CameraTest;
using Frames = std::vector<std::optional<uint32_t>>;

// A grab takes a frame completed after it was asked for, of the region of interest.
TEST_F(RecordingTest, ContinuousGrabCopiesTheRoiOfAFrameCompletedAfterTheRequest)
{
    createStepped();
    setRoi({10, 20, 100, 50});
    g_object_set(camera.get(), "gain", 3u, nullptr);
    ASSERT_TRUE(start());
    step(3);
    const std::optional<uint32_t> first = frameNumberOf(grabStepped().pixels.data(), roi());
    ASSERT_GT(first, 3u) << "nothing: the pixels match no frame's region of interest";
    step(3);
    EXPECT_GT(frameNumberOf(grabStepped().pixels.data(), roi()), *first + 3);
    stop();
    EXPECT_EQ(callsOf("Acquisition_Abort").size(), 1u);
    EXPECT_EQ(argsOf("Acquisition_SetCameraGain", 0), std::vector<uint64_t>{3});
    EXPECT_EQ(argsOf("Acquisition_Acquire_Image", 2), std::vector<uint64_t>{XISL_ACQ_CONTINUOUS});
}

// The callback set at the start gets every frame in one buffer; grabs are refused meanwhile.
TEST_F(RecordingTest, AsynchronousTransferWinsAndReusesOneBufferForTheNewestFrame)
{
    Frames frames;
    createStepped();
    setRoi({10, 20, 100, 50});
    g_object_set(camera.get(), "transfer-asynchronously", TRUE, nullptr);
    deliverTo(
        [&](const uint16_t *pixels) { frames.push_back(frameNumberOf(pixels, callbackRoi)); });
    ASSERT_TRUE(start());
    uca_camera_set_grab_func(
        camera.get(), [](gpointer, gpointer) { ADD_FAILURE() << "late callback used"; }, nullptr);
    step(5);
    EXPECT_EQ(frames, (Frames{1, 2, 3, 4, 5}));
    EXPECT_EQ(argsOf("Acquisition_GetActFrame", -1), (std::vector<uint64_t>{1, 2, 3, 1, 2}));
    EXPECT_EQ(codeOf(grab().error), UCA_CAMERA_ERROR_RECORDING);
    stop();
    EXPECT_EQ(callsOf("Acquisition_Abort").size(), 1u);
    EXPECT_EQ(callsOf("Acquisition_DefineDestBuffers").size(), 1u) << "the grabber was not started";
}

// Each grab acquires one frame once its predecessor ended; stop aborts nothing, and the binning
// write right after it still reaches the detector.
TEST_F(RecordingTest, SingleFramesAreAcquiredPerGrabAndStopLeavesTheDetectorAlone)
{
    xisl_sim_set_readout_ns_per_pixel(0);
    xisl_sim_set_wind_down(50000); // each acquisition is still ending when its grab returns
    create();
    g_object_set(camera.get(), "exposure-time", 0.001, "grab-from-continuous", FALSE, nullptr);
    ASSERT_TRUE(start());
    EXPECT_TRUE(callsOf("Acquisition_Acquire_Image").empty()) << "start only prepares";
    EXPECT_EQ((Frames{frameNumberOf(grab().pixels.data(), roi()),
                      frameNumberOf(grab().pixels.data(), roi())}),
              (Frames{1, 2}));
    const size_t abortsBeforeStop = callsOf("Acquisition_Abort").size();
    stop();
    EXPECT_EQ(argsOf("Acquisition_Acquire_Image", 2),
              (std::vector<uint64_t>{XISL_ACQ_ONE_BUFFER, XISL_ACQ_ONE_BUFFER}));
    EXPECT_EQ(argsOf("Acquisition_DefineDestBuffers", 1), std::vector<uint64_t>{1});
    EXPECT_EQ(callsOf("Acquisition_Abort").size(), abortsBeforeStop);
    // A new start takes the new frame size; unbinned again, the region binning left.
    for (guint factor : {2u, 1u}) {
        g_object_set(camera.get(), "sensor-horizontal-binning", factor, nullptr);
        EXPECT_EQ(callsOf("Acquisition_SetCameraBinningMode").back().status, 0u);
        ASSERT_TRUE(start());
        EXPECT_TRUE(frameNumberOf(grab().pixels.data(), roi())) << factor;
        stop();
    }
}

TEST_F(RecordingTest, WritesDuringRecordingAreRefusedExceptExposure)
{
    createStepped();
    ASSERT_TRUE(start());
    GLibMessages messages;
    g_object_set(camera.get(), "roi-width", 10u, "sensor-vertical-binning", 2u, "gain", 4u,
                 "grab-from-continuous", FALSE, "exposure-time", 0.5, nullptr);
    EXPECT_EQ(texts({"roi-width", "sensor-vertical-binning", "gain", "grab-from-continuous",
                     "exposure-time"}),
              "1024 1 0 TRUE 0.500000");
    EXPECT_EQ(callsOf("Acquisition_SetCameraBinningMode").size(), 0u);
    EXPECT_EQ(messages.texts().size(), 4u);
    EXPECT_EQ(messages.texts().at(0), "Property 'roi-width' cant be changed during acquisition");
    stop();
}

// A grab waits for a frame as long as the frame takes to come: the frame timeout, then the
// readout, here twice the frame timeout. A trigger sent before a single-frame grab started its
// acquisition is lost, and the error says which order works; the next grab still works.
TEST_F(RecordingTest, GrabGivesUpAfterTheWaitLimitAndTheNextGrabStillWorks)
{
    xisl_sim_set_readout_ns_per_pixel(954); // 1024 x 1024 pixels: 1.0 s
    create();
    const char *hint = "a software trigger counts only while a grab waits";
    using Row = std::tuple<UcaCameraTriggerSource, gboolean, uint64_t>;
    for (const auto &[source, continuous, sync] :
         {Row{UCA_CAMERA_TRIGGER_SOURCE_SOFTWARE, FALSE, XISL_SYNC_SOFTWARE_TRIGGER},
          Row{UCA_CAMERA_TRIGGER_SOURCE_EXTERNAL, FALSE, XISL_SYNC_EXTERNAL_TRIGGER},
          Row{UCA_CAMERA_TRIGGER_SOURCE_EXTERNAL, TRUE, XISL_SYNC_EXTERNAL_TRIGGER},
          Row{UCA_CAMERA_TRIGGER_SOURCE_SOFTWARE, TRUE, XISL_SYNC_SOFTWARE_TRIGGER}}) {
        SCOPED_TRACE(testing::Message() << source << continuous);
        const auto trigger = [&, software = source == UCA_CAMERA_TRIGGER_SOURCE_SOFTWARE] {
            software ? uca_camera_trigger(camera.get(), nullptr)
                     : (void)xisl_sim_pulse(acquisitionHandle());
        };
        g_object_set(camera.get(), "trigger-source", source, "frame-timeout", 0.5,
                     "grab-from-continuous", continuous, nullptr);
        ASSERT_TRUE(start());
        if (!continuous)
            trigger(); // no acquisition runs yet
        const Grabbed lost = grab();
        ASSERT_EQ(codeOf(lost.error), UCA_CAMERA_ERROR_TIMEOUT);
        EXPECT_EQ(std::string(lost.error->message).find(hint) != std::string::npos,
                  source == UCA_CAMERA_TRIGGER_SOURCE_SOFTWARE && !continuous);
        const size_t started = callsOf("Acquisition_Acquire_Image").size();
        auto pending = grabLater();
        ASSERT_TRUE(waitUntil([&, continuous = continuous] {
            return continuous || callsOf("Acquisition_Acquire_Image").size() > started;
        }));
        // Triggered until the grab returns (one sent before a continuous grab waits is lost); a
        // software trigger sent during a readout queues another and moves the grab's deadline.
        const auto pace = source == UCA_CAMERA_TRIGGER_SOURCE_SOFTWARE ? 1100ms : 5ms;
        ASSERT_TRUE(waitUntil(
            [&] {
                trigger();
                return pending.wait_for(pace) == std::future_status::ready;
            },
            10s));
        const Grabbed grabbed = pending.get();
        EXPECT_TRUE(!grabbed.error && frameNumberOf(grabbed.pixels.data(), roi()));
        EXPECT_EQ(argsOf("Acquisition_SetFrameSyncMode", 0).back(), sync);
        stop();
    }
}

// The frame a callback was handed stays valid until the callback returns, whatever it calls:
// here it stops the recording, or drops the last reference to the camera, and then reads it.
TEST_F(RecordingTest, CallbackReadsItsFrameAfterEndingTheRecording)
{
    for (bool release : {false, true}) {
        SCOPED_TRACE(release);
        createStepped();
        g_object_set(camera.get(), "transfer-asynchronously", TRUE, nullptr);
        UcaCamera *client = camera.get();
        std::promise<std::optional<uint32_t>> frame;
        deliverTo([&, client](const uint16_t *pixels) { // stepped: one frame, one call
            if (release)
                g_object_unref(client);
            else
                uca_camera_stop_recording(client, nullptr);
            frame.set_value(frameNumberOf(pixels, callbackRoi));
        });
        ASSERT_TRUE(start());
        const HACQDESC acquisition = acquisitionHandle();
        if (release)
            (void)camera.release();          // the callback holds the last reference now
        xisl_sim_step(acquisition, 1, 5000); // a close from inside the callback may end it first
        auto future = frame.get_future();
        ASSERT_EQ(future.wait_for(5s), std::future_status::ready);
        EXPECT_EQ(future.get(), 1u);
        EXPECT_FALSE(!release && uca_camera_is_recording(camera.get()));
        camera.reset();
        expectDetectorReleased();
    }
}

// A stop from the callback while the client stops too returns at once: the client's stop waits
// for the callback to return, so waiting for that stop would never end (a hang here ends by the
// test's time-out).
TEST_F(RecordingTest, CallbackStopsWhileTheClientStops)
{
    createStepped();
    g_object_set(camera.get(), "transfer-asynchronously", TRUE, nullptr);
    std::promise<void> entered;
    std::promise<gint> stopped;
    deliverTo([&](const uint16_t *) { // stepped: one frame, one call
        entered.set_value();
        waitUntil([&] { return uca_camera_stopped_recording(camera.get()) != FALSE; });
        GError *error = nullptr;
        uca_camera_stop_recording(camera.get(), &error);
        stopped.set_value(codeOf(ErrorPtr(error)));
    });
    ASSERT_TRUE(start());
    auto stepped = std::async(std::launch::async, [acquisition = acquisitionHandle()] {
        return xisl_sim_step(acquisition, 1, 5000);
    });
    ASSERT_EQ(entered.get_future().wait_for(5s), std::future_status::ready);
    stop();
    EXPECT_EQ(stopped.get_future().get(), UCA_CAMERA_ERROR_NOT_RECORDING);
    EXPECT_FALSE(uca_camera_is_recording(camera.get()));
    stepped.wait();
}

// A camera dropped while its callback stops it, with the detector refusing the abort: the drop
// waits for that stop before the readout goes, and no callback outlives the camera.
TEST_F(RecordingTest, CameraDroppedWhileItsCallbackStopsItWithARefusedAbort)
{
    // GLib makes the lock of its error domains at the first GError, with atomics ThreadSanitizer
    // cannot see; both threads below make their first one at once otherwise.
    g_error_free(g_error_new_literal(UCA_CAMERA_ERROR, 0, ""));
    // Up to 300 rounds, fewer where a sanitizer on a loaded machine makes each take a quarter
    // second: the test's bound is 60 s.
    const auto until = std::chrono::steady_clock::now() + 20s;
    for (int round = 0; round < 300 && std::chrono::steady_clock::now() < until; round++) {
        createStepped();
        g_object_set(camera.get(), "transfer-asynchronously", TRUE, nullptr);
        UcaCamera *client = camera.get();
        std::promise<void> entered;
        std::atomic<bool> dropping{false};
        deliverTo([&, client](const uint16_t *) { // stepped: one frame, one call
            entered.set_value();
            // The stop and the drop as close together as the threads allow.
            while (!dropping)
                std::this_thread::yield();
            uca_camera_stop_recording(client, nullptr);
        });
        ASSERT_TRUE(start());
        ASSERT_EQ(xisl_sim_fail("Acquisition_Abort", 9, 0), 0);
        auto stepped = std::async(std::launch::async, [acquisition = acquisitionHandle()] {
            return xisl_sim_step(acquisition, 1, 5000);
        });
        ASSERT_EQ(entered.get_future().wait_for(5s), std::future_status::ready);
        dropping = true;
        camera.reset();
        stepped.wait();
        xisl_sim_clear_faults();
        ASSERT_EQ(counters().callbacksAfterClose, 0u);
    }
}

// A start that could not deliver is refused before anything is acquired: a region one past an
// edge, or beyond it by a wrap-around of the unsigned sum; a frame size that cannot be read, in
// either grab mode; asynchronous transfer without a callback.
TEST_F(RecordingTest, StartsThatCannotDeliverAreRefused)
{
    create();
    constexpr gint device = UCA_CAMERA_ERROR_DEVICE;
    constexpr Roi whole{0, 0, 1024, 1024};
    for (const auto &[region, mode, code] : {std::tuple{Roi{1000, 0, 100, 1024}, "", device},
                                             {Roi{G_MAXUINT, 0, 2, 1}, "", device},
                                             {Roi{0, 1, 1024, 1024}, "", device},
                                             {Roi{0, G_MAXUINT, 1, 2}, "", device},
                                             {whole, "asynchronous", UCA_CAMERA_ERROR_NO_GRAB_FUNC},
                                             {whole, "no header, continuous", device},
                                             {whole, "no header, single", device}}) {
        const std::string how = mode;
        setRoi(region);
        g_object_set(camera.get(), "transfer-asynchronously", gboolean{how == "asynchronous"},
                     "grab-from-continuous", gboolean{how != "no header, single"}, nullptr);
        ASSERT_EQ(how.find("no header") ? 0 : xisl_sim_fail("Acquisition_GetHwHeaderInfo", 3, 0),
                  0);
        EXPECT_EQ(startCode(), code) << how << " " << texts({"roi"});
    }
    EXPECT_TRUE(callsOf("Acquisition_Acquire_Image").empty());
}

// Large enough that the freed transfer buffer goes back to the system: a late write faults.
TEST_F(RecordingTest, DestroyWhileStreamingLeavesNoCallbackBehind)
{
    const XislSimSensor sensor = {1, 14, 14, 1, 512, 256};
    ASSERT_EQ(xisl_sim_set_sensors(&sensor, 1), 0);
    xisl_sim_set_readout_ns_per_pixel(0);
    std::atomic<unsigned> delivered{0};
    for (int round = 0; round < 20; round++) {
        create();
        g_object_set(camera.get(), "exposure-time", 0.0002, "transfer-asynchronously",
                     round % 2 == 0, nullptr);
        deliverTo([&](const uint16_t *) { ++delivered; });
        ASSERT_TRUE(start());
        ASSERT_EQ(xisl_sim_wait_frames(counters().endOfFrameCallbacks + 3, 2000), 0);
        camera.reset();
        ASSERT_EQ(counters().callbacksAfterClose, 0u);
    }
    EXPECT_GT(delivered.load(), 0u);
}

// The first frames after each start reach neither a grab nor the callback, in every readout
// mode (Buffered: continuous). Asynchronous transfer and single frames deliver every later frame,
// so the first one delivered is known; a continuous grab takes a frame completed after it began,
// which may be a later one.
TEST_F(RecordingTest, FirstFramesAfterEachStartAreDiscarded)
{
    createStepped();
    std::atomic<uint32_t> delivered{0}; // the first frame the callback got, once a recording
    deliverTo([&](const uint16_t *pixels) {
        uint32_t none = 0;
        delivered.compare_exchange_strong(none, frameNumberOf(pixels, callbackRoi).value_or(~0u));
    });
    for (const std::string mode : {"Asynchronous", "Continuous", "Single", "Buffered"}) {
        const bool asynchronous = mode == "Asynchronous";
        g_object_set(camera.get(), "skip-frames", 3u, "transfer-asynchronously",
                     gboolean{asynchronous}, "buffered", gboolean{mode == "Buffered"},
                     "grab-from-continuous", gboolean{mode != "Single"}, nullptr);
        for (int start = 0; start < 2; start++) {
            const uint32_t produced = static_cast<uint32_t>(counters().framesProduced);
            delivered = 0;
            ASSERT_TRUE(this->start()) << mode;
            if (asynchronous)
                step(4);
            const uint32_t first =
                asynchronous ? delivered.load()
                             : frameNumberOf(grabStepped().pixels.data(), roi()).value_or(0);
            stop();
            if (asynchronous || mode == "Single")
                EXPECT_EQ(first, produced + 4) << mode;
            else
                EXPECT_GT(first, produced + 3) << mode;
        }
    }
}

} // namespace
} // namespace TessaraVoltTest
