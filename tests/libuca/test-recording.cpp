// SPDX-License-Identifier: LGPL-2.1-or-later
// The recording and readout state machine of uca_camera_*, buffered mode's ring and read thread,
// and the lock rules that let a trigger reach a grab waiting in its slot.
#include "test-support.h"

#include <atomic>
#include <cstring>
#include <thread>

namespace TessaraVoltTest {
namespace {

class Recording : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (camera && uca_camera_is_recording(camera.get()))
            uca_camera_stop_recording(camera.get(), nullptr);
    }

    // Grabs (or reads out frame 7) into a buffer with guard bytes behind the current region's
    // frame, and checks that exactly the frame was written; its sequence number, or 0 on failure.
    guint32 grabOne(bool readout = false)
    {
        const size_t size =
            get<guint>(camera.get(), "roi-width") * get<guint>(camera.get(), "roi-height") * 2;
        std::vector<guint8> buffer(size + 16, 0xA5);
        if (!(readout ? uca_camera_readout(camera.get(), buffer.data(), 7, error.out())
                      : uca_camera_grab(camera.get(), buffer.data(), error.out())))
            return 0;
        guint32 sequence = 0;
        std::memcpy(&sequence, buffer.data(), sizeof(sequence));
        EXPECT_EQ(buffer[size - 1], sequence & 0xff) << "frame copied whole";
        EXPECT_EQ(std::vector<guint8>(buffer.begin() + size, buffer.end()),
                  std::vector<guint8>(16, 0xA5));
        return sequence;
    }

    // Stops while triggering, for a slot that waits for a trigger.
    void stopWhileTriggering()
    {
        std::atomic<bool> stopped{false};
        std::thread stopper([&] {
            uca_camera_stop_recording(camera.get(), nullptr);
            stopped = true;
        });
        EXPECT_TRUE(waitUntil([&] {
            uca_camera_trigger(camera.get(), nullptr);
            return stopped.load();
        }));
        stopper.join();
    }

    CameraFolder folder;
    CameraPtr camera = openTestCamera();
    Error error;
};

enum class Op {
    Start,
    Stop,
    StartReadout,
    StopReadout,
    Trigger,
    Grab,
    Readout,
    Write,
    Dispose,
    Set,
    Expect,
    Recreate
};
enum State { Idle, Recording_, Readout };
constexpr int OK = -1;

struct Step {
    Op op;
    int code;            // the camera error expected, or OK
    const char *message; // its text; for Set, Expect and Recreate: the property
    guint
        value; // Set, Expect and Recreate: the value; Grab, Readout: the frame's sequence (0: any)
    State state; // afterwards
};

struct Script {
    const char *name;
    std::vector<Step> steps;
    std::vector<std::string> warnings;
};

void PrintTo(const Script &script, std::ostream *os)
{
    *os << script.name;
}

void countNotification(GObject *, GParamSpec *, gpointer counter)
{
    ++*static_cast<int *>(counter);
}

class StateMachine : public Recording, public ::testing::WithParamInterface<Script> {};

// Runs the steps in turn, checking each call's error and the state after it; is-recording is
// notified on each change and only then.
TEST_P(StateMachine, Steps)
{
    LogCapture log;
    int notifications = 0, changes = 0, index = 0;
    bool wasRecording = false;
    char byte = 0;
    // Disposing disconnects the handler.
    auto connect = [&] {
        g_signal_connect(camera.get(), "notify::is-recording", G_CALLBACK(countNotification),
                         &notifications);
    };
    connect();
    for (const Step &step : GetParam().steps) {
        SCOPED_TRACE("step " + std::to_string(index++));
        UcaCamera *c = camera.get();
        guint32 sequence = 0;
        error.out();
        // clang-format off
        switch (step.op) {
        case Op::Start: uca_camera_start_recording(c, error.out()); break;
        case Op::Stop: uca_camera_stop_recording(c, error.out()); break;
        case Op::StartReadout: uca_camera_start_readout(c, error.out()); break;
        case Op::StopReadout: uca_camera_stop_readout(c, error.out()); break;
        case Op::Trigger: uca_camera_trigger(c, error.out()); break;
        case Op::Grab: sequence = grabOne(); break;
        case Op::Readout: sequence = grabOne(true); break;
        case Op::Write: uca_camera_write(c, "calibration", &byte, 1, error.out()); break;
        case Op::Dispose: g_object_run_dispose(G_OBJECT(c)); connect(); break;
        case Op::Set: g_object_set(c, step.message, step.value, nullptr); break;
        case Op::Expect: EXPECT_EQ(get<guint>(c, step.message), step.value) << step.message; break;
        case Op::Recreate: camera = openTestCamera(step.message, step.value); c = camera.get(); connect(); break;
        }
        // clang-format on
        if (step.op < Op::Dispose) {
            EXPECT_EQ(error.camera(),
                      std::make_pair(step.code, std::string(step.code == OK ? "" : step.message)));
        }
        if (step.op == Op::Grab || step.op == Op::Readout) {
            EXPECT_EQ(sequence, step.value ? step.value : sequence);
        }
        const bool recording = uca_camera_is_recording(c);
        EXPECT_EQ(recording                        ? Recording_
                  : get<gboolean>(c, "is-readout") ? Readout
                                                   : Idle,
                  step.state);
        EXPECT_EQ(uca_camera_stopped_recording(c), !recording);
        changes += recording != wasRecording && step.op != Op::Recreate;
        wasRecording = recording;
    }
    EXPECT_EQ(notifications, changes);
    EXPECT_EQ(log.messages(), GetParam().warnings);
}

constexpr int NOT_RECORDING = UCA_CAMERA_ERROR_NOT_RECORDING,
              RECORDING = UCA_CAMERA_ERROR_RECORDING, DEVICE = UCA_CAMERA_ERROR_DEVICE,
              END_OF_STREAM = UCA_CAMERA_ERROR_END_OF_STREAM;
const char *const notRecording = "Camera is not recording",
                  *const stillRecording = "Camera is still recording",
                  *const emptyRing = "Ring buffer is empty",
                  *const refusedStop = "Device refused to stop";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Scripts, StateMachine, ::testing::Values(
    Script{"Unbuffered", {
        {Op::Stop, NOT_RECORDING, notRecording, 0, Idle},
        {Op::Grab, NOT_RECORDING, "Camera is neither recording nor in readout mode", 0, Idle},
        {Op::Trigger, NOT_RECORDING, notRecording, 0, Idle},
        {Op::Expect, OK, "triggers", 0, Idle},
        {Op::Readout, NOT_RECORDING, "Camera is not in readout or record mode", 0, Idle},
        {Op::Write, UCA_CAMERA_ERROR_NOT_IMPLEMENTED, "`UcaTestCamera' does not provide a `write' method", 0, Idle},
        {Op::Start, OK, "", 0, Recording_},
        {Op::Start, RECORDING, "Camera is already recording", 0, Recording_},
        {Op::StartReadout, RECORDING, stillRecording, 0, Recording_},
        {Op::StopReadout, RECORDING, stillRecording, 0, Recording_},
        {Op::Trigger, OK, "", 0, Recording_},
        {Op::Expect, OK, "triggers", 1, Recording_},
        {Op::Grab, OK, "", 1, Recording_},
        {Op::Grab, OK, "", 2, Recording_},
        {Op::Set, OK, "num-buffers", 2, Recording_}, // the base's own properties stay while recording
        {Op::Set, OK, "trigger-source", UCA_CAMERA_TRIGGER_SOURCE_EXTERNAL, Recording_},
        {Op::Expect, OK, "num-buffers", 4, Recording_},
        {Op::Expect, OK, "trigger-source", UCA_CAMERA_TRIGGER_SOURCE_AUTO, Recording_},
        {Op::Set, OK, "roi-height", 16, Recording_}, // a subclass decides about those it overrides
        {Op::Expect, OK, "roi-height", 16, Recording_},
        {Op::Stop, OK, "", 0, Idle},
        {Op::Set, OK, "num-buffers", 2, Idle},
        {Op::Expect, OK, "num-buffers", 2, Idle},
        {Op::StartReadout, OK, "", 0, Readout},
        {Op::Readout, OK, "", 7, Readout},
        {Op::Grab, OK, "", 3, Readout}, // readout mode allows grabs
        {Op::Start, OK, "", 0, Recording_}}, // and recording ends it
        std::vector<std::string>(2, "You cannot change properties during data acquisition")},
    Script{"FailingSlots", {
        {Op::Set, OK, "fail-start", 1, Idle},
        {Op::Start, DEVICE, "Device refused to start", 0, Idle},
        {Op::Set, OK, "fail-start", 0, Idle},
        {Op::Start, OK, "", 0, Recording_},
        {Op::Set, OK, "fail-stop", 1, Recording_},
        {Op::Stop, DEVICE, refusedStop, 0, Recording_},
        {Op::Dispose, OK, "", 0, Recording_}, // warns
        {Op::Set, OK, "fail-stop", 0, Recording_},
        {Op::Stop, OK, "", 0, Idle}},
        {std::string("Could not stop recording: ") + refusedStop}},
    Script{"AsynchronousTransferNeedsAGrabFunc", {
        {Op::Set, OK, "transfer-asynchronously", 1, Idle},
        {Op::Start, UCA_CAMERA_ERROR_NO_GRAB_FUNC, "No grab callback function set", 0, Idle}}, {}},
    Script{"DeviceRecordingAtConstructionIsTakenOverAndDisposeStopsIt", {
        {Op::Recreate, OK, "device-recording", 1, Recording_},
        {Op::Start, RECORDING, "Camera is already recording", 0, Recording_},
        {Op::Dispose, OK, "", 0, Idle},
        {Op::Expect, OK, "stops", 1, Idle}}, {}},
    Script{"Buffered", {
        {Op::Set, OK, "buffered", 1, Idle},
        {Op::Grab, END_OF_STREAM, emptyRing, 0, Idle}, // does not wait
        {Op::StartReadout, OK, "", 0, Readout},
        {Op::Readout, RECORDING, "Cannot grab specific frame in buffered mode", 0, Readout},
        {Op::StopReadout, OK, "", 0, Idle},
        {Op::Set, OK, "num-buffers", 0, Idle},
        {Op::Start, DEVICE, "Cannot allocate a ring buffer of 0 frames", 0, Idle},
        {Op::Expect, OK, "stops", 1, Idle}, // the started device is stopped again
        {Op::Set, OK, "num-buffers", 3, Idle},
        {Op::Set, OK, "fail-start", 1, Idle},
        {Op::Start, DEVICE, "Device refused to start", 0, Idle}, // and leaves no read thread
        {Op::Grab, END_OF_STREAM, emptyRing, 0, Idle},
        {Op::Expect, OK, "frames-grabbed", 0, Idle},
        {Op::Set, OK, "fail-start", 0, Idle},
        {Op::Set, OK, "roi-width-at-start", 100, Idle}, // the ring holds frames of the region started
        {Op::Start, OK, "", 0, Recording_},
        {Op::Grab, OK, "", 0, Recording_},
        {Op::Dispose, OK, "", 0, Idle}, // joins the read thread
        {Op::Expect, OK, "stops", 2, Idle}}, {}},
    Script{"FailingReadThreadEndsTheStreamAfterItsFrames", {
        {Op::Set, OK, "buffered", 1, Idle},
        {Op::Set, OK, "fail-grab-after", 2, Idle},
        {Op::Start, OK, "", 0, Recording_},
        {Op::Grab, OK, "", 1, Recording_},
        {Op::Grab, OK, "", 2, Recording_},
        {Op::Grab, DEVICE, "Detector lost", 0, Recording_},
        {Op::Grab, DEVICE, "Detector lost", 0, Recording_}, // the failure stays
        {Op::Stop, OK, "", 0, Idle},
        {Op::Grab, END_OF_STREAM, emptyRing, 0, Idle}}, {}}),
    [](const ::testing::TestParamInfo<Script> &row) { return std::string(row.param.name); });
// clang-format on

TEST_F(Recording, FramesPerSecondIsTheInverseExposureTime)
{
    g_object_set(camera.get(), "exposure-time", 0.25, nullptr);
    EXPECT_DOUBLE_EQ(get<double>(camera.get(), "frames-per-second"), 4.0);
    g_object_set(camera.get(), "frames-per-second", 20.0, nullptr);
    EXPECT_DOUBLE_EQ(get<double>(camera.get(), "exposure-time"), 0.05);
}

TEST_F(Recording, TriggerReachesAGrabWaitingInItsSlotWhileAStopWaitsForIt)
{
    g_object_set(camera.get(), "grab-waits-for-trigger", TRUE, nullptr);
    uca_camera_start_recording(camera.get(), error.out());
    std::atomic<guint32> grabbed{0};
    std::atomic<bool> stopped{false};
    std::thread grabber([&] { grabbed = grabOne(); });
    ASSERT_TRUE(waitUntil([&] { return get<guint>(camera.get(), "waiting-grabs") == 1; }));
    std::thread stopper([&] {
        uca_camera_stop_recording(camera.get(), nullptr);
        stopped = true;
    });
    EXPECT_FALSE(waitUntil([&] { return stopped.load(); }, std::chrono::milliseconds(200)));
    // The slot waits up to 5 s; a trigger blocked behind the grab's or the stop's lock would time
    // it out.
    uca_camera_trigger(camera.get(), nullptr);
    grabber.join();
    stopper.join();
    EXPECT_EQ(grabbed, 1u);
    EXPECT_FALSE(uca_camera_is_recording(camera.get()));
}

TEST_F(Recording, StopWakesAGrabWaitingForTheRing)
{
    g_object_set(camera.get(), "buffered", TRUE, "frame-interval-us", 300000u, nullptr);
    uca_camera_start_recording(camera.get(), error.out());
    std::atomic<bool> returned{false};
    std::thread grabber([&] {
        grabOne();
        returned = true;
    });
    uca_camera_stop_recording(camera.get(), nullptr);
    EXPECT_TRUE(waitUntil([&] { return returned.load(); }, std::chrono::seconds(2)));
    grabber.join();
}

// Triggered frames: the test decides when each frame exists, so whether the reader kept up does
// not depend on timing.
class BufferedRing : public Recording, public ::testing::WithParamInterface<guint> {};

TEST_P(BufferedRing, AReaderThatKeepsUpGetsEveryFrameAndMissedFramesAreCounted)
{
    const guint buffers = GetParam(), missed = 3;
    const char *const dropped = "dropped the oldest unread frame";
    LogCapture log{G_LOG_LEVEL_DEBUG};
    g_object_set(camera.get(), "roi-width", 5u, "roi-height", 3u, "buffered", TRUE, "num-buffers",
                 buffers, "grab-waits-for-trigger", TRUE, nullptr);
    uca_camera_start_recording(camera.get(), error.out());

    // Each frame stays readable while the read thread already waits for the next: one slot too.
    guint32 expected = 1;
    for (; expected <= 4; expected++) {
        uca_camera_trigger(camera.get(), nullptr);
        ASSERT_TRUE(waitUntil([&] {
            return get<guint>(camera.get(), "frames-grabbed") == expected &&
                   get<guint>(camera.get(), "waiting-grabs") == 1;
        }));
        ASSERT_EQ(grabOne(), expected) << error.message();
    }
    EXPECT_EQ(log.count(dropped), 0u);

    // A reader that falls behind loses the oldest frames, each one counted.
    for (guint i = 0; i < buffers + missed; i++)
        uca_camera_trigger(camera.get(), nullptr);
    ASSERT_TRUE(waitUntil([&] { return log.count(dropped) == missed; })) << log.count(dropped);
    expected += missed;
    for (guint i = 0; i < buffers; i++, expected++)
        ASSERT_EQ(grabOne(), expected) << error.message();
    EXPECT_TRUE(log.contains("(3 dropped since recording started)"));

    uca_camera_trigger(camera.get(), nullptr);
    EXPECT_EQ(grabOne(), expected) << "keeps up again";
    EXPECT_EQ(log.count(dropped), missed);
    stopWhileTriggering();
}

INSTANTIATE_TEST_SUITE_P(NumBuffers, BufferedRing, ::testing::Values(1u, 2u, 8u));

} // namespace
} // namespace TessaraVoltTest
