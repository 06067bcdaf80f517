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

// Spaces and empty items are allowed; "none" means no sensor; the empty text sets nothing.
TEST(SettingsParser, ReadsEveryKey)
{
    const struct {
        const char *text;
        XislSimContent content;
        uint32_t beam;
    } rows[] = {{" content=pattern ; beam=on;;first_frame=4294967295", XISL_SIM_CONTENT_PATTERN,
                 XISL_SIM_BEAM_DEFAULT},
                {"content=phantom;beam=off;sensors=none", XISL_SIM_CONTENT_PHANTOM, 0},
                {"content=flat;beam=250000", XISL_SIM_CONTENT_FLAT, 250000}};
    for (const auto &row : rows) {
        Settings settings;
        std::string error;
        ASSERT_TRUE(parseSettings(row.text, settings, error)) << row.text << ": " << error;
        EXPECT_EQ(settings.content, row.content) << row.text;
        EXPECT_EQ(settings.beam, row.beam) << row.text;
        EXPECT_EQ(settings.firstFrame.value_or(0),
                  row.beam == XISL_SIM_BEAM_DEFAULT ? 4294967295u : 0);
        EXPECT_EQ(settings.sensors.has_value(), row.beam == 0);
        EXPECT_TRUE(!settings.sensors || settings.sensors->empty());
        ASSERT_TRUE(parseSettings("", settings, error));
        EXPECT_FALSE(settings.content || settings.sensors || settings.beam)
            << "the empty text sets none";
    }
}

TEST(SettingsParser, MalformedItemsAreRejectedWholesale)
{
    for (const char *bad : {"sensors=10x",
                            "sensors=0x10",
                            "sensors=10x0",
                            "sensors=10x10:",
                            "sensors=10x10:65536",
                            "sensors=",
                            "sensors=10*10",
                            "seed=-1",
                            "seed=99999999999",
                            "seed=1e3",
                            "content=photo",
                            "content=flats",
                            "beam=dim",
                            "beam=-1",
                            "beam=",
                            "bogus=1",
                            "seed",
                            "fail=Acquisition_Nope:3",
                            "fail=Acquisition_Abort",
                            "fail=Acquisition_Abort:x"}) {
        Settings settings;
        settings.seed = 5;
        std::string error;
        EXPECT_FALSE(parseSettings(std::string("content=phantom;") + bad, settings, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
        EXPECT_EQ(settings.seed, 5u) << bad;
        EXPECT_FALSE(settings.content.has_value()) << bad;
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
                                 "seed=7;beam=off;fail=Acquisition_SetFrameSyncMode:9"),
              0);
    ASSERT_EQ(Acquisition_EnumSensors(&count, 1, 0), 0u);
    EXPECT_EQ(count, 2u);
    ACQDESCPOS cursor = 0;
    HACQDESC handle = nullptr;
    ASSERT_EQ(Acquisition_GetNextSensor(&cursor, &handle), 0u);
    XislHwHeaderInfo header{};
    ASSERT_EQ(Acquisition_GetHwHeaderInfo(handle, &header), 0u);
    EXPECT_EQ(std::make_pair(header.columns, header.rows), std::make_pair(300u, 200u));
    DWORD cycle = 0;
    EXPECT_EQ(Acquisition_SetTimerSync(handle, &cycle), 0u);
    EXPECT_EQ(cycle, 60u); // 60000 pixels at 1 ns
    EXPECT_EQ(Acquisition_SetFrameSyncMode(handle, 2), 9u);
    XislSimScene scene{};
    ASSERT_EQ(xisl_sim_get_scene(handle, &scene), 0);
    EXPECT_EQ(scene.content, XISL_SIM_CONTENT_FLAT);
    EXPECT_EQ(scene.seed, 7u);
    EXPECT_EQ(scene.beam, 0u);
    ASSERT_EQ(Acquisition_GetNextSensor(&cursor, &handle), 0u);
    ASSERT_EQ(Acquisition_GetHwHeaderInfo(handle, &header), 0u);
    EXPECT_EQ(header.headerId, 13u);
    EXPECT_EQ(header.columns, 64u);
    xisl_sim_reset();
}

} // namespace
} // namespace TessaraVoltTest
