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

// A request takes the first frame after it, never the one held; frames nobody asked for leave the
// slot alone; a request that times out leaves the next frame uncopied too.
TEST_F(GrabberTest, EachRequestTakesTheNextFrame)
{
    grabber.start(*detector);
    step(2); // nobody asked for these
    FrameResult held{};
    for (uint32_t expected : {3, 5, 7}) {
        auto request = requestFrame();
        ASSERT_TRUE(requestsWaiting(1));
        step();
        held = request.get();
        ASSERT_EQ(held.status, FrameWait::Arrived);
        EXPECT_EQ(std::make_pair(held.image.size.width, held.image.size.height),
                  std::make_pair(width, height));
        EXPECT_TRUE(matchesPattern(held.image, expected));
        step(); // dropped: the request was served
    }
    EXPECT_EQ(grabber.nextFrame(within(50ms)).status, FrameWait::TimedOut);
    step();
    EXPECT_TRUE(matchesPattern(held.image, 7));
    EXPECT_EQ(counters().framesHandedBack, 9u);
}

// One frame wakes every waiting request, plain and direct: the plain ones share the slot, the
// direct one gets it in its own destination on XISL's thread, and nothing more once it returned.
TEST_F(GrabberTest, OneFrameWakesEveryWaitingRequest)
{
    grabber.start(*detector);
    std::vector<uint16_t> destination;
    const FrameConsumer deliver = [&](const Image &image) {
        destination.assign(image.pixels, image.pixels + image.size.pixelCount());
    };
    auto direct =
        std::async(std::launch::async, [&] { return grabber.nextFrameInto(within(5s), deliver); });
    ASSERT_TRUE(requestsWaiting(1));
    auto first = requestFrame();
    auto second = requestFrame();
    ASSERT_TRUE(requestsWaiting(3));
    step();
    ASSERT_EQ(direct.get(), FrameWait::Arrived);
    const FrameResult a = first.get(), b = second.get();
    ASSERT_EQ(a.status, FrameWait::Arrived);
    ASSERT_EQ(b.status, FrameWait::Arrived);
    EXPECT_EQ(a.image.pixels, b.image.pixels);
    EXPECT_TRUE(matchesPattern(a.image, 1));
    EXPECT_EQ(grabber.nextFrameInto(within(20ms), deliver), FrameWait::TimedOut);
    auto later = requestFrame();
    ASSERT_TRUE(requestsWaiting(1));
    step();
    ASSERT_EQ(later.get().status, FrameWait::Arrived);
    EXPECT_TRUE(matchesPattern(Image{destination.data(), {width, height}}, 1));
}

// A cancel releases waiting requests and every request until the next start, whose frames may
// have a new size.
TEST_F(GrabberTest, CancelReleasesRequestsUntilTheNextStart)
{
    grabber.start(*detector);
    auto request = requestFrame(60s);
    ASSERT_TRUE(requestsWaiting(1));
    detector->stop();
    grabber.cancel();
    EXPECT_EQ(request.get().status, FrameWait::Cancelled);
    EXPECT_EQ(grabber.nextFrame(within(60s)).status, FrameWait::Cancelled);
    detector->setBinning(2);
    grabber.start(*detector);
    request = requestFrame();
    ASSERT_TRUE(requestsWaiting(1));
    step();
    const FrameResult binned = request.get();
    ASSERT_EQ(binned.status, FrameWait::Arrived);
    EXPECT_EQ(std::make_pair(binned.image.size.width, binned.image.size.height),
              std::make_pair(width / 2, height / 2));
    EXPECT_TRUE(matchesPattern(binned.image, patternFrameNumber(binned.image)));
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

} // namespace
} // namespace TessaraVoltTest
