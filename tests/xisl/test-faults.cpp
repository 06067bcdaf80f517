// SPDX-License-Identifier: LGPL-2.1-or-later
// Fault injection and the call log.
#include "sim-fixture.h"

#include <cstring>
#include <string>

namespace TessaraVoltTest {
namespace {

class Faults : public SimTest {};

// nth 1 fails the next call once, nth 3 the third, 0 every call until removed; other functions
// do not count, and a refused call changes nothing.
TEST_F(Faults, TheChosenCallsFailAndChangeNothing)
{
    HACQDESC handle = openFirst();
    ASSERT_EQ(xisl_sim_fail("Acquisition_SetCameraBinningMode", 77, 1), 0);
    EXPECT_EQ(Acquisition_SetCameraBinningMode(handle, XISL_BINNING_2X2), 77u);
    XislHwHeaderInfo header{};
    ASSERT_EQ(Acquisition_GetHwHeaderInfo(handle, &header), 0u);
    EXPECT_EQ(header.columns, 1024u);
    EXPECT_EQ(Acquisition_SetCameraBinningMode(handle, XISL_BINNING_2X2), 0u);

    ASSERT_EQ(xisl_sim_fail("Acquisition_SetCameraGain", 9, 3), 0);
    ASSERT_EQ(xisl_sim_fail("Acquisition_SetFrameSyncMode", 5, 0), 0);
    std::vector<XislStatus> statuses;
    for (int i = 0; i < 4; ++i) {
        statuses.push_back(Acquisition_SetCameraGain(handle, 1));
        statuses.push_back(Acquisition_SetFrameSyncMode(handle, 2));
    }
    EXPECT_EQ(statuses, (std::vector<XislStatus>{0, 5, 0, 5, 9, 5, 0, 5}));
    ASSERT_EQ(xisl_sim_fail("Acquisition_SetFrameSyncMode", 0, 0), 0);
    EXPECT_EQ(Acquisition_SetFrameSyncMode(handle, 2), 0u);
    ASSERT_EQ(xisl_sim_fail("Acquisition_SetFrameSyncMode", 5, 0), 0);
    xisl_sim_clear_faults();
    EXPECT_EQ(Acquisition_SetFrameSyncMode(handle, 2), 0u);
    EXPECT_NE(xisl_sim_fail("Acquisition_Nonexistent", 1, 0), 0);
    EXPECT_NE(xisl_sim_fail(nullptr, 1, 0), 0);
}

TEST_F(Faults, FailingCallsWriteNoOutput)
{
    ASSERT_EQ(xisl_sim_fail("Acquisition_EnumSensors", 3, 1), 0);
    UINT count = 42;
    EXPECT_EQ(Acquisition_EnumSensors(&count, 1, 0), 3u);
    EXPECT_EQ(count, 42u);
    ASSERT_EQ(xisl_sim_fail("Acquisition_GetNextSensor", 4, 1), 0);
    ACQDESCPOS cursor = 0;
    HACQDESC handle = nullptr;
    EXPECT_EQ(Acquisition_GetNextSensor(&cursor, &handle), 4u);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(counters().openHandles, 0u);

    handle = openFirst();
    ASSERT_EQ(xisl_sim_fail("Acquisition_GetHwHeaderInfoEx", 6, 0), 0);
    XislHwHeaderInfo header;
    XislHwHeaderInfoEx extended;
    std::memset(&header, 0xab, sizeof(header));
    std::memset(&extended, 0xab, sizeof(extended));
    EXPECT_EQ(Acquisition_GetHwHeaderInfoEx(handle, &header, &extended), 6u);
    EXPECT_EQ(header.rows, 0xababababu);
    EXPECT_EQ(extended.cameraType, 0xababu);
    ASSERT_EQ(xisl_sim_fail("Acquisition_SetTimerSync", 8, 0), 0);
    DWORD cycle = 1;
    EXPECT_EQ(Acquisition_SetTimerSync(handle, &cycle), 8u);
    EXPECT_EQ(cycle, 1u);
}

// Order, handles, arguments, results and statuses; off, it logs nothing; on, it keeps the first
// calls up to its capacity.
TEST_F(Faults, CallLogKeepsOrderHandlesArgumentsAndResults)
{
    UINT count = 0;
    ASSERT_EQ(Acquisition_EnumSensors(&count, 1, 0), 0u);
    ACQDESCPOS cursor = 0;
    HACQDESC handle = nullptr;
    ASSERT_EQ(Acquisition_GetNextSensor(&cursor, &handle), 0u);
    DWORD cycle = 10;
    ASSERT_EQ(Acquisition_SetTimerSync(handle, &cycle), 0u);
    ASSERT_EQ(xisl_sim_fail("Acquisition_SetCameraGain", 12, 1), 0);
    EXPECT_EQ(Acquisition_SetCameraGain(handle, 4), 12u);
    ASSERT_EQ(xisl_sim_call_count(), 4u);
    const std::vector<XislSimCall> calls = callsOf(nullptr);
    EXPECT_EQ(callNamesFrom(0),
              (std::vector<std::string>{"Acquisition_EnumSensors", "Acquisition_GetNextSensor",
                                        "Acquisition_SetTimerSync", "Acquisition_SetCameraGain"}));
    EXPECT_EQ(calls[0].result, 1u);
    EXPECT_EQ(calls[1].handle, handle);
    EXPECT_EQ(calls[1].args[0], 0u);
    EXPECT_EQ(calls[2].args[0], 10u);
    EXPECT_EQ(calls[2].result, 33554u);
    EXPECT_EQ(calls[3].args[0], 4u);
    EXPECT_EQ(calls[3].status, 12u);
    XislSimCall call{};
    EXPECT_NE(xisl_sim_get_call(4, &call), 0);

    xisl_sim_set_call_log(0);
    xisl_sim_clear_call_log();
    Acquisition_SetCameraGain(handle, 1);
    EXPECT_EQ(xisl_sim_call_count(), 0u);
    xisl_sim_set_call_log(1);
    for (size_t i = 0; i < XISL_SIM_LOG_CAPACITY + 10; ++i)
        Acquisition_SetCameraGain(handle, static_cast<WORD>(i));
    EXPECT_EQ(xisl_sim_call_count(), static_cast<size_t>(XISL_SIM_LOG_CAPACITY));
    ASSERT_EQ(xisl_sim_get_call(XISL_SIM_LOG_CAPACITY - 1, &call), 0);
    EXPECT_EQ(call.args[0], static_cast<uint64_t>((XISL_SIM_LOG_CAPACITY - 1) & 0xffff));
}

} // namespace
} // namespace TessaraVoltTest
