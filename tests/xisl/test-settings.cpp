// SPDX-License-Identifier: LGPL-2.1-or-later
// The XISL_SIM settings: the parser, and the same text applied at run time. The variable itself
// is read by every recorder and Python test that sets it.
#include "sim-fixture.h"
#include "sim-settings.h"

#include <string>

namespace TessaraVoltTest {
namespace {

using XislSim::parseSettings;
using XislSim::Settings;

// Spaces and empty items are allowed; "none" means no sensor; the empty text sets nothing. A
// malformed item rejects the whole text, changing nothing.
TEST(SettingsParser, ReadsEveryKeyAndRejectsMalformedItemsWholesale)
{
    Settings settings;
    std::string error;
    ASSERT_TRUE(parseSettings(" content=phantom ; beam=off;;first_frame=4294967295;sensors=none",
                              settings, error))
        << error;
    EXPECT_EQ(std::make_tuple(*settings.content, *settings.beam, *settings.firstFrame,
                              settings.sensors->size()),
              std::make_tuple(XISL_SIM_CONTENT_PHANTOM, 0u, 4294967295u, size_t{0}));
    ASSERT_TRUE(parseSettings("", settings, error));
    EXPECT_FALSE(settings.content || settings.sensors || settings.beam);
    for (const char *bad : {"sensors=10x", "sensors=0x10", "sensors=10x0", "sensors=10x10:65536",
                            "seed=-1", "seed=99999999999", "content=photo", "beam=dim", "bogus=1",
                            "seed", "fail=Acquisition_Nope:3", "fail=Acquisition_Abort:x"}) {
        settings.seed = 5;
        error.clear();
        EXPECT_FALSE(parseSettings(std::string("content=phantom;") + bad, settings, error)) << bad;
        EXPECT_TRUE(!error.empty() && settings.seed == 5u && !settings.content) << bad;
    }
}

// A malformed list changes nothing; a good one applies every key.
TEST(Settings, ConfigureAtRunTime)
{
    xisl_sim_reset();
    EXPECT_NE(xisl_sim_configure("sensors=300x200;seed=oops"), 0);
    UINT count = 0;
    ASSERT_EQ(Acquisition_EnumSensors(&count, 1, 0), 0u);
    EXPECT_EQ(count, 1u);
    ASSERT_EQ(xisl_sim_configure("sensors=300x200,64x64:13;readout_ns_per_pixel=1;content=flat;"
                                 "seed=7;beam=250000;fail=Acquisition_SetFrameSyncMode:9"),
              0);
    ASSERT_EQ(Acquisition_EnumSensors(&count, 1, 0), 0u);
    EXPECT_EQ(count, 2u);
    ACQDESCPOS cursor = 0;
    HACQDESC handle = nullptr;
    ASSERT_EQ(Acquisition_GetNextSensor(&cursor, &handle), 0u);
    XislHwHeaderInfo header{};
    ASSERT_EQ(Acquisition_GetHwHeaderInfo(handle, &header), 0u);
    DWORD cycle = 0;
    EXPECT_EQ(Acquisition_SetTimerSync(handle, &cycle), 0u);
    XislSimScene scene{};
    ASSERT_EQ(xisl_sim_get_scene(handle, &scene), 0);
    // 60000 pixels at 1 ns: a cycle of 60 us.
    EXPECT_EQ(std::vector<uint32_t>({header.columns, header.rows, cycle,
                                     Acquisition_SetFrameSyncMode(handle, 2), scene.content,
                                     scene.seed, scene.beam}),
              std::vector<uint32_t>({300, 200, 60, 9, XISL_SIM_CONTENT_FLAT, 7, 250000}));
    ASSERT_EQ(Acquisition_GetNextSensor(&cursor, &handle), 0u);
    ASSERT_EQ(Acquisition_GetHwHeaderInfo(handle, &header), 0u);
    EXPECT_EQ(std::make_pair(header.headerId, header.columns), std::make_pair(13u, 64u));
    xisl_sim_reset();
}

} // namespace
} // namespace TessaraVoltTest
