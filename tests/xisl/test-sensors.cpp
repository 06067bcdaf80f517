// SPDX-License-Identifier: LGPL-2.1-or-later
// Enumeration, the cursor, headers, binning, the timer and handle validity.
#include "sim-fixture.h"

#include <set>

namespace TessaraVoltTest {
namespace {

class Sensors : public SimTest {};

// The cursor opens each sensor in turn and ends at 0; with nothing to return it fails, opens
// nothing and leaves its outputs alone.
TEST_F(Sensors, CursorWalksSensorsInOrderOpeningEachAndEndsAtZero)
{
    const XislSimSensor list[3] = {
        {11, 14, 20, 1, 640, 480}, {12, 13, 21, 2, 1024, 1024}, {13, 15, 22, 3, 2048, 1536}};
    ASSERT_EQ(xisl_sim_set_sensors(list, 3), 0);
    UINT count = 0;
    ASSERT_EQ(Acquisition_EnumSensors(&count, 1, 0), 0u);
    EXPECT_EQ(count, 3u);
    ACQDESCPOS cursor = 0;
    std::set<HACQDESC> handles;
    for (const XislSimSensor &e : list) {
        HACQDESC handle = nullptr;
        ASSERT_EQ(Acquisition_GetNextSensor(&cursor, &handle), 0u);
        EXPECT_EQ(cursor, handles.size() < 2 ? handles.size() + 1 : 0);
        XislHwHeaderInfo h{};
        XislHwHeaderInfoEx x{};
        ASSERT_EQ(Acquisition_GetHwHeaderInfoEx(handle, &h, &x), 0u);
        EXPECT_EQ(std::vector<uint32_t>(
                      {h.promId, h.headerId, h.columns, h.rows, x.headerId, x.cameraType}),
                  std::vector<uint32_t>(
                      {e.promId, e.headerId, e.width, e.height, e.extendedHeaderId, e.cameraType}));
        handles.insert(handle);
    }
    EXPECT_EQ(std::make_pair(handles.size(), size_t{counters().openHandles}),
              std::make_pair(size_t{3}, size_t{3}));
    HACQDESC handle = nullptr;
    cursor = 5;
    EXPECT_NE(Acquisition_GetNextSensor(&cursor, &handle), 0u);
    EXPECT_EQ(cursor, 5u);
    xisl_sim_reset();
    ASSERT_EQ(xisl_sim_set_sensors(nullptr, 0), 0);
    ASSERT_EQ(Acquisition_EnumSensors(&count, 1, 0), 0u);
    EXPECT_EQ(count, 0u);
    cursor = 0;
    EXPECT_NE(Acquisition_GetNextSensor(&cursor, &handle), 0u);
    EXPECT_EQ(handle, nullptr);
}

// Closed, unknown and null handles, null pointers and unknown modes are refused, writing nothing;
// only calls on handles are counted. A later handle never takes a closed one's place, not even
// after a reset.
TEST_F(Sensors, BadHandlesAndPointersAreRefused)
{
    ACQDESCPOS cursor = 0;
    HACQDESC handle = nullptr;
    EXPECT_NE(Acquisition_EnumSensors(nullptr, 1, 0), 0u);
    EXPECT_NE(Acquisition_GetNextSensor(nullptr, &handle), 0u);
    EXPECT_NE(Acquisition_GetNextSensor(&cursor, nullptr), 0u);
    handle = openFirst();
    XislHwHeaderInfo header{};
    DWORD counter = 0, cycle = 100;
    void *data = nullptr;
    for (XislStatus refused :
         {Acquisition_GetHwHeaderInfo(handle, nullptr),
          Acquisition_GetHwHeaderInfoEx(handle, &header, nullptr),
          Acquisition_GetLatestFrameHeader(handle, nullptr, nullptr),
          Acquisition_GetAcqData(handle, nullptr),
          Acquisition_GetActFrame(handle, &counter, nullptr),
          Acquisition_SetTimerSync(handle, nullptr),
          Acquisition_DefineDestBuffers(handle, nullptr, 1, 1024, 1024),
          Acquisition_SetFrameSyncMode(handle, 0), Acquisition_SetFrameSyncMode(handle, 4),
          Acquisition_SetFrameSyncMode(handle, 256), Acquisition_SetCameraBinningMode(handle, 0),
          Acquisition_SetCameraBinningMode(handle, 3),
          Acquisition_SetCameraBinningMode(handle, 0xffff)})
        EXPECT_NE(refused, 0u);
    EXPECT_EQ(counters().callsOnClosedHandles, 0u);
    ASSERT_EQ(Acquisition_Close(handle), 0u);
    EXPECT_EQ(counters().openHandles, 0u);
    for (XislStatus refused :
         {Acquisition_GetHwHeaderInfo(handle, &header), Acquisition_SetTimerSync(handle, &cycle),
          Acquisition_GetAcqData(handle, &data), Acquisition_Abort(handle),
          Acquisition_Close(handle), Acquisition_SetReady(nullptr, 1),
          Acquisition_SetFrameSync(reinterpret_cast<HACQDESC>(0x1234))})
        EXPECT_NE(refused, 0u);
    EXPECT_EQ(std::make_pair(cycle, header.rows), std::make_pair(DWORD{100}, 0u));
    EXPECT_EQ(counters().callsOnClosedHandles, 7u);
    HACQDESC reopened = openFirst();
    xisl_sim_reset();
    HACQDESC afterReset = openFirst();
    EXPECT_EQ(std::set<HACQDESC>({handle, reopened, afterReset}).size(), 3u);
    EXPECT_NE(Acquisition_GetHwHeaderInfo(reopened, &header), 0u);
}

// 1024 x 1024 pixels at the default 32 ns: 33554.432 us, rounded down; binned a quarter, and an
// odd-sized binned frame rounds both sides down.
TEST_F(Sensors, TimerAnswersAtLeastTheReadoutTimeOfTheCurrentFrame)
{
    const struct {
        uint32_t side;
        bool binned;
        uint32_t nsPerPixel;
        DWORD asked, answered;
    } rows[] = {{1024, false, 32, 10, 33554},
                {1024, false, 32, 100000, 100000},
                {1024, true, 32, 0, 8388},
                {1024, true, 0, 0, 0},
                {1023, true, 1000, 0, 261121}};
    for (const auto &row : rows) {
        xisl_sim_reset();
        useSensor(row.side, row.side);
        HACQDESC handle = openFirst();
        ASSERT_EQ(Acquisition_SetCameraBinningMode(handle, row.binned ? XISL_BINNING_2X2
                                                                      : XISL_BINNING_NONE),
                  0u);
        xisl_sim_set_readout_ns_per_pixel(row.nsPerPixel);
        DWORD cycle = row.asked;
        ASSERT_EQ(Acquisition_SetTimerSync(handle, &cycle), 0u);
        EXPECT_EQ(cycle, row.answered) << row.asked;
    }
}

} // namespace
} // namespace TessaraVoltTest
