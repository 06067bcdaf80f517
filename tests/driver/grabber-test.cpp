// SPDX-License-Identifier: LGPL-2.1-or-later
#include <future>

#include "continuous-grabber.h"
#include "sim-fixture.h"

using namespace TessaraVolt;
using namespace std::chrono_literals;

namespace TessaraVolt {
// Reads what only the tests need to see: how many requests wait inside the grabber.
class ContinuousGrabberProbe {
public:
    static unsigned waitingRequests(ContinuousGrabber &grabber)
    {
        MutexLocker locker(grabber.mutex_);
        return grabber.waiting_;
    }
};
} // namespace TessaraVolt

namespace TessaraVoltTest {
namespace {

class GrabberTest : public SimulatorTest {
protected:
    void SetUp() override
    {
        SimulatorTest::SetUp();
        detector = openDetector();
        ASSERT_TRUE(detector);
    }

    void TearDown() override
    {
        detector.reset(); // the stream ends before the grabber goes
        SimulatorTest::TearDown();
    }

    std::future<FrameResult> requestFrame(std::chrono::milliseconds limit = 5s)
    {
        return std::async(std::launch::async,
                          [this, limit] { return grabber.nextFrame(within(limit)); });
    }

    bool requestsWaiting(unsigned count)
    {
        return waitUntil(
            [this, count] { return ContinuousGrabberProbe::waitingRequests(grabber) == count; });
    }

    void step(unsigned frames = 1) { ASSERT_EQ(xisl_sim_step(handle, frames, 5000), 0); }

    ContinuousGrabber grabber;
    std::unique_ptr<Detector> detector;
};

TEST_F(GrabberTest, FirstRequestTakesTheFirstFrameAfterIt)
{
    grabber.start(*detector);
    step(2); // nobody asked for these
    auto request = requestFrame();
    ASSERT_TRUE(requestsWaiting(1));
    step();
    const FrameResult result = request.get();
    ASSERT_EQ(result.status, FrameWait::Arrived);
    EXPECT_EQ(result.image.size.width, width);
    EXPECT_EQ(result.image.size.height, height);
    EXPECT_TRUE(matchesPattern(result.image, 3));
}

TEST_F(GrabberTest, UnrequestedFramesLeaveTheSlotAlone)
{
    grabber.start(*detector);
    auto request = requestFrame();
    ASSERT_TRUE(requestsWaiting(1));
    step();
    const FrameResult held = request.get();
    ASSERT_EQ(held.status, FrameWait::Arrived);
    step(4);
    EXPECT_TRUE(matchesPattern(held.image, 1));
    EXPECT_EQ(counters().framesHandedBack, 5u);
}

TEST_F(GrabberTest, SuccessiveRequestsGetSuccessiveFrames)
{
    grabber.start(*detector);
    for (uint32_t i = 0; i < 3; ++i) {
        auto request = requestFrame();
        ASSERT_TRUE(requestsWaiting(1));
        step();
        step(); // dropped: the request was served by the first
        const FrameResult result = request.get();
        ASSERT_EQ(result.status, FrameWait::Arrived);
        const uint32_t number = patternFrameNumber(result.image);
        EXPECT_EQ(number, 2 * i + 1);
        EXPECT_TRUE(matchesPattern(result.image, number));
    }
}

TEST_F(GrabberTest, OneFrameWakesEveryWaitingRequest)
{
    grabber.start(*detector);
    auto first = requestFrame();
    auto second = requestFrame();
    ASSERT_TRUE(requestsWaiting(2));
    step();
    const FrameResult a = first.get();
    const FrameResult b = second.get();
    ASSERT_EQ(a.status, FrameWait::Arrived);
    ASSERT_EQ(b.status, FrameWait::Arrived);
    EXPECT_EQ(a.image.pixels, b.image.pixels);
    EXPECT_TRUE(matchesPattern(a.image, 1));
}

TEST_F(GrabberTest, FrameOfANewSizeResizesTheSlot)
{
    grabber.start(*detector);
    auto request = requestFrame();
    ASSERT_TRUE(requestsWaiting(1));
    step();
    ASSERT_EQ(request.get().status, FrameWait::Arrived);
    detector->stop();
    detector->setBinning(2);

    grabber.start(*detector);
    request = requestFrame();
    ASSERT_TRUE(requestsWaiting(1));
    step();
    const FrameResult binned = request.get();
    ASSERT_EQ(binned.status, FrameWait::Arrived);
    EXPECT_EQ(binned.image.size.width, width / 2);
    EXPECT_EQ(binned.image.size.height, height / 2);
    EXPECT_TRUE(matchesPattern(binned.image, patternFrameNumber(binned.image)));
}

TEST_F(GrabberTest, RequestTimesOutAndFramesAreDroppedAgain)
{
    grabber.start(*detector);
    auto request = requestFrame();
    ASSERT_TRUE(requestsWaiting(1));
    step();
    const FrameResult held = request.get();
    ASSERT_EQ(held.status, FrameWait::Arrived);

    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(grabber.nextFrame(within(50ms)).status, FrameWait::TimedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 50ms);
    step(); // no request is pending any more: not copied
    EXPECT_TRUE(matchesPattern(held.image, 1));
}

TEST_F(GrabberTest, CancelReleasesRequestsUntilTheNextStart)
{
    grabber.start(*detector);
    auto request = requestFrame(60s);
    ASSERT_TRUE(requestsWaiting(1));
    const auto begin = std::chrono::steady_clock::now();
    detector->stop();
    grabber.cancel();
    EXPECT_EQ(request.get().status, FrameWait::Cancelled);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
    EXPECT_EQ(grabber.nextFrame(within(60s)).status, FrameWait::Cancelled);

    grabber.start(*detector);
    request = requestFrame();
    ASSERT_TRUE(requestsWaiting(1));
    step();
    EXPECT_EQ(request.get().status, FrameWait::Arrived);
}

TEST_F(GrabberTest, DestructionReleasesAWaitingRequest)
{
    auto owned = std::make_unique<ContinuousGrabber>();
    ContinuousGrabber *const inUse = owned.get();
    inUse->start(*detector);
    auto request =
        std::async(std::launch::async, [inUse] { return inUse->nextFrame(within(60s)); });
    ASSERT_TRUE(
        waitUntil([inUse] { return ContinuousGrabberProbe::waitingRequests(*inUse) == 1; }));
    detector->stop();
    owned.reset(); // returns only once the request has left
    EXPECT_EQ(request.get().status, FrameWait::Cancelled);
}

// The request's own destination receives the frame on XISL's thread; once the request has
// returned, however it ended, nothing more is delivered to it.
TEST_F(GrabberTest, DirectDeliveryReachesOnlyAWaitingRequest)
{
    grabber.start(*detector);
    std::vector<uint16_t> destination;
    unsigned deliveries = 0;
    const FrameConsumer deliver = [&](const Image &image) {
        ++deliveries;
        destination.assign(image.pixels, image.pixels + image.size.pixelCount());
    };

    auto request =
        std::async(std::launch::async, [&] { return grabber.nextFrameInto(within(5s), deliver); });
    ASSERT_TRUE(requestsWaiting(1));
    step();
    ASSERT_EQ(request.get(), FrameWait::Arrived);
    ASSERT_EQ(deliveries, 1u);
    EXPECT_TRUE(matchesPattern(Image{destination.data(), {width, height}}, 1));

    EXPECT_EQ(grabber.nextFrameInto(within(20ms), deliver), FrameWait::TimedOut);
    auto later = requestFrame();
    ASSERT_TRUE(requestsWaiting(1));
    step();
    const FrameResult fromSlot = later.get();
    ASSERT_EQ(fromSlot.status, FrameWait::Arrived);
    EXPECT_TRUE(matchesPattern(fromSlot.image, 2));
    EXPECT_EQ(deliveries, 1u);
}

// A plain request waiting beside a direct one still gets the frame in the slot.
TEST_F(GrabberTest, DirectAndSlotRequestsShareOneFrame)
{
    grabber.start(*detector);
    std::vector<uint16_t> destination;
    const FrameConsumer deliver = [&](const Image &image) {
        destination.assign(image.pixels, image.pixels + image.size.pixelCount());
    };
    auto direct =
        std::async(std::launch::async, [&] { return grabber.nextFrameInto(within(5s), deliver); });
    ASSERT_TRUE(requestsWaiting(1));
    auto plain = requestFrame();
    ASSERT_TRUE(requestsWaiting(2));
    step();
    ASSERT_EQ(direct.get(), FrameWait::Arrived);
    const FrameResult fromSlot = plain.get();
    ASSERT_EQ(fromSlot.status, FrameWait::Arrived);
    EXPECT_TRUE(matchesPattern(fromSlot.image, 1));
    EXPECT_TRUE(matchesPattern(Image{destination.data(), {width, height}}, 1));
}

} // namespace
} // namespace TessaraVoltTest
