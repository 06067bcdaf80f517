// SPDX-License-Identifier: LGPL-2.1-or-later
// The plug-in manager: search paths, listing, loading and the errors of each failure.
#include "test-support.h"

namespace TessaraVoltTest {
namespace {

std::vector<std::string> availableCameras(UcaPluginManager *manager)
{
    std::vector<std::string> names;
    GList *list = uca_plugin_manager_get_available_cameras(manager);
    for (GList *it = list; it != nullptr; it = it->next)
        names.emplace_back(static_cast<const char *>(it->data));
    g_list_free_full(list, g_free);
    return names;
}

// libuca also searches its compiled-in folder, whose plug-ins would join every listing.
const bool pluginDirExists = g_file_test(UCA_PLUGINDIR, G_FILE_TEST_IS_DIR);

TEST(PluginManager, ListsEveryMatchingEntryOfItsPathsEnvironmentFirst)
{
    CameraFolder added({NOT_A_CAMERA_MODULE});
    CameraFolder folder({TEST_CAMERA_MODULE, NO_EXPORT_MODULE});
    folder.addFile("libucabroken.so", "junk");
    folder.addFile("README", "not a plug-in");
    folder.addFile("old-libucaArchive2.so.bak", "matched anywhere in the name");
    folder.addFile("libuca.so", "no name after the prefix");
    ManagerPtr manager(uca_plugin_manager_new());
    uca_plugin_manager_add_path(manager.get(), "/nonexistent/libuca/plugins");
    uca_plugin_manager_add_path(manager.get(), added.path().c_str());

    auto names = availableCameras(manager.get());
    ASSERT_GE(names.size(), 5u);
    std::vector<std::string> fromFolder(names.begin(), names.begin() + 4);
    std::sort(fromFolder.begin(), fromFolder.end());
    EXPECT_EQ(fromFolder,
              (std::vector<std::string>{"Archive2", "broken", "noexport", "toolstest"}));
    EXPECT_EQ(names.back(), "notacamera");
    EXPECT_EQ(std::count(names.begin(), names.end(), "notacamera"), 1);
    if (!pluginDirExists) {
        EXPECT_EQ(names.size(), 5u);
    }
}

TEST(PluginManager, MissingEnvironmentPathIsSkipped)
{
    if (pluginDirExists)
        GTEST_SKIP() << "an installed plug-in folder would be listed";
    g_setenv("UCA_CAMERA_PATH", "/nonexistent/libuca/plugins", TRUE);
    ManagerPtr manager(uca_plugin_manager_new());
    g_unsetenv("UCA_CAMERA_PATH");
    EXPECT_EQ(uca_plugin_manager_get_available_cameras(manager.get()), nullptr);
}

// Like PATH: folders separated by ':' (';' on Windows), searched in order, missing ones and empty
// entries skipped.
TEST(PluginManager, EnvironmentPathIsAListOfFolders)
{
    PluginFolder first({NOT_A_CAMERA_MODULE});
    PluginFolder second({TEST_CAMERA_MODULE});
    const std::string list = std::string("/nonexistent/libuca/plugins") + G_SEARCHPATH_SEPARATOR_S +
                             first.path() + G_SEARCHPATH_SEPARATOR_S + G_SEARCHPATH_SEPARATOR_S +
                             second.path();
    g_setenv("UCA_CAMERA_PATH", list.c_str(), TRUE);
    ManagerPtr manager(uca_plugin_manager_new());
    g_unsetenv("UCA_CAMERA_PATH");
    const auto names = availableCameras(manager.get());
    ASSERT_GE(names.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + 2),
              (std::vector<std::string>{"notacamera", "toolstest"}));
}

struct Failure {
    const char *camera;
    int code;
    const char *message; // its start
    const char *mentions;
};

// The exported camera type with its construction properties (Python's tests use get_camerav and
// get_camerah), or an error that says what went wrong.
TEST(PluginManager, LoadsTheExportedCameraTypeOrSaysWhatWentWrong)
{
    CameraFolder folder{{TEST_CAMERA_MODULE, NO_EXPORT_MODULE, NOT_A_CAMERA_MODULE}};
    folder.addFile("libucabroken.so", "this is not an ELF file");
    ManagerPtr manager{uca_plugin_manager_new()};
    Error error;
    CameraPtr camera(uca_plugin_manager_get_camera(manager.get(), "toolstest", error.out(),
                                                   "roi-width", 7u, nullptr));
    ASSERT_TRUE(camera) << error.message();
    EXPECT_STREQ(G_OBJECT_TYPE_NAME(camera.get()), "UcaTestCamera");
    EXPECT_EQ(get<guint>(camera.get(), "roi-width"), 7u);
    const Failure failures[] = {
        {"nothere", UCA_PLUGIN_MANAGER_ERROR_MODULE_NOT_FOUND, "Camera module `nothere' not found",
         ""},
        // libucatoolstes.so would have to be the file; libucatoolstest.so is not.
        {"toolstes", UCA_PLUGIN_MANAGER_ERROR_MODULE_NOT_FOUND,
         "Camera module `toolstes' not found", ""},
        {"broken", UCA_PLUGIN_MANAGER_ERROR_MODULE_OPEN,
         "Camera module `broken' could not be opened: ", "libucabroken.so"},
        {"noexport", UCA_PLUGIN_MANAGER_ERROR_SYMBOL_NOT_FOUND, "", "camera_plugin_get_type"},
        {"notacamera", UCA_PLUGIN_MANAGER_ERROR_MODULE_OPEN, "", ""},
    };
    for (const Failure &failure : failures) {
        SCOPED_TRACE(failure.camera);
        EXPECT_EQ(
            uca_plugin_manager_get_camera(manager.get(), failure.camera, error.out(), nullptr),
            nullptr);
        EXPECT_EQ(error.camera(UCA_PLUGIN_MANAGER_ERROR).first, failure.code) << error.message();
        EXPECT_EQ(error.message().rfind(failure.message, 0), 0u) << error.message();
        EXPECT_NE(error.message().find(failure.mentions), std::string::npos) << error.message();
    }
    EXPECT_EQ(uca_plugin_manager_get_camera(manager.get(), "toolstest", error.out(), "fail-init",
                                            1u, nullptr),
              nullptr);
    EXPECT_EQ(error.camera(), std::make_pair(int(UCA_CAMERA_ERROR_NOT_FOUND),
                                             std::string("No test device attached")));
}

} // namespace
} // namespace TessaraVoltTest
