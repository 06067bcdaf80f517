// SPDX-License-Identifier: LGPL-2.1-or-later
// The recording and readout state machine of uca_camera_*, and the lock rule that lets a
// trigger reach a grab that waits in its slot.
#include "test-support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace TessaraVoltTest {
namespace {

class Recording : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(camera); }
    void TearDown() override
    {
        if (camera && uca_camera_is_recording(camera.get()))
            uca_camera_stop_recording(camera.get(), nullptr);
    }

    guint32 sequenceOf(const std::vector<guint8> &frame) const
    {
        guint32 sequence = 0;
        std::memcpy(&sequence, frame.data(), sizeof(sequence));
        return sequence;
    }

    std::vector<guint8> frameBuffer() const
    {
        return std::vector<guint8>(getUint(camera.get(), "roi-width") *
                                   getUint(camera.get(), "roi-height") * 2);
    }

    CameraFolder folder{{TEST_CAMERA_MODULE}};
    CameraPtr camera = openTestCamera(folder);
    Error error;
};

TEST_F(Recording, StartAndStopFollowTheStateMachine)
{
    uca_camera_stop_recording(camera.get(), error.out());
    EXPECT_TRUE(error.is(UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_NOT_RECORDING));
    EXPECT_EQ(error.message(), "Camera is not recording");
    EXPECT_TRUE(uca_camera_stopped_recording(camera.get()));

    uca_camera_start_recording(camera.get(), error.out());
    ASSERT_EQ(error.get(), nullptr) << error.message();
    EXPECT_TRUE(uca_camera_is_recording(camera.get()));
    EXPECT_FALSE(uca_camera_stopped_recording(camera.get()));

    uca_camera_start_recording(camera.get(), error.out());
    EXPECT_TRUE(error.is(UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_RECORDING));
    EXPECT_EQ(error.message(), "Camera is already recording");

    uca_camera_stop_recording(camera.get(), error.out());
    EXPECT_EQ(error.get(), nullptr) << error.message();
    EXPECT_FALSE(uca_camera_is_recording(camera.get()));
    EXPECT_TRUE(uca_camera_stopped_recording(camera.get()));
}

void countNotification(GObject *, GParamSpec *, gpointer counter)
{
    ++*static_cast<int *>(counter);
}

TEST_F(Recording, StartAndStopNotifyIsRecording)
{
    int notifications = 0;
    g_signal_connect(camera.get(), "notify::is-recording", G_CALLBACK(countNotification),
                     &notifications);

    uca_camera_start_recording(camera.get(), error.out());
    EXPECT_EQ(notifications, 1);
    uca_camera_start_recording(camera.get(), error.out());
    EXPECT_EQ(notifications, 1) << "a refused start changes nothing";
    uca_camera_stop_recording(camera.get(), error.out());
    EXPECT_EQ(notifications, 2);
}

TEST_F(Recording, SlotErrorsPropagateAndLeaveTheState)
{
    g_object_set(camera.get(), "fail-start", TRUE, nullptr);
    uca_camera_start_recording(camera.get(), error.out());
    EXPECT_TRUE(error.is(UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_DEVICE));
    EXPECT_EQ(error.message(), "Device refused to start");
    EXPECT_FALSE(uca_camera_is_recording(camera.get()));

    g_object_set(camera.get(), "fail-start", FALSE, "fail-stop", TRUE, nullptr);
    uca_camera_start_recording(camera.get(), error.out());
    ASSERT_EQ(error.get(), nullptr);
    uca_camera_stop_recording(camera.get(), error.out());
    EXPECT_EQ(error.message(), "Device refused to stop");
    EXPECT_TRUE(uca_camera_is_recording(camera.get()));

    g_object_set(camera.get(), "fail-stop", FALSE, nullptr);
    uca_camera_stop_recording(camera.get(), error.out());
    EXPECT_EQ(error.get(), nullptr) << error.message();
}

void ignoreFrame(gpointer, gpointer) {}

TEST_F(Recording, AsynchronousTransferNeedsAGrabFunc)
{
    g_object_set(camera.get(), "transfer-asynchronously", TRUE, nullptr);
    uca_camera_start_recording(camera.get(), error.out());
    EXPECT_TRUE(error.is(UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_NO_GRAB_FUNC));
    EXPECT_EQ(error.message(), "No grab callback function set");
    EXPECT_FALSE(uca_camera_is_recording(camera.get()));

    uca_camera_set_grab_func(camera.get(), ignoreFrame, nullptr);
    uca_camera_start_recording(camera.get(), error.out());
    EXPECT_EQ(error.get(), nullptr) << error.message();
}

TEST_F(Recording, GrabAndTriggerNeedARecordingCamera)
{
    auto frame = frameBuffer();

    EXPECT_FALSE(uca_camera_grab(camera.get(), frame.data(), error.out()));
    EXPECT_TRUE(error.is(UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_NOT_RECORDING));
    EXPECT_EQ(error.message(), "Camera is neither recording nor in readout mode");

    uca_camera_trigger(camera.get(), error.out());
    EXPECT_TRUE(error.is(UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_NOT_RECORDING));
    EXPECT_EQ(error.message(), "Camera is not recording");
    EXPECT_EQ(getUint(camera.get(), "triggers"), 0u);

    uca_camera_start_recording(camera.get(), error.out());
    uca_camera_trigger(camera.get(), error.out());
    EXPECT_EQ(error.get(), nullptr);
    EXPECT_EQ(getUint(camera.get(), "triggers"), 1u);
    ASSERT_TRUE(uca_camera_grab(camera.get(), frame.data(), error.out())) << error.message();
    EXPECT_EQ(sequenceOf(frame), 1u);
    ASSERT_TRUE(uca_camera_grab(camera.get(), frame.data(), error.out()));
    EXPECT_EQ(sequenceOf(frame), 2u);
}

TEST_F(Recording, ReadoutIsRefusedWhileRecording)
{
    auto frame = frameBuffer();

    EXPECT_FALSE(uca_camera_readout(camera.get(), frame.data(), 0, error.out()));
    EXPECT_TRUE(error.is(UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_NOT_RECORDING));
    EXPECT_EQ(error.message(), "Camera is not in readout or record mode");

    uca_camera_start_recording(camera.get(), error.out());
    uca_camera_start_readout(camera.get(), error.out());
    EXPECT_TRUE(error.is(UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_RECORDING));
    EXPECT_EQ(error.message(), "Camera is still recording");
    uca_camera_stop_readout(camera.get(), error.out());
    EXPECT_EQ(error.message(), "Camera is still recording");
    EXPECT_FALSE(getBoolean(camera.get(), "is-readout"));
    uca_camera_stop_recording(camera.get(), error.out());

    uca_camera_start_readout(camera.get(), error.out());
    ASSERT_EQ(error.get(), nullptr);
    EXPECT_TRUE(getBoolean(camera.get(), "is-readout"));
    ASSERT_TRUE(uca_camera_readout(camera.get(), frame.data(), 7, error.out()));
    EXPECT_EQ(sequenceOf(frame), 7u);
    EXPECT_TRUE(uca_camera_grab(camera.get(), frame.data(), error.out()))
        << "readout mode allows grabs";

    uca_camera_start_recording(camera.get(), error.out());
    EXPECT_FALSE(getBoolean(camera.get(), "is-readout")) << "recording ends readout";
}

TEST_F(Recording, ReadoutOfASpecificFrameIsRefusedWhenBuffered)
{
    auto frame = frameBuffer();
    g_object_set(camera.get(), "buffered", TRUE, nullptr);
    uca_camera_start_readout(camera.get(), error.out());

    EXPECT_FALSE(uca_camera_readout(camera.get(), frame.data(), 0, error.out()));
    EXPECT_TRUE(error.is(UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_RECORDING));
    EXPECT_EQ(error.message(), "Cannot grab specific frame in buffered mode");
}

TEST_F(Recording, TriggerReachesAGrabWaitingInItsSlot)
{
    auto frame = frameBuffer();
    g_object_set(camera.get(), "grab-waits-for-trigger", TRUE, nullptr);
    uca_camera_start_recording(camera.get(), error.out());

    std::atomic<bool> grabbed{false};
    std::thread grabber([&] { grabbed = uca_camera_grab(camera.get(), frame.data(), nullptr); });
    ASSERT_TRUE(waitUntil([&] { return getUint(camera.get(), "waiting-grabs") == 1; }));
    // The slot waits up to 5 s; a trigger blocked behind the grab's lock would time it out.
    uca_camera_trigger(camera.get(), error.out());
    grabber.join();
    EXPECT_TRUE(grabbed);
    EXPECT_EQ(sequenceOf(frame), 1u);
}

TEST_F(Recording, StopWaitsForAGrabInItsSlot)
{
    auto frame = frameBuffer();
    g_object_set(camera.get(), "grab-waits-for-trigger", TRUE, nullptr);
    uca_camera_start_recording(camera.get(), error.out());

    std::thread grabber([&] { uca_camera_grab(camera.get(), frame.data(), nullptr); });
    ASSERT_TRUE(waitUntil([&] { return getUint(camera.get(), "waiting-grabs") == 1; }));

    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        uca_camera_stop_recording(camera.get(), nullptr);
        stopped = true;
    });
    EXPECT_FALSE(waitUntil([&] { return stopped.load(); }, std::chrono::milliseconds(200)));
    uca_camera_trigger(camera.get(), nullptr);
    grabber.join();
    stopper.join();
    EXPECT_TRUE(stopped);
    EXPECT_FALSE(uca_camera_is_recording(camera.get()));
}

} // namespace
} // namespace TessaraVoltTest
