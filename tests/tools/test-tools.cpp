// SPDX-License-Identifier: LGPL-2.1-or-later
/* uca-info and gen-doc run as a user runs them, against plug-in folders each row assembles.
 * Whole outputs are compared: standard output, standard error (log time stamps masked) and the
 * exit status. Built a second time with TOOLS_UNDER_MEMCHECK, each run goes through valgrind's
 * memcheck, so that both tools are seen to free everything they allocate, on the success paths
 * and on the failure paths: a definite leak or a memory error turns the exit status into 99. */

#include <gtest/gtest.h>

#include "child-process.h"
#include "plugin-folder.h"

#include <glib.h>

#include <stdexcept>

namespace TessaraVoltTest {
namespace {

// Replaces the time stamp of spdlog's default pattern at the start of every line by "[TIME] ".
// GRegex rather than std::regex: GCC's sanitizer builds warn inside libstdc++'s regex.
std::string maskLogTimes(const std::string &text)
{
    static GRegex *const stamp = g_regex_new(R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] )",
                                             GRegexCompileFlags(G_REGEX_MULTILINE | G_REGEX_RAW),
                                             GRegexMatchFlags(0), nullptr);
    gchar *masked = g_regex_replace_literal(stamp, text.c_str(), -1, 0, "[TIME] ",
                                            GRegexMatchFlags(0), nullptr);
    std::string result = masked;
    g_free(masked);
    return result;
}

const std::string ucaInfo = UCA_INFO_PATH, genDoc = GEN_DOC_PATH, test = TOOLS_TEST_PLUGIN,
                  bare = TOOLS_BARE_PLUGIN, tessaravolt = TESSARAVOLT_PLUGIN;

struct ToolRun {
    std::string name;
    std::vector<std::string> plugins, argv;
    EnvironmentChanges environment; // besides UCA_CAMERA_PATH
    int status;
    std::string out, err; // USAGE stands for the usage line up to the camera list
};

void PrintTo(const ToolRun &run, std::ostream *os)
{
    *os << run.name;
}

std::string expected(const std::string &name)
{
    gchar *text = nullptr;
    if (!g_file_get_contents((std::string(EXPECTED_DIR) + "/" + name).c_str(), &text, nullptr,
                             nullptr))
        throw std::runtime_error("cannot read " + name);
    std::string result = text;
    g_free(text);
    return result;
}

std::string notFound(const std::string &name)
{
    return "Error during initialization: Camera module `" + name + "' not found\n";
}

// The "Basic camera" page with another title.
std::string basicPageTitled(const std::string &title)
{
    std::string page = expected("gen-doc-basic.html");
    for (size_t at = page.find("Basic camera"); at != std::string::npos;
         at = page.find("Basic camera", at))
        page.replace(at, std::string("Basic camera").size(), title);
    return page;
}

std::vector<ToolRun> runs()
{
    const EnvironmentChanges fail = {{"UCA_TOOLS_TEST_INIT", "fail"}};
    const EnvironmentChanges silent = {{"UCA_TOOLS_TEST_INIT", "silent"}};
    const EnvironmentChanges noSensor = {{"XISL_SIM", "sensors=none"}};
    const std::string refused = "Error during initialization: Tools test camera refused to start\n";
    const std::string noReason = "Error during initialization: camera `toolstest' could not be "
                                 "created (libuca gave no reason)\n";
    const std::string table = expected("uca-info-toolstest.txt"),
                      page = expected("gen-doc-toolstest.html");
    // The driver logs discovery on standard output; the tools send it to standard error.
    const std::string discovery = "[TIME] [Detector] [info] Found 1 sensors\n"
                                  "[TIME] [Detector] [info] Camera: PROM 1, header 14\n"
                                  "[TIME] [Detector] [info] Camera (extended): header 14, type 1\n";
    const std::string noSensorLog = "[TIME] [Detector] [info] Found 0 sensors\n"
                                    "[TIME] [Detector] [error] Unable to get next sensor\n";
    const std::string noSensorError = "Error during initialization: Unable to get next sensor\n";
    // clang-format off
    return {
        {"UcaInfoWithoutPlugins", {}, {ucaInfo}, {}, 0, "USAGE", ""},
        {"UcaInfoCameraWithoutPlugins", {}, {ucaInfo, "toolstest"}, {}, 1, "USAGE", notFound("toolstest")},
        {"GenDocCameraWithoutPlugins", {}, {genDoc, "toolstest"}, {}, 1, notFound("toolstest") + "USAGE", ""},
        {"UcaInfoUsage", {test}, {ucaInfo}, {}, 0, "USAGE", ""},
        {"GenDocUnknownCamera", {test}, {genDoc, "nosuch"}, {}, 1, notFound("nosuch") + "USAGE", ""},
        {"UcaInfoUsageOfTwo", {test, bare}, {ucaInfo}, {}, 0, "USAGE", ""},
        {"UcaInfoUnknownOfTwo", {test, bare}, {ucaInfo, "nosuch"}, {}, 1, "USAGE", notFound("nosuch")},
        {"GenDocUnknownOfTwo", {test, bare}, {genDoc, "nosuch"}, {}, 1, notFound("nosuch") + "USAGE", ""},
        {"UcaInfoOptionIsACameraName", {test}, {ucaInfo, "--help"}, {}, 1, "USAGE", notFound("--help")},
        {"GenDocOptionIsACameraName", {test}, {genDoc, "-h", "toolstest"}, {}, 1, notFound("-h") + "USAGE", ""},
        {"UcaInfoTable", {test}, {ucaInfo, "toolstest"}, {}, 0, table, ""},
        {"UcaInfoTableIgnoresExtraArguments", {test}, {ucaInfo, "toolstest", "extra", "--verbose"}, {}, 0, table, ""},
        {"GenDocPage", {test}, {genDoc, "toolstest"}, {}, 0, page, ""},
        {"GenDocPageIgnoresExtraArguments", {test}, {genDoc, "toolstest", "extra", "--verbose"}, {}, 0, page, ""},
        {"GenDocBareCameraHasTheBaseProperties", {bare}, {genDoc, "toolsbare"}, {}, 0, basicPageTitled("toolsbare"), ""},
        // A plug-in that refuses to start proves that none is loaded for this page.
        {"GenDocBasicCamera", {test}, {genDoc}, fail, 0, expected("gen-doc-basic.html"), ""},
        {"UcaInfoFailedInitialisation", {test}, {ucaInfo, "toolstest"}, fail, 1, "USAGE", refused},
        {"GenDocFailedInitialisation", {test}, {genDoc, "toolstest"}, fail, 1, refused + "USAGE", ""},
        {"UcaInfoFailureWithoutError", {test}, {ucaInfo, "toolstest"}, silent, 1, "USAGE", noReason},
        {"GenDocFailureWithoutError", {test}, {genDoc, "toolstest"}, silent, 1, noReason + "USAGE", ""},
#ifndef TOOLS_TEST_SANITIZED // a preloaded library cannot precede the sanitizer runtime
        {"GenDocBasicCameraCannotBeMade", {test}, {genDoc}, {{"LD_PRELOAD", ABSTRACT_BASE_SHIM}}, 1,
         "Error during initialization: The basic camera type `ToolsAbstractCamera' cannot be instantiated\nUSAGE", ""},
#endif
        // The system's own camera on the default simulated detector (one 1024 x 1024 sensor).
        {"UcaInfoTessaraVolt", {tessaravolt}, {ucaInfo, "tessaravolt"}, {}, 0, expected("uca-info-tessaravolt.txt"), discovery},
        {"GenDocTessaraVolt", {tessaravolt}, {genDoc, "tessaravolt"}, {}, 0, expected("gen-doc-tessaravolt.html"), discovery},
        {"UcaInfoNoDetector", {tessaravolt}, {ucaInfo, "tessaravolt"}, noSensor, 1, "USAGE", noSensorLog + noSensorError},
        {"GenDocNoDetector", {tessaravolt}, {genDoc, "tessaravolt"}, noSensor, 1, noSensorError + "USAGE", noSensorLog},
    };
    // clang-format on
}

#ifdef TOOLS_UNDER_MEMCHECK
#define RUNS UnderMemcheck
#else
#define RUNS Runs
#endif

class Tools : public ::testing::TestWithParam<ToolRun> {};

TEST_P(Tools, PrintExactly)
{
    // libuca also searches its compiled-in folder; plug-ins installed there would join every
    // listing.
    g_autoptr(GDir) builtin = g_dir_open(UCA_BUILTIN_PLUGINDIR, 0, nullptr);
    for (const gchar *name; builtin && (name = g_dir_read_name(builtin)) != nullptr;) {
        if (g_strstr_len(name, -1, "libuca") != nullptr)
            GTEST_SKIP() << "camera plug-ins are installed in " << UCA_BUILTIN_PLUGINDIR;
    }

    const ToolRun &run = GetParam();
    std::vector<std::string> argv = run.argv;
    auto bound = std::chrono::seconds(60);
#ifdef TOOLS_UNDER_MEMCHECK
    if (std::string(VALGRIND_PATH).empty() || run.environment.count("LD_PRELOAD"))
        GTEST_SKIP() << "no valgrind, or a preloaded library valgrind would not see first";
    argv.insert(argv.begin(), {VALGRIND_PATH, "--quiet", "--leak-check=full",
                               "--errors-for-leak-kinds=definite", "--error-exitcode=99"});
    bound = std::chrono::seconds(240);
#endif
    PluginFolder folder(run.plugins);
    EnvironmentChanges environment = {
        {"UCA_CAMERA_PATH", folder.path()}, {"UCA_TOOLS_TEST_INIT", std::nullopt},
        {"LD_PRELOAD", std::nullopt},       {"XISL_SIM", std::nullopt},
        {"G_SLICE", "always-malloc"},       {"G_DEBUG", "gc-friendly"}};
    for (const auto &[name, value] : run.environment)
        environment[name] = value;
    // The cameras in the order the folder lists them, which is libuca's order.
    std::string cameras;
    for (std::string file : folder.listing())
        cameras += (cameras.empty() ? "" : ", ") + file.substr(6, file.size() - 9); // libucaNAME.so
    const std::string tool = run.argv[0].substr(run.argv[0].rfind('/') + 1);
    const std::string usage =
        "Usage: " + tool + " [ " +
        (cameras.empty() ? "] -- no camera plugin found\n" : cameras + " ]\n");
    auto withUsage = [&](std::string text) {
        const size_t at = text.find("USAGE");
        return at == std::string::npos ? text : text.replace(at, 5, usage);
    };

    const ChildResult result = runChild(argv, environment, bound);
    ASSERT_TRUE(result.finished) << argv[0] << " did not finish in time";
    EXPECT_EQ(maskLogTimes(result.out), withUsage(run.out));
    EXPECT_EQ(maskLogTimes(result.err), withUsage(run.err));
    EXPECT_EQ(result.status, run.status);
}

INSTANTIATE_TEST_SUITE_P(RUNS, Tools, ::testing::ValuesIn(runs()),
                         [](const ::testing::TestParamInfo<ToolRun> &row) {
                             return row.param.name;
                         });

} // namespace
} // namespace TessaraVoltTest
