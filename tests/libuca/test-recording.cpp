// SPDX-License-Identifier: LGPL-2.1-or-later
// The recording and readout state machine of uca_camera_*, buffered mode's ring and read thread,
// the lock rules that let a trigger reach a grab waiting in its slot, and UcaRingBuffer.
#include "test-support.h"

#include <uca/uca-ring-buffer.h>

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

    CameraFolder folder;
    CameraPtr camera = openTestCamera();
    Error error;
};

// clang-format off
enum class Op { Start, Stop, StartReadout, StopReadout, Trigger, Grab, Readout, Write, Parse, Dispose, Expect, RecreateRecording };
enum State { Idle, Recording_, Readout };
constexpr int OK = -1, ANY = -3;

struct Step {
    Op op;
    State state;                   // afterwards
    const char *text = "";         // the error's text; Parse, Expect: name=value pairs (Expect: read back as text)
    int code = OK;                 // the camera error expected, OK, or (Parse) ANY error
    guint sequence = 0;            // Grab, Readout: the frame's sequence number (0: any)
    const char *message = nullptr; // Parse: the error's text (nullptr: any)
};
// clang-format on

struct Script {
    const char *name;
    std::vector<Step> steps;
    std::vector<std::string> warnings;
};

void PrintTo(const Script &script, std::ostream *os)
{
    *os << script.name;
}

std::string valueText(gpointer object, const std::string &name)
{
    GValue value = G_VALUE_INIT, text = G_VALUE_INIT;
    g_object_get_property(G_OBJECT(object), name.c_str(), &value);
    g_value_transform(&value, g_value_init(&text, G_TYPE_STRING));
    std::string result = name + "=" + g_value_get_string(&text);
    g_value_unset(&value);
    g_value_unset(&text);
    return result;
}

class StateMachine : public Recording, public ::testing::WithParamInterface<Script> {};

// Runs the steps in turn, checking each call's error and the state after it; is-recording is
// notified on each change and only then, and the warnings are the script's.
TEST_P(StateMachine, Steps)
{
    LogCapture log;
    int notifications = 0, changes = 0, index = 0;
    bool wasRecording = false;
    char byte = 0;
    // Disposing disconnects the handler.
    auto connect = [&] {
        g_signal_connect(camera.get(), "notify::is-recording",
                         G_CALLBACK(+[](GObject *, GParamSpec *, int *count) { ++*count; }),
                         &notifications);
    };
    connect();
    for (const Step &step : GetParam().steps) {
        SCOPED_TRACE("step " + std::to_string(index++));
        UcaCamera *c = camera.get();
        guint32 sequence = 0;
        gchar **arguments = g_strsplit(step.text, " ", -1);
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
        case Op::Parse: EXPECT_EQ(uca_camera_parse_arg_props(c, arguments, g_strv_length(arguments), error.out()), step.code == OK); break;
        case Op::Dispose: g_object_run_dispose(G_OBJECT(c)); connect(); break;
        case Op::Expect: for (gchar **pair = arguments; *pair; pair++) EXPECT_EQ(valueText(c, std::string(*pair).substr(0, std::string(*pair).find('='))), *pair); break;
        case Op::RecreateRecording: camera = openTestCamera("device-recording", TRUE); c = camera.get(); connect(); break;
        }
        // clang-format on
        g_strfreev(arguments);
        if (step.op <= Op::Parse) {
            const auto [code, message] = error.camera();
            EXPECT_TRUE(step.code == ANY ? code != OK : code == step.code)
                << code << " " << message;
            if (step.op != Op::Parse || step.message) {
                EXPECT_EQ(message, step.op == Op::Parse ? step.message
                                   : step.code == OK    ? ""
                                                        : step.text);
            }
        }
        if (step.op == Op::Grab || step.op == Op::Readout) {
            EXPECT_EQ(sequence, step.sequence ? step.sequence : sequence);
        }
        const bool recording = uca_camera_is_recording(c), readout = get<gboolean>(c, "is-readout");
        EXPECT_EQ(recording ? Recording_ : readout ? Readout : Idle, step.state);
        EXPECT_EQ(uca_camera_stopped_recording(c), !recording);
        changes += recording != wasRecording && step.op != Op::RecreateRecording;
        wasRecording = recording;
    }
    g_signal_handlers_disconnect_by_data(camera.get(), &notifications);
    EXPECT_EQ(notifications, changes);
    EXPECT_EQ(log.messages(), GetParam().warnings);
}

constexpr int NOT_RECORDING = UCA_CAMERA_ERROR_NOT_RECORDING,
              RECORDING = UCA_CAMERA_ERROR_RECORDING, DEVICE = UCA_CAMERA_ERROR_DEVICE,
              END_OF_STREAM = UCA_CAMERA_ERROR_END_OF_STREAM,
              NOT_FOUND = UCA_CAMERA_ERROR_NOT_FOUND,
              NOT_IMPLEMENTED = UCA_CAMERA_ERROR_NOT_IMPLEMENTED;
const char *const
    notRecording = "Camera is not recording",
    *const stillRecording = "Camera is still recording", *const emptyRing = "Ring buffer is empty",
    *const refusedStop = "Device refused to stop", *const refusedStart = "Device refused to start",
    *const already = "Camera is already recording";
constexpr State Rec = Recording_;

// clang-format off
INSTANTIATE_TEST_SUITE_P(Scripts, StateMachine, ::testing::Values(
    Script{"Unbuffered", {
        {Op::Stop, Idle, notRecording, NOT_RECORDING},
        {Op::Grab, Idle, "Camera is neither recording nor in readout mode", NOT_RECORDING},
        {Op::Trigger, Idle, notRecording, NOT_RECORDING},
        {Op::Expect, Idle, "triggers=0"},
        {Op::Readout, Idle, "Camera is not in readout or record mode", NOT_RECORDING},
        {Op::Write, Idle, "`UcaTestCamera' does not provide a `write' method", NOT_IMPLEMENTED},
        {Op::Start, Rec},
        {Op::Start, Rec, already, RECORDING},
        {Op::StartReadout, Rec, stillRecording, RECORDING},
        {Op::StopReadout, Rec, stillRecording, RECORDING},
        {Op::Trigger, Rec},
        {Op::Expect, Rec, "triggers=1"},
        {Op::Grab, Rec, "", OK, 1},
        {Op::Grab, Rec, "", OK, 2},
        {Op::Parse, Rec, "num-buffers=2 trigger-source=2"}, // the base's own properties stay while recording
        {Op::Expect, Rec, "num-buffers=4 trigger-source=UCA_CAMERA_TRIGGER_SOURCE_AUTO"},
        {Op::Parse, Rec, "roi-height=16"}, // a subclass decides about those it overrides
        {Op::Expect, Rec, "roi-height=16"},
        {Op::Stop, Idle},
        {Op::Parse, Idle, "num-buffers=2"},
        {Op::Expect, Idle, "num-buffers=2"},
        {Op::StartReadout, Readout},
        {Op::Readout, Readout, "", OK, 7},
        {Op::Grab, Readout, "", OK, 3}, // readout mode allows grabs
        {Op::Start, Rec}}, // and recording ends it
        std::vector<std::string>(2, "You cannot change properties during data acquisition")},
    Script{"FailingSlots", {
        {Op::Parse, Idle, "fail-start=1"},
        {Op::Start, Idle, refusedStart, DEVICE},
        {Op::Parse, Idle, "fail-start=0"},
        {Op::Start, Rec},
        {Op::Parse, Rec, "fail-stop=1"},
        {Op::Stop, Rec, refusedStop, DEVICE},
        {Op::Dispose, Rec}, // warns
        {Op::Parse, Rec, "fail-stop=0"},
        {Op::Stop, Idle}},
        {std::string("Could not stop recording: ") + refusedStop}},
    Script{"DeviceRecordingAtConstructionIsTakenOverAndDisposeStopsIt", {
        {Op::RecreateRecording, Rec},
        {Op::Start, Rec, already, RECORDING},
        {Op::Dispose, Idle},
        {Op::Expect, Idle, "stops=1"}}, {}},
    Script{"Buffered", {
        {Op::Parse, Idle, "buffered=TRUE"},
        {Op::Grab, Idle, emptyRing, END_OF_STREAM}, // does not wait
        {Op::StartReadout, Readout},
        {Op::Readout, Readout, "Cannot grab specific frame in buffered mode", RECORDING},
        {Op::StopReadout, Idle},
        {Op::Parse, Idle, "num-buffers=0"},
        {Op::Start, Idle, "Cannot allocate a ring buffer of 0 frames", DEVICE},
        {Op::Expect, Idle, "stops=1"}, // the started device is stopped again
        {Op::Parse, Idle, "num-buffers=3 fail-start=1"},
        {Op::Start, Idle, refusedStart, DEVICE}, // and leaves no read thread
        {Op::Grab, Idle, emptyRing, END_OF_STREAM},
        {Op::Expect, Idle, "frames-grabbed=0"},
        {Op::Parse, Idle, "fail-start=0 roi-width-at-start=1000"}, // the ring holds frames of the region started
        {Op::Start, Rec},
        {Op::Grab, Rec},
        {Op::Dispose, Idle}, // joins the read thread
        {Op::Expect, Idle, "stops=2"}}, {}},
    Script{"FailingReadThreadEndsTheStreamAfterItsFrames", {
        {Op::Parse, Idle, "buffered=TRUE fail-grab-after=2"},
        {Op::Start, Rec},
        {Op::Grab, Rec, "", OK, 1},
        {Op::Grab, Rec, "", OK, 2},
        {Op::Grab, Rec, "Detector lost", DEVICE},
        {Op::Grab, Rec, "Detector lost", DEVICE}, // the failure stays
        {Op::Stop, Idle},
        {Op::Grab, Idle, emptyRing, END_OF_STREAM}}, {}},
    Script{"ParseArgs", {
        {Op::Parse, Idle, ""},
        {Op::Parse, Idle, "roi-width=17 exposure-time=0.25 num-buffers=6"},
        {Op::Expect, Idle, "frames-per-second=4.000000"}, // the inverse exposure time
        {Op::Parse, Idle, "frames-per-second=20"},
        {Op::Expect, Idle, "exposure-time=0.050000"},
        {Op::Parse, Idle, "buffered=TRUE transfer-asynchronously=trueish"},
        {Op::Expect, Idle, "buffered=TRUE transfer-asynchronously=TRUE"},
        {Op::Parse, Idle, "buffered=yes transfer-asynchronously=1"},
        {Op::Expect, Idle, "buffered=FALSE transfer-asynchronously=FALSE"},
        {Op::Parse, Idle, "trigger-source=UCA_CAMERA_TRIGGER_SOURCE_SOFTWARE trigger-type=1"},
        {Op::Expect, Idle, "trigger-source=UCA_CAMERA_TRIGGER_SOURCE_SOFTWARE trigger-type=UCA_CAMERA_TRIGGER_TYPE_LEVEL"},
        {Op::Parse, Idle, "trigger-source=2"},
        {Op::Expect, Idle, "trigger-source=UCA_CAMERA_TRIGGER_SOURCE_EXTERNAL"},
        {Op::Parse, Idle, "trigger-source=software", NOT_FOUND, 0, "Enum value `software' does not exist for `trigger-source'"},
        {Op::Parse, Idle, "trigger-source=7", NOT_FOUND, 0, "Enum value `7' does not exist for `trigger-source'"},
        {Op::Expect, Idle, "trigger-source=UCA_CAMERA_TRIGGER_SOURCE_EXTERNAL"},
        {Op::Parse, Idle, "roi-width=9 no-such-thing=1 roi-height=9", NOT_IMPLEMENTED, 0, "No property `no-such-thing' found"},
        {Op::Expect, Idle, "roi-width=9 roi-height=480"}, // the list stops at the unknown property
        {Op::Parse, Idle, "sensor-width=10", NOT_IMPLEMENTED},
        {Op::Parse, Idle, "roi-width=12abc", ANY},
        {Op::Parse, Idle, "roi-width=", ANY},
        {Op::Parse, Idle, "roi-width=0", ANY},
        {Op::Parse, Idle, "roi-width=-3", ANY},
        {Op::Parse, Idle, "roi-width", ANY},
        {Op::Parse, Idle, "exposure-time=fast", ANY},
        {Op::Parse, Idle, "exposure-time=-1", ANY},
        {Op::Parse, Idle, "num-buffers=4294967296", ANY},
        {Op::Expect, Idle, "roi-width=9 exposure-time=0.050000 num-buffers=6"}}, {}}),
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
    EXPECT_EQ(log.count("(3 dropped since recording started)"), 1u);

    uca_camera_trigger(camera.get(), nullptr);
    EXPECT_EQ(grabOne(), expected) << "keeps up again";
    EXPECT_EQ(log.count(dropped), missed);
    // The read thread waits in the grab slot for a trigger, and stop joins it.
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

INSTANTIATE_TEST_SUITE_P(NumBuffers, BufferedRing, ::testing::Values(1u, 2u, 8u));

// UcaRingBuffer, which cameras use to stage frames: its two ever-growing indices over a small ring,
// and the criticals that replace bad pointers.
using RingPtr = std::unique_ptr<UcaRingBuffer, GObjectUnref>;

constexpr gsize blockSize = 8;
constexpr guint nBlocks = 3;

enum class RingOp { Write, Read, Peek, PointerAtOne, Reset };

struct RingStep {
    RingOp op;
    int block;          // block the call returns (-1: none)
    bool available;     // uca_ring_buffer_available() afterwards
    guint filledBlocks; // uca_ring_buffer_get_num_blocks() afterwards
};

TEST(RingBuffer, IndicesWrapAroundTheBlocksAndResetToZero)
{
    // clang-format off
    const RingStep steps[] = {
        {RingOp::Peek, 0, false, 0}, {RingOp::Write, 0, true, 1}, {RingOp::Write, 1, true, 2},
        {RingOp::Read, 0, true, 2}, {RingOp::PointerAtOne, 2, true, 2}, // counted from the read index
        {RingOp::Write, 2, true, 3}, {RingOp::Write, 0, true, 3}, // the writer does not wait for the reader
        {RingOp::Read, 1, true, 3}, {RingOp::Read, 2, true, 3}, {RingOp::Read, 0, false, 3},
        {RingOp::Peek, 1, false, 3}, {RingOp::Reset, -1, false, 0}, {RingOp::Peek, 0, false, 0},
        {RingOp::Write, 0, true, 1}, {RingOp::Read, 0, false, 1},
    };
    // clang-format on
    RingPtr ring(uca_ring_buffer_new(blockSize, nBlocks));
    UcaRingBuffer *r = ring.get();
    EXPECT_EQ(get<guint64>(r, "block-size"), blockSize);
    EXPECT_EQ(get<guint>(r, "num-blocks"), nBlocks);
    auto *base = static_cast<guint8 *>(uca_ring_buffer_peek_pointer(r));
    ASSERT_NE(base, nullptr);
    int index = 0;
    for (const RingStep &step : steps) {
        SCOPED_TRACE("step " + std::to_string(index++));
        gpointer block = nullptr;
        // clang-format off
        switch (step.op) {
        case RingOp::Write: block = uca_ring_buffer_get_write_pointer(r); uca_ring_buffer_write_advance(r); break;
        case RingOp::Read: block = uca_ring_buffer_get_read_pointer(r); break;
        case RingOp::Peek: block = uca_ring_buffer_peek_pointer(r); break;
        case RingOp::PointerAtOne: block = uca_ring_buffer_get_pointer(r, 1); break;
        case RingOp::Reset: uca_ring_buffer_reset(r); break;
        }
        // clang-format on
        EXPECT_EQ(block ? int((static_cast<guint8 *>(block) - base) / blockSize) : -1, step.block);
        EXPECT_EQ(uca_ring_buffer_available(r), step.available);
        EXPECT_EQ(uca_ring_buffer_get_num_blocks(r), step.filledBlocks);
    }
}

TEST(RingBuffer, BadCallsGiveCriticalsInsteadOfPointers)
{
    RingPtr ring(uca_ring_buffer_new(blockSize, nBlocks));
    RingPtr empty(uca_ring_buffer_new(0, 0));
    gpointer first = uca_ring_buffer_peek_pointer(ring.get());
    LogCapture log;

    EXPECT_EQ(uca_ring_buffer_get_read_pointer(ring.get()), nullptr);
    EXPECT_EQ(log.messages().size(), 1u) << "a critical on an empty read";
    uca_ring_buffer_write_advance(ring.get());
    EXPECT_EQ(uca_ring_buffer_get_read_pointer(ring.get()), first) << "the read index did not move";
    EXPECT_EQ(uca_ring_buffer_get_write_pointer(empty.get()), nullptr);
    EXPECT_EQ(uca_ring_buffer_get_pointer(empty.get(), 0), nullptr);
    EXPECT_FALSE(uca_ring_buffer_available(nullptr));
    EXPECT_EQ(log.messages().size(), 4u);
}

} // namespace
} // namespace TessaraVoltTest
