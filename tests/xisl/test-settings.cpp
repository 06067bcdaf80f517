// SPDX-License-Identifier: LGPL-2.1-or-later
// The XISL_SIM settings: the parser itself, and the variable read by a fresh process.
#include "sim-fixture.h"
#include "sim-settings.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;
#endif

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

namespace TessaraVoltTest {
namespace {

using XislSim::parseSettings;
using XislSim::Settings;

TEST(SettingsParser, ReadsEveryKey)
{
    Settings settings;
    std::string error;
    ASSERT_TRUE(parseSettings(" sensors=2048x1536,640x480:13 ; content=flat;seed=7;beam=off;"
                              "readout_ns_per_pixel=0;first_frame=4294967295;"
                              "fail=Acquisition_SetFrameSyncMode:9;;",
                              settings, error))
        << error;
    ASSERT_TRUE(settings.sensors.has_value());
    ASSERT_EQ(settings.sensors->size(), 2u);
    EXPECT_EQ((*settings.sensors)[0].width, 2048u);
    EXPECT_EQ((*settings.sensors)[0].height, 1536u);
    EXPECT_EQ((*settings.sensors)[0].headerId, 14u);
    EXPECT_EQ((*settings.sensors)[1].headerId, 13u);
    EXPECT_NE((*settings.sensors)[0].promId, (*settings.sensors)[1].promId);
    EXPECT_EQ(settings.content, XISL_SIM_CONTENT_FLAT);
    EXPECT_EQ(settings.seed, 7u);
    EXPECT_EQ(settings.beam, 0u);
    EXPECT_EQ(settings.readoutNsPerPixel, 0u);
    EXPECT_EQ(settings.firstFrame, 4294967295u);
    ASSERT_EQ(settings.failures.size(), 1u);
    EXPECT_EQ(settings.failures[0].function, "Acquisition_SetFrameSyncMode");
    EXPECT_EQ(settings.failures[0].status, 9u);
}

TEST(SettingsParser, ContentAndBeamTakeTheirNames)
{
    const std::pair<const char *, XislSimContent> contents[] = {
        {"content=pattern", XISL_SIM_CONTENT_PATTERN},
        {"content=phantom", XISL_SIM_CONTENT_PHANTOM},
        {"content=flat", XISL_SIM_CONTENT_FLAT}};
    for (const auto &[text, content] : contents) {
        Settings settings;
        std::string error;
        ASSERT_TRUE(parseSettings(text, settings, error)) << text;
        EXPECT_EQ(settings.content, content) << text;
    }
    const std::pair<const char *, uint32_t> beams[] = {
        {"beam=on", XISL_SIM_BEAM_DEFAULT}, {"beam=off", 0}, {"beam=250000", 250000}};
    for (const auto &[text, beam] : beams) {
        Settings settings;
        std::string error;
        ASSERT_TRUE(parseSettings(text, settings, error)) << text;
        EXPECT_EQ(settings.beam, beam) << text;
    }
}

TEST(SettingsParser, NoneMeansNoSensorAndEmptyTextChangesNothing)
{
    Settings settings;
    std::string error;
    ASSERT_TRUE(parseSettings("sensors=none", settings, error));
    ASSERT_TRUE(settings.sensors.has_value());
    EXPECT_TRUE(settings.sensors->empty());
    ASSERT_TRUE(parseSettings("", settings, error));
    EXPECT_FALSE(settings.sensors.has_value());
    EXPECT_FALSE(settings.seed.has_value());
}

TEST(SettingsParser, MalformedItemsAreRejectedWholesale)
{
    for (const char *bad :
         {"sensors=10x", "sensors=0x10", "sensors=10x10:", "sensors=10x10:65536",
          "sensors=", "sensors=10*10", "seed=-1", "seed=99999999999", "seed=1e3", "content=photo",
          "content=flats", "beam=dim", "beam=-1", "beam=", "bogus=1", "seed",
          "fail=Acquisition_Nope:3", "fail=Acquisition_Abort", "fail=Acquisition_Abort:x"}) {
        Settings settings;
        settings.seed = 5;
        std::string error;
        EXPECT_FALSE(parseSettings(std::string("content=phantom;") + bad, settings, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
        EXPECT_EQ(settings.seed, 5u) << bad;
        EXPECT_FALSE(settings.content.has_value()) << bad;
    }
}

// The child half of Environment.InAFreshProcess: registered only in the child, which gets
// XISL_SIM and the expectation in XISL_SIM_TEST_EXPECT.
void checkEnvironmentInChild(const std::string &expect)
{
    UINT count = 0;
    ASSERT_EQ(Acquisition_EnumSensors(&count, 1, 0), 0u);
    if (expect == "defaults") {
        ASSERT_EQ(count, 1u);
        return;
    }
    ASSERT_EQ(count, 2u);
    ACQDESCPOS cursor = 0;
    HACQDESC handle = nullptr;
    ASSERT_EQ(Acquisition_GetNextSensor(&cursor, &handle), 0u);
    XislHwHeaderInfo header{};
    ASSERT_EQ(Acquisition_GetHwHeaderInfo(handle, &header), 0u);
    EXPECT_EQ(header.columns, 300u);
    EXPECT_EQ(header.rows, 200u);
    DWORD cycle = 0;
    EXPECT_EQ(Acquisition_SetTimerSync(handle, &cycle), 0u);
    EXPECT_EQ(cycle, 60u); // 60000 pixels at 1 ns
    EXPECT_EQ(Acquisition_SetFrameSyncMode(handle, 2), 9u);
    XislSimScene scene{};
    ASSERT_EQ(xisl_sim_get_scene(handle, &scene), 0);
    EXPECT_EQ(scene.content, XISL_SIM_CONTENT_FLAT);
    EXPECT_EQ(scene.seed, 7u);
    EXPECT_EQ(scene.beam, 0u);
}

// The child's exit status when its checks passed: a child that never got its variables runs no
// test and exits 0, which must not pass for success.
constexpr int kChildPassed = 42;

class EnvironmentChild : public ::testing::Test {
public:
    explicit EnvironmentChild(std::string expect) : expect_(std::move(expect)) {}
    void TestBody() override
    {
        checkEnvironmentInChild(expect_);
        if (!HasFailure()) {
            std::fflush(stdout);
            std::_Exit(kChildPassed);
        }
    }

private:
    std::string expect_;
};

const bool childRegistered = [] {
    const char *expect = std::getenv("XISL_SIM_TEST_EXPECT");
    if (!expect)
        return false;
    ::testing::RegisterTest(
        "EnvironmentChild", "AppliesXislSim", nullptr, nullptr, __FILE__, __LINE__,
        [expect]() -> ::testing::Test * { return new EnvironmentChild(expect); });
    return true;
}();

#ifdef _WIN32
char **environmentOfThisProcess()
{
    return _environ;
}

// Windows has no posix_spawn: the same start of this program, through CreateProcess.
int spawnSelf(const std::string &filter, std::vector<std::string> &variables)
{
    char self[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
    if (length == 0 || length == MAX_PATH)
        return -1;
    std::string commandLine = "\"" + std::string(self) + "\" " + filter;
    std::string block;
    for (const std::string &variable : variables)
        block.append(variable).push_back('\0');
    block.push_back('\0');
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    if (!CreateProcessA(self, commandLine.data(), nullptr, nullptr, FALSE, 0, block.data(), nullptr,
                        &startup, &child))
        return -1;
    CloseHandle(child.hThread);
    const auto bound = std::chrono::duration_cast<std::chrono::milliseconds>(kTimeout);
    DWORD code = 0;
    const bool ended =
        WaitForSingleObject(child.hProcess, static_cast<DWORD>(bound.count())) == WAIT_OBJECT_0;
    if (!ended) {
        TerminateProcess(child.hProcess, 1);
        WaitForSingleObject(child.hProcess, INFINITE);
    }
    const bool known = ended && GetExitCodeProcess(child.hProcess, &code);
    CloseHandle(child.hProcess);
    return known ? static_cast<int>(code) : -1;
}
#else
char **environmentOfThisProcess()
{
    return environ;
}

int spawnSelf(const std::string &filter, std::vector<std::string> &variables)
{
    std::string self = "/proc/self/exe";
    std::string filterArgument = filter;
    char *argv[] = {self.data(), filterArgument.data(), nullptr};
    std::vector<char *> envp;
    for (std::string &variable : variables)
        envp.push_back(variable.data());
    envp.push_back(nullptr);

    pid_t child = 0;
    if (posix_spawn(&child, self.c_str(), nullptr, nullptr, argv, envp.data()) != 0)
        return -1;
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

int runChild(const char *xislSim, const char *expect)
{
    std::vector<std::string> variables = {std::string("XISL_SIM=") + xislSim,
                                          std::string("XISL_SIM_TEST_EXPECT=") + expect};
    for (char **variable = environmentOfThisProcess(); *variable; ++variable) {
        if (std::string(*variable).rfind("XISL_SIM", 0) != 0)
            variables.emplace_back(*variable);
    }
    return spawnSelf("--gtest_filter=EnvironmentChild.*", variables);
}

TEST(Environment, InAFreshProcess)
{
    EXPECT_EQ(runChild("sensors=300x200,64x64;readout_ns_per_pixel=1;content=flat;seed=7;"
                       "beam=off;fail=Acquisition_SetFrameSyncMode:9",
                       "configured"),
              kChildPassed);
    EXPECT_EQ(runChild("sensors=300x200;seed=oops", "defaults"), kChildPassed);
}

// The same settings at run time: a malformed list changes nothing, a good one what the variable
// would.
TEST(Environment, ConfigureAtRunTime)
{
    xisl_sim_reset();
    EXPECT_NE(xisl_sim_configure("sensors=300x200;seed=oops"), 0);
    checkEnvironmentInChild("defaults");
    ASSERT_EQ(xisl_sim_configure("sensors=300x200,64x64;readout_ns_per_pixel=1;content=flat;seed=7;"
                                 "beam=off;fail=Acquisition_SetFrameSyncMode:9"),
              0);
    checkEnvironmentInChild("configured");
    xisl_sim_reset();
}

} // namespace
} // namespace TessaraVoltTest
