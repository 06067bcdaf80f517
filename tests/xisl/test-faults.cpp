// SPDX-License-Identifier: LGPL-2.1-or-later
// Fault injection and the call log. The driver's tests read the log call by call and inject
// failures into every call, so this checks only what they take for granted.
#include "sim-fixture.h"

#include <cstring>
#include <tuple>

namespace TessaraVoltTest {
namespace {

class Faults : public SimTest {};

// nth 1 fails the next call once, nth 3 the third, 0 every call until removed; other functions
// do not count, and a refused call writes nothing and changes nothing.
TEST_F(Faults, TheChosenCallsFailAndChangeNothing)
{
    HACQDESC handle = openFirst();
    XislHwHeaderInfo header;
    XislHwHeaderInfoEx extended{};
    std::memset(&header, 0xab, sizeof(header));
    std::vector<XislStatus> statuses;
    for (const auto &[function, status, nth] :
         std::vector<std::tuple<const char *, XislStatus, unsigned>>{
             {"Acquisition_SetCameraBinningMode", 77, 1},
             {"Acquisition_GetHwHeaderInfoEx", 6, 1},
             {"Acquisition_SetCameraGain", 9, 3},
             {"Acquisition_SetFrameSyncMode", 5, 0}})
        EXPECT_EQ(xisl_sim_fail(function, status, nth), 0);
    statuses.push_back(Acquisition_SetCameraBinningMode(handle, XISL_BINNING_2X2));
    statuses.push_back(Acquisition_GetHwHeaderInfoEx(handle, &header, &extended));
    EXPECT_EQ(header.rows, 0xababababu);
    for (int i = 0; i < 4; ++i) {
        statuses.push_back(Acquisition_SetCameraGain(handle, 1));
        statuses.push_back(Acquisition_SetFrameSyncMode(handle, 2));
    }
    ASSERT_EQ(Acquisition_GetHwHeaderInfo(handle, &header), 0u);
    // The default panel, 1024 x 1024 with a usable header; its binning was refused.
    EXPECT_EQ(std::make_pair(header.columns, header.headerId), std::make_pair(1024u, 14u));
    EXPECT_EQ(xisl_sim_fail("Acquisition_SetFrameSyncMode", 0, 0), 0); // status 0 removes it
    statuses.push_back(Acquisition_SetFrameSyncMode(handle, 2));
    EXPECT_EQ(xisl_sim_fail("Acquisition_SetCameraGain", 5, 0), 0);
    xisl_sim_clear_faults();
    statuses.push_back(Acquisition_SetCameraGain(handle, 2));
    statuses.push_back(xisl_sim_fail("Acquisition_Nonexistent", 1, 0) != 0);
    statuses.push_back(xisl_sim_fail(nullptr, 1, 0) != 0);
    EXPECT_EQ(statuses, (std::vector<XislStatus>{77, 6, 0, 5, 0, 5, 9, 5, 0, 5, 0, 0, 1, 1}));
}

} // namespace
} // namespace TessaraVoltTest
