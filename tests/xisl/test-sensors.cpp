// SPDX-License-Identifier: LGPL-2.1-or-later
// Enumeration, the cursor, headers, binning, the timer and handle validity.
#include "sim-fixture.h"

#include <set>

namespace TessaraVoltTest {
namespace {

class Sensors : public SimTest {};

// The cursor opens each sensor in turn and ends at 0; with nothing to return it fails, opens
// nothing and leaves its outputs alone. The default is one usable 1024 x 1024 panel.
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
    for (const XislSimSensor &expected : list) {
        HACQDESC handle = nullptr;
        ASSERT_EQ(Acquisition_GetNextSensor(&cursor, &handle), 0u);
        EXPECT_EQ(cursor, handles.size() < 2 ? handles.size() + 1 : 0);
        XislHwHeaderInfo header{};
        XislHwHeaderInfoEx extended{};
        ASSERT_EQ(Acquisition_GetHwHeaderInfoEx(handle, &header, &extended), 0u);
        EXPECT_EQ(std::vector<uint32_t>({header.promId, header.headerId, header.columns,
                                         header.rows, extended.headerId, extended.cameraType}),
                  std::vector<uint32_t>({expected.promId, expected.headerId, expected.width,
                                         expected.height, expected.extendedHeaderId,
                                         expected.cameraType}));
        handles.insert(handle);
    }
    EXPECT_EQ(handles.size(), 3u);
    EXPECT_EQ(counters().openHandles, 3u);
    HACQDESC handle = nullptr;
    cursor = 5;
    EXPECT_NE(Acquisition_GetNextSensor(&cursor, &handle), 0u);
    EXPECT_EQ(cursor, 5u);
    xisl_sim_reset();
    ASSERT_EQ(Acquisition_EnumSensors(&count, 1, 0), 0u);
    EXPECT_EQ(count, 1u);
    XislHwHeaderInfo header{};
    ASSERT_EQ(Acquisition_GetHwHeaderInfo(openFirst(), &header), 0u);
    EXPECT_GE(header.headerId, 14u);
    EXPECT_EQ(std::make_pair(header.columns, header.rows), std::make_pair(1024u, 1024u));
    ASSERT_EQ(xisl_sim_set_sensors(nullptr, 0), 0);
    ASSERT_EQ(Acquisition_EnumSensors(&count, 1, 0), 0u);
    EXPECT_EQ(count, 0u);
    handle = nullptr;
    cursor = 0;
    EXPECT_NE(Acquisition_GetNextSensor(&cursor, &handle), 0u);
    EXPECT_EQ(handle, nullptr);
}

TEST_F(Sensors, BinningHalvesBothSidesRoundingDownAndRestores)
{
    useSensor(1023, 767);
    HACQDESC handle = openFirst();
    XislHwHeaderInfo header{};
    XislHwHeaderInfoEx extended{};
    ASSERT_EQ(Acquisition_SetCameraBinningMode(handle, XISL_BINNING_2X2), 0u);
    ASSERT_EQ(Acquisition_GetLatestFrameHeader(handle, &header, &extended), 0u);
    EXPECT_EQ(std::make_pair(header.columns, header.rows), std::make_pair(511u, 383u));
    for (WORD refused : {0, 3, 4, 0xffff})
        EXPECT_NE(Acquisition_SetCameraBinningMode(handle, refused), 0u) << refused;
    ASSERT_EQ(Acquisition_GetHwHeaderInfoEx(handle, &header, &extended), 0u);
    EXPECT_EQ(header.columns, 511u);
    ASSERT_EQ(Acquisition_SetCameraBinningMode(handle, XISL_BINNING_NONE), 0u);
    ASSERT_EQ(Acquisition_GetHwHeaderInfo(handle, &header), 0u);
    EXPECT_EQ(std::make_pair(header.columns, header.rows), std::make_pair(1023u, 767u));
}

// Closed, unknown and null handles and null pointers are refused, writing nothing; only calls on
// handles are counted. A later handle never takes a closed one's place, not even after a reset.
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
    EXPECT_NE(Acquisition_GetHwHeaderInfo(handle, nullptr), 0u);
    EXPECT_NE(Acquisition_GetHwHeaderInfoEx(handle, &header, nullptr), 0u);
    EXPECT_NE(Acquisition_GetLatestFrameHeader(handle, nullptr, nullptr), 0u);
    EXPECT_NE(Acquisition_GetAcqData(handle, nullptr), 0u);
    EXPECT_NE(Acquisition_GetActFrame(handle, &counter, nullptr), 0u);
    EXPECT_NE(Acquisition_SetTimerSync(handle, nullptr), 0u);
    EXPECT_NE(Acquisition_DefineDestBuffers(handle, nullptr, 1, 1024, 1024), 0u);
    for (DWORD mode : {0u, 4u, 256u})
        EXPECT_NE(Acquisition_SetFrameSyncMode(handle, mode), 0u) << mode;
    EXPECT_EQ(counters().callsOnClosedHandles, 0u);
    ASSERT_EQ(Acquisition_Close(handle), 0u);
    EXPECT_EQ(counters().openHandles, 0u);
    EXPECT_NE(Acquisition_GetHwHeaderInfo(handle, &header), 0u);
    EXPECT_NE(Acquisition_SetTimerSync(handle, &cycle), 0u);
    EXPECT_NE(Acquisition_GetAcqData(handle, &data), 0u);
    EXPECT_NE(Acquisition_Abort(handle), 0u);
    EXPECT_NE(Acquisition_Close(handle), 0u);
    EXPECT_NE(Acquisition_SetReady(nullptr, 1), 0u);
    EXPECT_NE(Acquisition_SetFrameSync(reinterpret_cast<HACQDESC>(0x1234)), 0u);
    EXPECT_EQ(cycle, 100u);
    EXPECT_EQ(header.rows, 0u);
    EXPECT_EQ(counters().callsOnClosedHandles, 7u);
    HACQDESC reopened = openFirst();
    xisl_sim_reset();
    HACQDESC afterReset = openFirst();
    EXPECT_EQ(std::set<HACQDESC>({handle, reopened, afterReset}).size(), 3u);
    EXPECT_NE(Acquisition_GetHwHeaderInfo(reopened, &header), 0u);
}

// 1024 x 1024 pixels at the default 32 ns: 33554.432 us, rounded down; binned a quarter.
TEST_F(Sensors, TimerAnswersAtLeastTheReadoutTimeOfTheCurrentFrame)
{
    HACQDESC handle = openFirst();
    const struct {
        bool binned;
        uint32_t nsPerPixel;
        DWORD asked, answered;
    } rows[] = {
        {false, 32, 10, 33554}, {false, 32, 100000, 100000}, {true, 32, 0, 8388}, {true, 0, 0, 0}};
    for (const auto &row : rows) {
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
