// SPDX-License-Identifier: LGPL-2.1-or-later
/* Both tools free everything they allocate: memcheck finds no definite leak and no memory error,
 * on the success paths and on the failure paths. A leak or error turns the exit status into 99. */

#include <gtest/gtest.h>

#include "tool-runner.h"

namespace TessaraVoltTest {
namespace {

struct MemcheckRun {
    const char *name;
    std::vector<std::string> argv, plugins;
    std::optional<std::string> testInit;
    int status;
};

void PrintTo(const MemcheckRun &run, std::ostream *os)
{
    *os << run.name;
}

class ToolsUnderMemcheck : public ::testing::TestWithParam<MemcheckRun> {};

TEST_P(ToolsUnderMemcheck, NoDefiniteLeak)
{
    const std::string valgrind = VALGRIND_PATH;
    if (valgrind.empty())
        GTEST_SKIP() << "valgrind is not installed";
    const MemcheckRun &run = GetParam();
    PluginFolder folder(run.plugins);
    std::vector<std::string> argv = {valgrind, "--quiet", "--leak-check=full",
                                     "--errors-for-leak-kinds=definite", "--error-exitcode=99"};
    argv.insert(argv.end(), run.argv.begin(), run.argv.end());
    const ChildResult result = runTool(argv,
                                       {{"UCA_CAMERA_PATH", folder.path()},
                                        {"UCA_TOOLS_TEST_INIT", run.testInit},
                                        {"XISL_SIM", std::nullopt},
                                        {"G_SLICE", "always-malloc"},
                                        {"G_DEBUG", "gc-friendly"}},
                                       std::chrono::seconds(240));
    EXPECT_EQ(result.status, run.status) << result.err;
}

const std::string ucaInfo = UCA_INFO_PATH, genDoc = GEN_DOC_PATH, test = TOOLS_TEST_PLUGIN,
                  tessaravolt = TESSARAVOLT_PLUGIN;

// clang-format off
INSTANTIATE_TEST_SUITE_P(Tools, ToolsUnderMemcheck, ::testing::Values(
    MemcheckRun{"UcaInfoUsage", {ucaInfo}, {}, std::nullopt, 0},
    MemcheckRun{"UcaInfoTable", {ucaInfo, "toolstest"}, {test}, std::nullopt, 0},
    MemcheckRun{"UcaInfoUnknownCamera", {ucaInfo, "nosuch"}, {test}, std::nullopt, 1},
    MemcheckRun{"UcaInfoFailureWithoutError", {ucaInfo, "toolstest"}, {test}, "silent", 1},
    MemcheckRun{"UcaInfoTessaraVolt", {ucaInfo, "tessaravolt"}, {tessaravolt}, std::nullopt, 0},
    MemcheckRun{"GenDocBasicCamera", {genDoc}, {}, std::nullopt, 0},
    MemcheckRun{"GenDocPage", {genDoc, "toolstest"}, {test}, std::nullopt, 0},
    MemcheckRun{"GenDocFailure", {genDoc, "toolstest"}, {test}, "fail", 1},
    MemcheckRun{"GenDocTessaraVolt", {genDoc, "tessaravolt"}, {tessaravolt}, std::nullopt, 0}),
    [](const ::testing::TestParamInfo<MemcheckRun> &row) { return std::string(row.param.name); });
// clang-format on

} // namespace
} // namespace TessaraVoltTest
