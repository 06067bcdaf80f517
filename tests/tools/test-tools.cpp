// SPDX-License-Identifier: LGPL-2.1-or-later
/* uca-info and gen-doc run as a user runs them, against plug-in folders each test controls.
 * Whole outputs are compared: standard output, standard error and the exit status. */

#include <gtest/gtest.h>

#include <glib.h>

#include "tool-runner.h"

namespace TessaraVoltTest {
namespace {

const std::string ucaInfo = UCA_INFO_PATH;
const std::string genDoc = GEN_DOC_PATH;
const std::string testPlugin = TOOLS_TEST_PLUGIN;
const std::string barePlugin = TOOLS_BARE_PLUGIN;

std::string expected(const std::string &name)
{
    return readFile(std::string(EXPECTED_DIR) + "/" + name);
}

Environment inFolder(const PluginFolder &folder,
                     const std::optional<std::string> &testInit = std::nullopt)
{
    return {{"UCA_CAMERA_PATH", folder.path()},
            {"UCA_TOOLS_TEST_INIT", testInit},
            {"LD_PRELOAD", std::nullopt},
            {"XISL_SIM", std::nullopt}};
}

/* libuca also searches its compiled-in folder; plug-ins installed there would join every
 * listing. */
bool builtinFolderHasPlugins()
{
    GDir *dir = g_dir_open(UCA_BUILTIN_PLUGINDIR, 0, nullptr);
    bool found = false;
    if (dir == nullptr)
        return false;
    while (const gchar *name = g_dir_read_name(dir))
        found = found || g_strstr_len(name, -1, "libuca") != nullptr;
    g_dir_close(dir);
    return found;
}

std::string notFound(const std::string &name)
{
    return "Error during initialization: Camera module `" + name + "' not found\n";
}

std::string usage(const std::string &tool, const std::string &cameras)
{
    return "Usage: " + tool + " [ " + cameras;
}

const std::string noPlugin = "] -- no camera plugin found\n";

/* The "Basic camera" page with another title. */
std::string basicPageTitled(const std::string &title)
{
    std::string page = expected("gen-doc-basic.html");
    for (size_t at = page.find("Basic camera"); at != std::string::npos;
         at = page.find("Basic camera", at))
        page.replace(at, std::string("Basic camera").size(), title);
    return page;
}

class Tools : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (builtinFolderHasPlugins())
            GTEST_SKIP() << "camera plug-ins are installed in " << UCA_BUILTIN_PLUGINDIR;
    }

    void expectRun(const std::vector<std::string> &argv, const Environment &environment, int status,
                   const std::string &out, const std::string &err)
    {
        std::string command;
        for (const auto &arg : argv)
            command += (command.empty() ? "" : " ") + arg;
        SCOPED_TRACE(command);
        const ToolResult result = runTool(argv, environment);
        EXPECT_EQ(result.out, out);
        EXPECT_EQ(result.err, err);
        EXPECT_EQ(result.status, status);
    }
};

} // namespace

TEST_F(Tools, WithoutAnyPluginTheUsageLineSaysSo)
{
    PluginFolder empty({});

    expectRun({ucaInfo}, inFolder(empty), 0, usage("uca-info", noPlugin), "");
    expectRun({ucaInfo, "toolstest"}, inFolder(empty), 1, usage("uca-info", noPlugin),
              notFound("toolstest"));
    expectRun({genDoc, "toolstest"}, inFolder(empty), 1,
              notFound("toolstest") + usage("gen-doc", noPlugin), "");
}

TEST_F(Tools, UsageLineListsTheOnePlugin)
{
    PluginFolder one({testPlugin});

    expectRun({ucaInfo}, inFolder(one), 0, usage("uca-info", "toolstest ]\n"), "");
    expectRun({genDoc, "nosuch"}, inFolder(one), 1,
              notFound("nosuch") + usage("gen-doc", "toolstest ]\n"), "");
}

TEST_F(Tools, UsageLineListsTwoPluginsInDirectoryOrder)
{
    PluginFolder two({testPlugin, barePlugin});
    std::string cameras;
    for (const auto &file : two.listing()) {
        const std::string name = file == "libucatoolstest.so" ? "toolstest" : "toolsbare";
        cameras += cameras.empty() ? name : ", " + name;
    }
    ASSERT_EQ(cameras.size(), std::string("toolstest, toolsbare").size());

    expectRun({ucaInfo}, inFolder(two), 0, usage("uca-info", cameras + " ]\n"), "");
    expectRun({ucaInfo, "nosuch"}, inFolder(two), 1, usage("uca-info", cameras + " ]\n"),
              notFound("nosuch"));
    expectRun({genDoc, "nosuch"}, inFolder(two), 1,
              notFound("nosuch") + usage("gen-doc", cameras + " ]\n"), "");
}

TEST_F(Tools, OptionLookingArgumentIsACameraName)
{
    PluginFolder one({testPlugin});

    expectRun({ucaInfo, "--help"}, inFolder(one), 1, usage("uca-info", "toolstest ]\n"),
              notFound("--help"));
    expectRun({genDoc, "-h", "toolstest"}, inFolder(one), 1,
              notFound("-h") + usage("gen-doc", "toolstest ]\n"), "");
}

TEST_F(Tools, UcaInfoListsEveryPropertySortedWithAccessAndValue)
{
    PluginFolder one({testPlugin});
    const std::string table = expected("uca-info-toolstest.txt");

    expectRun({ucaInfo, "toolstest"}, inFolder(one), 0, table, "");
    expectRun({ucaInfo, "toolstest", "extra", "--verbose"}, inFolder(one), 0, table, "");
}

TEST_F(Tools, GenDocDocumentsEveryPropertyInClassOrder)
{
    PluginFolder one({testPlugin});
    const std::string page = expected("gen-doc-toolstest.html");

    expectRun({genDoc, "toolstest"}, inFolder(one), 0, page, "");
    expectRun({genDoc, "toolstest", "extra", "--verbose"}, inFolder(one), 0, page, "");
}

TEST_F(Tools, CameraWithoutOwnPropertiesDocumentsTheBaseProperties)
{
    PluginFolder bare({barePlugin});

    expectRun({genDoc, "toolsbare"}, inFolder(bare), 0, basicPageTitled("toolsbare"), "");
}

TEST_F(Tools, GenDocWithoutArgumentDocumentsTheBasicCamera)
{
    /* A plug-in that refuses to start proves that none is loaded for this page. */
    PluginFolder one({testPlugin});

    expectRun({genDoc}, inFolder(one, "fail"), 0, expected("gen-doc-basic.html"), "");
}

TEST_F(Tools, FailedInitialisationIsReportedWithLibucasMessage)
{
    PluginFolder one({testPlugin});
    const std::string error = "Error during initialization: Tools test camera refused to start\n";

    expectRun({ucaInfo, "toolstest"}, inFolder(one, "fail"), 1, usage("uca-info", "toolstest ]\n"),
              error);
    expectRun({genDoc, "toolstest"}, inFolder(one, "fail"), 1,
              error + usage("gen-doc", "toolstest ]\n"), "");
}

TEST_F(Tools, FailureWithoutErrorRecordIsStillExplained)
{
    PluginFolder one({testPlugin});
    const std::string error = "Error during initialization: camera `toolstest' could not be "
                              "created (libuca gave no reason)\n";

    expectRun({ucaInfo, "toolstest"}, inFolder(one, "silent"), 1,
              usage("uca-info", "toolstest ]\n"), error);
    expectRun({genDoc, "toolstest"}, inFolder(one, "silent"), 1,
              error + usage("gen-doc", "toolstest ]\n"), "");
}

TEST_F(Tools, GenDocReportsABasicCameraThatCannotBeMade)
{
#ifdef TOOLS_TEST_SANITIZED
    GTEST_SKIP() << "a preloaded library cannot precede the sanitizer runtime";
#endif
    PluginFolder one({testPlugin});
    Environment environment = inFolder(one);
    environment["LD_PRELOAD"] = ABSTRACT_BASE_SHIM;

    expectRun({genDoc}, environment, 1,
              "Error during initialization: The basic camera type `ToolsAbstractCamera' cannot be "
              "instantiated\n" +
                  usage("gen-doc", "toolstest ]\n"),
              "");
}

/* The system's own camera on the default simulated detector (one 1024 x 1024 sensor). The
 * driver logs discovery on standard output; the tools send it to standard error, so that their
 * own output stays clean. */
class TessaraVoltTools : public Tools {
protected:
    PluginFolder folder{{TESSARAVOLT_PLUGIN}};
    const std::string discoveryLog =
        "[TIME] [Detector] [info] Found 1 sensors\n"
        "[TIME] [Detector] [info] Camera: PROM 1, header 14\n"
        "[TIME] [Detector] [info] Camera (extended): header 14, type 1\n";
};

TEST_F(TessaraVoltTools, UcaInfoListsTheCamera)
{
    const ToolResult result = runTool({ucaInfo, "tessaravolt"}, inFolder(folder));

    EXPECT_EQ(maskLogTimes(result.out), expected("uca-info-tessaravolt.txt"));
    EXPECT_EQ(maskLogTimes(result.err), discoveryLog);
    EXPECT_EQ(result.status, 0);
}

TEST_F(TessaraVoltTools, GenDocDocumentsTheCamera)
{
    const ToolResult result = runTool({genDoc, "tessaravolt"}, inFolder(folder));

    EXPECT_EQ(maskLogTimes(result.out), expected("gen-doc-tessaravolt.html"));
    EXPECT_EQ(maskLogTimes(result.err), discoveryLog);
    EXPECT_EQ(result.status, 0);
}

TEST_F(TessaraVoltTools, MissingDetectorIsReported)
{
    Environment environment = inFolder(folder);
    environment["XISL_SIM"] = "sensors=none";
    const std::string log = "[TIME] [Detector] [info] Found 0 sensors\n"
                            "[TIME] [Detector] [error] Unable to get next sensor\n";
    const std::string error = "Error during initialization: Unable to get next sensor\n";

    ToolResult result = runTool({ucaInfo, "tessaravolt"}, environment);
    EXPECT_EQ(result.out, usage("uca-info", "tessaravolt ]\n"));
    EXPECT_EQ(maskLogTimes(result.err), log + error);
    EXPECT_EQ(result.status, 1);

    result = runTool({genDoc, "tessaravolt"}, environment);
    EXPECT_EQ(result.out, error + usage("gen-doc", "tessaravolt ]\n"));
    EXPECT_EQ(maskLogTimes(result.err), log);
    EXPECT_EQ(result.status, 1);
}

} // namespace TessaraVoltTest
