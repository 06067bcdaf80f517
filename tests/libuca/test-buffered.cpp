// SPDX-License-Identifier: LGPL-2.1-or-later
// Buffered mode: libuca's read thread fills a ring from the grab slot and
// uca_camera_grab() hands frames over in order, without ever hanging.
#include "test-support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace TessaraVoltTest {
namespace {

class Buffered : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(camera);
        // 5 x 3 pixels of 16 bits: 30 bytes a frame.
        g_object_set(camera.get(), "roi-width", 5u, "roi-height", 3u, "buffered", TRUE,
                     "num-buffers", 3u, "frame-interval-us", 200u, nullptr);
    }
    void TearDown() override
    {
        if (camera && uca_camera_is_recording(camera.get()))
            uca_camera_stop_recording(camera.get(), nullptr);
    }

    static constexpr gsize frameSize = 5 * 3 * 2;
    static constexpr guint8 guard = 0xA5;

    // Grabs one frame into a buffer with guard bytes behind it; returns its sequence
    // number, or 0 on failure.
    guint32 grabOne()
    {
        std::vector<guint8> buffer(frameSize + 16, guard);
        if (!uca_camera_grab(camera.get(), buffer.data(), error.out()))
            return 0;
        for (gsize i = frameSize; i < buffer.size(); i++)
            EXPECT_EQ(buffer[i], guard) << "grab wrote past the frame at byte " << i;
        guint32 sequence = 0;
        std::memcpy(&sequence, buffer.data(), sizeof(sequence));
        EXPECT_EQ(buffer[frameSize - 1], sequence & 0xff) << "frame copied whole";
        return sequence;
    }

    CameraFolder folder{{TEST_CAMERA_MODULE}};
    CameraPtr camera = openTestCamera(folder);
    Error error;
};

TEST_F(Buffered, HandsFramesOverInOrderAndStopsCleanly)
{
    uca_camera_start_recording(camera.get(), error.out());
    ASSERT_EQ(error.get(), nullptr) << error.message();

    guint32 previous = 0;
    for (int i = 0; i < 30; i++) {
        const guint32 sequence = grabOne();
        ASSERT_NE(sequence, 0u) << error.message();
        EXPECT_GT(sequence, previous);
        previous = sequence;
    }

    uca_camera_stop_recording(camera.get(), error.out());
    EXPECT_EQ(error.get(), nullptr) << error.message();
    const guint grabbedAtStop = getUint(camera.get(), "frames-grabbed");

    EXPECT_EQ(grabOne(), 0u);
    EXPECT_TRUE(error.is(UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_END_OF_STREAM));
    EXPECT_EQ(error.message(), "Ring buffer is empty");
    EXPECT_EQ(getUint(camera.get(), "frames-grabbed"), grabbedAtStop)
        << "the read thread has ended";
}

TEST_F(Buffered, AFullRingKeepsTheNewestFrames)
{
    uca_camera_start_recording(camera.get(), error.out());
    ASSERT_TRUE(waitUntil([&] { return getUint(camera.get(), "frames-grabbed") >= 12; }));

    const guint32 first = grabOne();
    EXPECT_GE(first, 12u - 3u) << "at most three frames are held";
    EXPECT_GT(grabOne(), first);
}

TEST_F(Buffered, AFailingReadThreadEndsTheStreamAfterItsFrames)
{
    g_object_set(camera.get(), "fail-grab-after", 2u, nullptr);
    uca_camera_start_recording(camera.get(), error.out());

    EXPECT_EQ(grabOne(), 1u);
    EXPECT_EQ(grabOne(), 2u);
    EXPECT_EQ(grabOne(), 0u);
    EXPECT_TRUE(error.is(UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_DEVICE));
    EXPECT_EQ(error.message(), "Detector lost");
    EXPECT_EQ(grabOne(), 0u) << "the failure stays";

    uca_camera_stop_recording(camera.get(), error.out());
    EXPECT_EQ(error.get(), nullptr) << error.message();
}

TEST_F(Buffered, StopWakesAWaitingGrab)
{
    g_object_set(camera.get(), "frame-interval-us", 300000u, nullptr);
    uca_camera_start_recording(camera.get(), error.out());

    std::atomic<bool> returned{false};
    std::thread grabber([&] {
        std::vector<guint8> frame(frameSize);
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
        std::vector<guint8> frame(frameSize);
        for (int i = 0; i < 200; i++) {
            uca_camera_start_recording(camera.get(), nullptr);
            uca_camera_grab(camera.get(), frame.data(), nullptr);
            uca_camera_stop_recording(camera.get(), nullptr);
        }
    };
    std::thread first(cycle);
    std::thread second(cycle);
    first.join();
    second.join();

    EXPECT_FALSE(uca_camera_is_recording(camera.get()));
    EXPECT_EQ(grabOne(), 0u);
    EXPECT_TRUE(error.is(UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_END_OF_STREAM));
}

TEST_F(Buffered, GrabWithoutRecordingDoesNotWait)
{
    EXPECT_EQ(grabOne(), 0u);
    EXPECT_TRUE(error.is(UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_END_OF_STREAM));
}

TEST_F(Buffered, RingWithoutBuffersIsRefused)
{
    g_object_set(camera.get(), "num-buffers", 0u, nullptr);
    uca_camera_start_recording(camera.get(), error.out());

    EXPECT_TRUE(error.is(UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_DEVICE)) << error.message();
    EXPECT_FALSE(uca_camera_is_recording(camera.get()));
    EXPECT_EQ(getUint(camera.get(), "frames-grabbed"), 0u);
}

// A camera may take another region as it starts (one rounded to its hardware's steps, say): the
// ring holds frames of the region it records.
TEST_F(Buffered, RingHoldsTheRegionTheCameraStartedWith)
{
    g_object_set(camera.get(), "roi-width-at-start", 10u, nullptr);
    uca_camera_start_recording(camera.get(), error.out());
    ASSERT_EQ(error.get(), nullptr) << error.message();
    std::vector<guint8> frame(10 * 3 * 2, guard);
    ASSERT_TRUE(uca_camera_grab(camera.get(), frame.data(), error.out())) << error.message();
    guint32 sequence = 0;
    std::memcpy(&sequence, frame.data(), sizeof(sequence));
    EXPECT_EQ(frame.back(), sequence & 0xff) << "the frame was cut to the region set before";
}

TEST_F(Buffered, ASlotThatFailsToStartLeavesNoReadThread)
{
    g_object_set(camera.get(), "fail-start", TRUE, nullptr);
    uca_camera_start_recording(camera.get(), error.out());
    ASSERT_TRUE(error.is(UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_DEVICE));

    EXPECT_EQ(grabOne(), 0u);
    EXPECT_TRUE(error.is(UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_END_OF_STREAM));
    EXPECT_EQ(getUint(camera.get(), "frames-grabbed"), 0u);
}

// Triggered frames: the test decides when each frame exists, so whether the reader kept
// up does not depend on timing.
class BufferedRing : public Buffered, public ::testing::WithParamInterface<guint> {
protected:
    size_t dropMessages() const
    {
        const auto all = log.messages();
        return std::count_if(all.begin(), all.end(), [](const std::string &message) {
            return message.find("dropped the oldest unread frame") != std::string::npos;
        });
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

    LogCapture log{G_LOG_LEVEL_DEBUG};
};

TEST_P(BufferedRing, AReaderThatKeepsUpGetsEveryFrameAndMissedFramesAreCounted)
{
    const guint buffers = GetParam();
    const guint missed = 3;
    g_object_set(camera.get(), "num-buffers", buffers, "frame-interval-us", 0u,
                 "grab-waits-for-trigger", TRUE, nullptr);
    uca_camera_start_recording(camera.get(), error.out());
    ASSERT_EQ(error.get(), nullptr) << error.message();

    // Each frame stays readable while the read thread already waits for the next one:
    // the single slot too.
    guint32 expected = 1;
    for (; expected <= 4; expected++) {
        uca_camera_trigger(camera.get(), nullptr);
        ASSERT_TRUE(waitUntil([&] {
            return getUint(camera.get(), "frames-grabbed") == expected &&
                   getUint(camera.get(), "waiting-grabs") == 1;
        }));
        ASSERT_EQ(grabOne(), expected) << error.message();
    }
    EXPECT_EQ(dropMessages(), 0u);

    // A reader that falls behind loses the oldest frames, each one counted.
    for (guint i = 0; i < buffers + missed; i++)
        uca_camera_trigger(camera.get(), nullptr);
    ASSERT_TRUE(waitUntil([&] { return dropMessages() == missed; })) << dropMessages();
    expected += missed;
    for (guint i = 0; i < buffers; i++, expected++)
        ASSERT_EQ(grabOne(), expected) << error.message();
    EXPECT_TRUE(log.contains("(3 dropped since recording started)"));

    uca_camera_trigger(camera.get(), nullptr);
    EXPECT_EQ(grabOne(), expected) << "keeps up again";
    EXPECT_EQ(dropMessages(), missed);
    stopWhileTriggering();
}

INSTANTIATE_TEST_SUITE_P(NumBuffers, BufferedRing, ::testing::Values(1u, 2u, 8u));

} // namespace
} // namespace TessaraVoltTest
