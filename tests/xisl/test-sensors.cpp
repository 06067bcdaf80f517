// SPDX-License-Identifier: LGPL-2.1-or-later
// Enumeration, the cursor, headers, binning and handle validity.
#include "sim-fixture.h"

#include <set>

namespace TessaraVoltTest {
namespace {

class Sensors : public SimTest {};

TEST_F(Sensors, CursorWalksSensorsInOrderOpeningEachAndEndsAtZero)
{
    const XislSimSensor list[3] = {
        {11, 14, 20, 1, 640, 480}, {12, 13, 21, 2, 1024, 1024}, {13, 15, 22, 3, 2048, 1536}};
    ASSERT_EQ(xisl_sim_set_sensors(list, 3), 0);
    UINT count = 0;
    ASSERT_EQ(Acquisition_EnumSensors(&count, 1, 0), 0u);
    EXPECT_EQ(count, 3u);

    ACQDESCPOS cursor = 0;
    const ACQDESCPOS cursorAfter[3] = {1, 2, 0};
    std::set<HACQDESC> handles;
    for (int i = 0; i < 3; ++i) {
        HACQDESC handle = nullptr;
        ASSERT_EQ(Acquisition_GetNextSensor(&cursor, &handle), 0u);
        EXPECT_EQ(cursor, cursorAfter[i]);
        XislHwHeaderInfo header{};
        XislHwHeaderInfoEx extended{};
        ASSERT_EQ(Acquisition_GetHwHeaderInfoEx(handle, &header, &extended), 0u);
        EXPECT_EQ(header.promId, list[i].promId);
        EXPECT_EQ(header.headerId, list[i].headerId);
        EXPECT_EQ(header.columns, list[i].width);
        EXPECT_EQ(header.rows, list[i].height);
        EXPECT_EQ(extended.headerId, list[i].extendedHeaderId);
        EXPECT_EQ(extended.cameraType, list[i].cameraType);
        handles.insert(handle);
    }
    EXPECT_EQ(handles.size(), 3u);
    EXPECT_EQ(counters().openHandles, 3u);
}

TEST_F(Sensors, DefaultSensorIsAUsable1024Panel)
{
    HACQDESC handle = openFirst();
    XislHwHeaderInfo header{};
    ASSERT_EQ(Acquisition_GetHwHeaderInfo(handle, &header), 0u);
    EXPECT_GE(header.headerId, 14u);
    EXPECT_EQ(header.columns, 1024u);
    EXPECT_EQ(header.rows, 1024u);
}

TEST_F(Sensors, CursorWithNothingToReturnFailsAndOpensNothing)
{
    ASSERT_EQ(xisl_sim_set_sensors(nullptr, 0), 0);
    UINT count = 99;
    ASSERT_EQ(Acquisition_EnumSensors(&count, 1, 0), 0u);
    EXPECT_EQ(count, 0u);
    ACQDESCPOS cursor = 0;
    HACQDESC handle = nullptr;
    EXPECT_NE(Acquisition_GetNextSensor(&cursor, &handle), 0u);
    EXPECT_EQ(handle, nullptr);

    xisl_sim_reset();
    ASSERT_EQ(Acquisition_EnumSensors(&count, 1, 0), 0u);
    cursor = 5;
    EXPECT_NE(Acquisition_GetNextSensor(&cursor, &handle), 0u);
    EXPECT_EQ(cursor, 5u);
    EXPECT_EQ(counters().openHandles, 0u);
}

TEST_F(Sensors, BinningHalvesBothSidesRoundingDownAndRestores)
{
    useSensor(1023, 767);
    HACQDESC handle = openFirst();
    XislHwHeaderInfo header{};
    XislHwHeaderInfoEx extended{};

    ASSERT_EQ(Acquisition_SetCameraBinningMode(handle, XISL_BINNING_2X2), 0u);
    ASSERT_EQ(Acquisition_GetHwHeaderInfo(handle, &header), 0u);
    EXPECT_EQ(header.columns, 511u);
    EXPECT_EQ(header.rows, 383u);
    ASSERT_EQ(Acquisition_GetLatestFrameHeader(handle, &header, &extended), 0u);
    EXPECT_EQ(header.columns, 511u);

    for (WORD refused : {0, 3, 4, 0xffff})
        EXPECT_NE(Acquisition_SetCameraBinningMode(handle, refused), 0u) << refused;
    ASSERT_EQ(Acquisition_GetHwHeaderInfoEx(handle, &header, &extended), 0u);
    EXPECT_EQ(header.columns, 511u);

    ASSERT_EQ(Acquisition_SetCameraBinningMode(handle, XISL_BINNING_NONE), 0u);
    ASSERT_EQ(Acquisition_GetHwHeaderInfo(handle, &header), 0u);
    EXPECT_EQ(header.columns, 1023u);
    EXPECT_EQ(header.rows, 767u);
}

TEST_F(Sensors, CallsOnClosedOrUnknownHandlesFailAndAreCounted)
{
    HACQDESC handle = openFirst();
    ASSERT_EQ(Acquisition_Close(handle), 0u);
    EXPECT_EQ(counters().openHandles, 0u);
    EXPECT_EQ(counters().callsOnClosedHandles, 0u);

    XislHwHeaderInfo header{};
    DWORD cycle = 100;
    void *data = nullptr;
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

    // A later handle never takes the closed one's place, not even after a reset.
    HACQDESC reopened = openFirst();
    xisl_sim_reset();
    HACQDESC afterReset = openFirst();
    EXPECT_NE(reopened, handle);
    EXPECT_NE(afterReset, handle);
    EXPECT_NE(afterReset, reopened);
    EXPECT_NE(Acquisition_GetHwHeaderInfo(handle, &header), 0u);
    EXPECT_NE(Acquisition_GetHwHeaderInfo(reopened, &header), 0u);
}

TEST_F(Sensors, NullPointersAreRefused)
{
    EXPECT_NE(Acquisition_EnumSensors(nullptr, 1, 0), 0u);
    ACQDESCPOS cursor = 0;
    HACQDESC handle = nullptr;
    EXPECT_NE(Acquisition_GetNextSensor(nullptr, &handle), 0u);
    EXPECT_NE(Acquisition_GetNextSensor(&cursor, nullptr), 0u);
    EXPECT_EQ(counters().openHandles, 0u);

    handle = openFirst();
    XislHwHeaderInfo header{};
    DWORD counter = 0;
    EXPECT_NE(Acquisition_GetHwHeaderInfo(handle, nullptr), 0u);
    EXPECT_NE(Acquisition_GetHwHeaderInfoEx(handle, &header, nullptr), 0u);
    EXPECT_NE(Acquisition_GetLatestFrameHeader(handle, nullptr, nullptr), 0u);
    EXPECT_NE(Acquisition_GetAcqData(handle, nullptr), 0u);
    EXPECT_NE(Acquisition_GetActFrame(handle, &counter, nullptr), 0u);
    EXPECT_NE(Acquisition_SetTimerSync(handle, nullptr), 0u);
    EXPECT_NE(Acquisition_DefineDestBuffers(handle, nullptr, 1, 1024, 1024), 0u);
    EXPECT_EQ(counters().callsOnClosedHandles, 0u);
}

TEST_F(Sensors, AcquisitionDataAndSettingsAreStored)
{
    HACQDESC handle = openFirst();
    int owner = 0;
    void *data = nullptr;
    ASSERT_EQ(Acquisition_GetAcqData(handle, &data), 0u);
    EXPECT_EQ(data, nullptr);
    ASSERT_EQ(Acquisition_SetAcqData(handle, &owner), 0u);
    ASSERT_EQ(Acquisition_GetAcqData(handle, &data), 0u);
    EXPECT_EQ(data, &owner);
    EXPECT_EQ(Acquisition_SetCameraGain(handle, 5), 0u);
    for (DWORD mode : {0u, 4u, 256u})
        EXPECT_NE(Acquisition_SetFrameSyncMode(handle, mode), 0u) << mode;
}

TEST_F(Sensors, TimerAnswersAtLeastTheReadoutTimeOfTheCurrentFrame)
{
    HACQDESC handle = openFirst();
    // 1024 x 1024 pixels at the default 32 ns: 33554.432 us, rounded down.
    DWORD cycle = 10;
    ASSERT_EQ(Acquisition_SetTimerSync(handle, &cycle), 0u);
    EXPECT_EQ(cycle, 33554u);
    cycle = 100000;
    ASSERT_EQ(Acquisition_SetTimerSync(handle, &cycle), 0u);
    EXPECT_EQ(cycle, 100000u);

    ASSERT_EQ(Acquisition_SetCameraBinningMode(handle, XISL_BINNING_2X2), 0u);
    cycle = 0;
    ASSERT_EQ(Acquisition_SetTimerSync(handle, &cycle), 0u);
    EXPECT_EQ(cycle, 8388u);

    xisl_sim_set_readout_ns_per_pixel(0);
    cycle = 0;
    ASSERT_EQ(Acquisition_SetTimerSync(handle, &cycle), 0u);
    EXPECT_EQ(cycle, 0u);
}

} // namespace
} // namespace TessaraVoltTest
