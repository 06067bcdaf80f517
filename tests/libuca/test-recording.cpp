// SPDX-License-Identifier: LGPL-2.1-or-later
// The recording and readout state machine of uca_camera_*, buffered mode's ring and read thread,
// and the lock rules that let a trigger reach a grab waiting in its slot.
#include "test-support.h"

#include <atomic>
#include <cstring>
#include <thread>

namespace TessaraVoltTest {
namespace {

constexpr int OK = -1;
constexpr guint8 guard = 0xA5;

class Recording : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(camera); }
    void TearDown() override
    {
        if (camera && uca_camera_is_recording(camera.get()))
            uca_camera_stop_recording(camera.get(), nullptr);
    }

    // Grabs (or reads out) one frame of the current region into a buffer with guard bytes behind
    // it, and checks that exactly the frame was written; its sequence number, or 0 on failure.
    guint32 grabOne(bool readout = false)
    {
        const size_t size =
            get<guint>(camera.get(), "roi-width") * get<guint>(camera.get(), "roi-height") * 2;
        std::vector<guint8> buffer(size + 16, guard);
        if (!(readout ? uca_camera_readout(camera.get(), buffer.data(), 7, error.out())
                      : uca_camera_grab(camera.get(), buffer.data(), error.out())))
            return 0;
        guint32 sequence = 0;
        std::memcpy(&sequence, buffer.data(), sizeof(sequence));
        EXPECT_EQ(buffer[size - 1], sequence & 0xff) << "frame copied whole";
        EXPECT_EQ(std::vector<guint8>(buffer.begin() + size, buffer.end()),
                  std::vector<guint8>(16, guard));
        return sequence;
    }

    // The read thread waits in the grab slot for a trigger, and stop joins it.
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
    Set,
    Expect,
    GrabFunc
};
enum State { Idle, Recording_, Readout };

struct Step {
    Op op;
    int code;            // the camera error expected, or OK
    const char *message; // its text; for Set and Expect: the property
    guint value;         // Set/Expect: the value; Grab/Readout: the frame's sequence (0: any)
    State state;         // afterwards
};

struct Script {
    const char *name;
    std::vector<Step> steps;
};

void PrintTo(const Script &script, std::ostream *os)
{
    *os << script.name;
}

void countNotification(GObject *, GParamSpec *, gpointer counter)
{
    ++*static_cast<int *>(counter);
}

void ignoreFrame(gpointer, gpointer) {}

class StateMachine : public Recording, public ::testing::WithParamInterface<Script> {};

// Runs the steps in turn: each call's error and the state after it; is-recording is notified on
// each change and only then.
TEST_P(StateMachine, Steps)
{
    int notifications = 0, changes = 0;
    g_signal_connect(camera.get(), "notify::is-recording", G_CALLBACK(countNotification),
                     &notifications);
    bool wasRecording = false;
    int index = 0;
    for (const Step &step : GetParam().steps) {
        SCOPED_TRACE("step " + std::to_string(index++));
        UcaCamera *c = camera.get();
        guint32 sequence = 0;
        error.out();
        switch (step.op) {
        case Op::Start:
            uca_camera_start_recording(c, error.out());
            break;
        case Op::Stop:
            uca_camera_stop_recording(c, error.out());
            break;
        case Op::StartReadout:
            uca_camera_start_readout(c, error.out());
            break;
        case Op::StopReadout:
            uca_camera_stop_readout(c, error.out());
            break;
        case Op::Trigger:
            uca_camera_trigger(c, error.out());
            break;
        case Op::Grab:
            sequence = grabOne();
            break;
        case Op::Readout:
            sequence = grabOne(true);
            break;
        case Op::Set:
            g_object_set(c, step.message, step.value, nullptr);
            break;
        case Op::Expect:
            EXPECT_EQ(get<guint>(c, step.message), step.value) << step.message;
            break;
        case Op::GrabFunc:
            uca_camera_set_grab_func(c, ignoreFrame, nullptr);
            break;
        }
        if (step.op != Op::Set && step.op != Op::Expect) {
            EXPECT_EQ(error.camera(),
                      std::make_pair(step.code, std::string(step.code == OK ? "" : step.message)));
        }
        if ((step.op == Op::Grab || step.op == Op::Readout) && step.code == OK && step.value != 0) {
            EXPECT_EQ(sequence, step.value);
        }
        const bool recording = uca_camera_is_recording(c);
        EXPECT_EQ(recording                        ? Recording_
                  : get<gboolean>(c, "is-readout") ? Readout
                                                   : Idle,
                  step.state);
        EXPECT_EQ(uca_camera_stopped_recording(c), !recording);
        changes += recording != wasRecording;
        wasRecording = recording;
    }
    EXPECT_EQ(notifications, changes);
}

constexpr int NOT_RECORDING = UCA_CAMERA_ERROR_NOT_RECORDING,
              RECORDING = UCA_CAMERA_ERROR_RECORDING, DEVICE = UCA_CAMERA_ERROR_DEVICE,
              END_OF_STREAM = UCA_CAMERA_ERROR_END_OF_STREAM;
const char *const refusedStart = "Device refused to start";
const char *const emptyRing = "Ring buffer is empty";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Scripts, StateMachine, ::testing::Values(
    Script{"Unbuffered", {
        {Op::Stop, NOT_RECORDING, "Camera is not recording", 0, Idle},
        {Op::Grab, NOT_RECORDING, "Camera is neither recording nor in readout mode", 0, Idle},
        {Op::Trigger, NOT_RECORDING, "Camera is not recording", 0, Idle},
        {Op::Readout, NOT_RECORDING, "Camera is not in readout or record mode", 0, Idle},
        {Op::Start, OK, "", 0, Recording_},
        {Op::Start, RECORDING, "Camera is already recording", 0, Recording_},
        {Op::StartReadout, RECORDING, "Camera is still recording", 0, Recording_},
        {Op::StopReadout, RECORDING, "Camera is still recording", 0, Recording_},
        {Op::Expect, OK, "triggers", 0, Recording_},
        {Op::Trigger, OK, "", 0, Recording_},
        {Op::Expect, OK, "triggers", 1, Recording_},
        {Op::Grab, OK, "", 1, Recording_},
        {Op::Grab, OK, "", 2, Recording_},
        {Op::Stop, OK, "", 0, Idle},
        {Op::StartReadout, OK, "", 0, Readout},
        {Op::Readout, OK, "", 7, Readout},
        {Op::Grab, OK, "", 3, Readout}, // readout mode allows grabs
        {Op::Start, OK, "", 0, Recording_}}}, // and recording ends it
    Script{"FailingSlots", {
        {Op::Set, OK, "fail-start", 1, Idle},
        {Op::Start, DEVICE, refusedStart, 0, Idle},
        {Op::Set, OK, "fail-start", 0, Idle},
        {Op::Start, OK, "", 0, Recording_},
        {Op::Set, OK, "fail-stop", 1, Recording_},
        {Op::Stop, DEVICE, "Device refused to stop", 0, Recording_},
        {Op::Set, OK, "fail-stop", 0, Recording_},
        {Op::Stop, OK, "", 0, Idle}}},
    Script{"AsynchronousTransferNeedsAGrabFunc", {
        {Op::Set, OK, "transfer-asynchronously", 1, Idle},
        {Op::Start, UCA_CAMERA_ERROR_NO_GRAB_FUNC, "No grab callback function set", 0, Idle},
        {Op::GrabFunc, OK, "", 0, Idle},
        {Op::Start, OK, "", 0, Recording_}}},
    Script{"Buffered", {
        {Op::Set, OK, "buffered", 1, Idle},
        {Op::Grab, END_OF_STREAM, emptyRing, 0, Idle}, // does not wait
        {Op::StartReadout, OK, "", 0, Readout},
        {Op::Readout, RECORDING, "Cannot grab specific frame in buffered mode", 0, Readout},
        {Op::StopReadout, OK, "", 0, Idle},
        {Op::Set, OK, "num-buffers", 0, Idle},
        {Op::Start, DEVICE, "Cannot allocate a ring buffer of 0 frames", 0, Idle},
        {Op::Set, OK, "num-buffers", 3, Idle},
        {Op::Set, OK, "fail-start", 1, Idle},
        {Op::Start, DEVICE, refusedStart, 0, Idle}, // and leaves no read thread
        {Op::Grab, END_OF_STREAM, emptyRing, 0, Idle},
        {Op::Expect, OK, "frames-grabbed", 0, Idle},
        {Op::Set, OK, "fail-start", 0, Idle},
        // The ring holds frames of the region the camera took as it started.
        {Op::Set, OK, "roi-width-at-start", 100, Idle},
        {Op::Start, OK, "", 0, Recording_},
        {Op::Grab, OK, "", 0, Recording_}}},
    Script{"FailingReadThreadEndsTheStreamAfterItsFrames", {
        {Op::Set, OK, "buffered", 1, Idle},
        {Op::Set, OK, "fail-grab-after", 2, Idle},
        {Op::Start, OK, "", 0, Recording_},
        {Op::Grab, OK, "", 1, Recording_},
        {Op::Grab, OK, "", 2, Recording_},
        {Op::Grab, DEVICE, "Detector lost", 0, Recording_},
        {Op::Grab, DEVICE, "Detector lost", 0, Recording_}, // the failure stays
        {Op::Stop, OK, "", 0, Idle}}}),
    [](const ::testing::TestParamInfo<Script> &row) { return std::string(row.param.name); });
// clang-format on

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
    // The slot waits up to 5 s; a trigger blocked behind the grab's or the stop's lock would
    // time it out.
    uca_camera_trigger(camera.get(), nullptr);
    grabber.join();
    stopper.join();
    EXPECT_EQ(grabbed, 1u);
    EXPECT_FALSE(uca_camera_is_recording(camera.get()));
}

class Buffered : public Recording {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(camera);
        g_object_set(camera.get(), "roi-width", 5u, "roi-height", 3u, "buffered", TRUE,
                     "num-buffers", 3u, "frame-interval-us", 200u, nullptr);
    }
};

TEST_F(Buffered, HandsFramesOverInOrderAndStopsCleanly)
{
    uca_camera_start_recording(camera.get(), error.out());
    ASSERT_EQ(error.get(), nullptr) << error.message();
    guint32 previous = 0;
    for (int i = 0; i < 30; i++) {
        const guint32 sequence = grabOne();
        ASSERT_GT(sequence, previous) << error.message();
        previous = sequence;
    }
    uca_camera_stop_recording(camera.get(), error.out());
    EXPECT_EQ(error.get(), nullptr) << error.message();
    const guint grabbedAtStop = get<guint>(camera.get(), "frames-grabbed");
    EXPECT_EQ(grabOne(), 0u);
    EXPECT_EQ(error.camera(), std::make_pair(END_OF_STREAM, std::string(emptyRing)));
    EXPECT_EQ(get<guint>(camera.get(), "frames-grabbed"), grabbedAtStop) << "the read thread ended";
}

TEST_F(Buffered, StopWakesAWaitingGrab)
{
    g_object_set(camera.get(), "frame-interval-us", 300000u, nullptr);
    uca_camera_start_recording(camera.get(), error.out());
    std::atomic<bool> returned{false};
    std::thread grabber([&] {
        std::vector<guint8> frame(5 * 3 * 2);
        uca_camera_grab(camera.get(), frame.data(), nullptr);
        returned = true;
    });
    uca_camera_stop_recording(camera.get(), error.out());
    EXPECT_TRUE(waitUntil([&] { return returned.load(); }, std::chrono::seconds(2)));
    grabber.join();
    EXPECT_EQ(grabOne(), 0u);
    EXPECT_TRUE(error.is(UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_END_OF_STREAM));
}

TEST_F(Buffered, ConcurrentStartsStopsAndGrabsStayConsistent)
{
    g_object_set(camera.get(), "frame-interval-us", 0u, nullptr);
    auto cycle = [&] {
        std::vector<guint8> frame(5 * 3 * 2);
        for (int i = 0; i < 200; i++) {
            uca_camera_start_recording(camera.get(), nullptr);
            uca_camera_grab(camera.get(), frame.data(), nullptr);
            uca_camera_stop_recording(camera.get(), nullptr);
        }
    };
    std::thread first(cycle), second(cycle);
    first.join();
    second.join();
    EXPECT_FALSE(uca_camera_is_recording(camera.get()));
    EXPECT_EQ(grabOne(), 0u);
    EXPECT_TRUE(error.is(UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_END_OF_STREAM));
}

// Triggered frames: the test decides when each frame exists, so whether the reader kept up does
// not depend on timing.
class BufferedRing : public Buffered, public ::testing::WithParamInterface<guint> {
protected:
    LogCapture log{G_LOG_LEVEL_DEBUG};
};

TEST_P(BufferedRing, AReaderThatKeepsUpGetsEveryFrameAndMissedFramesAreCounted)
{
    const guint buffers = GetParam(), missed = 3;
    const char *const dropped = "dropped the oldest unread frame";
    g_object_set(camera.get(), "num-buffers", buffers, "frame-interval-us", 0u,
                 "grab-waits-for-trigger", TRUE, nullptr);
    uca_camera_start_recording(camera.get(), error.out());
    ASSERT_EQ(error.get(), nullptr) << error.message();

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
