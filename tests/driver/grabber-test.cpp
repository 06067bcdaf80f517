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

class GrabberTest : public DetectorTest {
protected:
    void TearDown() override
    {
        detector.reset(); // the stream ends before the grabber goes
        SimulatorTest::TearDown();
    }

    std::future<FrameResult> requestFrame(std::chrono::milliseconds limit = 5s)
    {
        return std::async(std::launch::async,
                          [this, limit] { return grabber->nextFrame(within(limit)); });
    }
    bool requestsWaiting(unsigned count)
    {
        return waitUntil(
            [this, count] { return ContinuousGrabberProbe::waitingRequests(*grabber) == count; });
    }
    // Steps one frame once `waiting` requests wait.
    void stepFor(unsigned waiting)
    {
        ASSERT_TRUE(requestsWaiting(waiting));
        ASSERT_EQ(xisl_sim_step(handle, 1, 5000), 0);
    }

    std::unique_ptr<ContinuousGrabber> grabber = std::make_unique<ContinuousGrabber>();
};

// A request takes the first frame after it, never the one held, and one frame serves every
// waiting request; frames nobody asked for leave the
// slot alone; a request that times out leaves the next frame uncopied too.
TEST_F(GrabberTest, EachRequestTakesTheNextFrame)
{
    grabber->start(*detector);
    ASSERT_EQ(xisl_sim_step(handle, 2, 5000), 0); // nobody asked for these
    FrameResult held{};
    for (uint32_t expected : {3, 5, 7}) {
        auto request = requestFrame(), other = requestFrame(); // one frame wakes both
        stepFor(2);
        held = request.get();
        ASSERT_EQ(held.status, FrameWait::Arrived);
        EXPECT_EQ(other.get().image.pixels, held.image.pixels);
        EXPECT_EQ(std::make_pair(held.image.size.width, held.image.size.height),
                  std::make_pair(width, height));
        EXPECT_TRUE(matchesPattern(held.image, expected));
        stepFor(0); // dropped: the request was served
    }
    EXPECT_EQ(grabber->nextFrame(within(50ms)).status, FrameWait::TimedOut);
    stepFor(0);
    EXPECT_TRUE(matchesPattern(held.image, 7));
    EXPECT_EQ(counters().framesHandedBack, 9u);
}

// A cancel releases waiting requests and every request until the next start, whose frames may
// have a new size; destruction releases a waiting request and returns only once it has left.
TEST_F(GrabberTest, CancelAndDestructionReleaseRequests)
{
    grabber->start(*detector);
    auto request = requestFrame(60s);
    ASSERT_TRUE(requestsWaiting(1));
    detector->stop();
    grabber->cancel();
    EXPECT_EQ(request.get().status, FrameWait::Cancelled);
    EXPECT_EQ(grabber->nextFrame(within(60s)).status, FrameWait::Cancelled);
    detector->setBinning(2);
    grabber->start(*detector);
    request = requestFrame();
    stepFor(1);
    const FrameResult binned = request.get();
    ASSERT_EQ(binned.status, FrameWait::Arrived);
    EXPECT_EQ(std::make_pair(binned.image.size.width, binned.image.size.height),
              std::make_pair(width / 2, height / 2));
    EXPECT_TRUE(matchesPattern(binned.image, patternFrameNumber(binned.image)));
    request = requestFrame(60s);
    ASSERT_TRUE(requestsWaiting(1));
    detector->stop();
    grabber.reset();
    EXPECT_EQ(request.get().status, FrameWait::Cancelled);
}

} // namespace
} // namespace TessaraVoltTest
