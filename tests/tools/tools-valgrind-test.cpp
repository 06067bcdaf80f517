// SPDX-License-Identifier: LGPL-2.1-or-later
/* Both tools free everything they allocate: memcheck finds no definite leak and no memory error,
 * on the success paths and on the failure paths. A leak or error turns the exit status into 99. */

#include <gtest/gtest.h>

#include "tool-runner.h"

namespace TessaraVoltTest {
namespace {

constexpr int memcheckFailed = 99;

struct MemcheckRun {
    const char *name;
    std::vector<std::string> argv;
    std::vector<std::string> plugins;
    std::optional<std::string> testInit;
    int status;
};

std::ostream &operator<<(std::ostream &stream, const MemcheckRun &run)
{
    return stream << run.name;
}

class ToolsUnderMemcheck : public ::testing::TestWithParam<MemcheckRun> {};

} // namespace

TEST_P(ToolsUnderMemcheck, NoDefiniteLeak)
{
    const std::string valgrind = VALGRIND_PATH;
    if (valgrind.empty())
        GTEST_SKIP() << "valgrind is not installed";

    const MemcheckRun &run = GetParam();
    PluginFolder folder(run.plugins);
    std::vector<std::string> argv = {valgrind, "--quiet", "--leak-check=full",
                                     "--errors-for-leak-kinds=definite",
                                     "--error-exitcode=" + std::to_string(memcheckFailed)};
    argv.insert(argv.end(), run.argv.begin(), run.argv.end());
    const Environment environment = {{"UCA_CAMERA_PATH", folder.path()},
                                     {"UCA_TOOLS_TEST_INIT", run.testInit},
                                     {"XISL_SIM", std::nullopt},
                                     {"G_SLICE", "always-malloc"},
                                     {"G_DEBUG", "gc-friendly"}};

    const ToolResult result = runTool(argv, environment, std::chrono::seconds(240));

    EXPECT_EQ(result.status, run.status) << result.err;
}

INSTANTIATE_TEST_SUITE_P(
    Tools, ToolsUnderMemcheck,
    ::testing::Values(
        MemcheckRun{"UcaInfoUsage", {UCA_INFO_PATH}, {}, std::nullopt, 0},
        MemcheckRun{
            "UcaInfoTable", {UCA_INFO_PATH, "toolstest"}, {TOOLS_TEST_PLUGIN}, std::nullopt, 0},
        MemcheckRun{"UcaInfoUnknownCamera",
                    {UCA_INFO_PATH, "nosuch"},
                    {TOOLS_TEST_PLUGIN},
                    std::nullopt,
                    1},
        MemcheckRun{"UcaInfoFailureWithoutError",
                    {UCA_INFO_PATH, "toolstest"},
                    {TOOLS_TEST_PLUGIN},
                    "silent",
                    1},
        MemcheckRun{"UcaInfoTessaraVolt",
                    {UCA_INFO_PATH, "tessaravolt"},
                    {TESSARAVOLT_PLUGIN},
                    std::nullopt,
                    0},
        MemcheckRun{"GenDocBasicCamera", {GEN_DOC_PATH}, {}, std::nullopt, 0},
        MemcheckRun{
            "GenDocPage", {GEN_DOC_PATH, "toolstest"}, {TOOLS_TEST_PLUGIN}, std::nullopt, 0},
        MemcheckRun{"GenDocFailure", {GEN_DOC_PATH, "toolstest"}, {TOOLS_TEST_PLUGIN}, "fail", 1},
        MemcheckRun{"GenDocTessaraVolt",
                    {GEN_DOC_PATH, "tessaravolt"},
                    {TESSARAVOLT_PLUGIN},
                    std::nullopt,
                    0}),
    [](const ::testing::TestParamInfo<MemcheckRun> &param) {
        return std::string(param.param.name);
    });

} // namespace TessaraVoltTest
