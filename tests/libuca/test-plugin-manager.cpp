// SPDX-License-Identifier: LGPL-2.1-or-later
// The plug-in manager: search paths, listing, loading and the errors of each failure.
#include "test-support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

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

bool pluginDirExists()
{
    return g_file_test(UCA_PLUGINDIR, G_FILE_TEST_IS_DIR);
}

TEST(PluginManager, ListsEveryMatchingEntryOfItsPaths)
{
    CameraFolder folder({TEST_CAMERA_MODULE, NO_EXPORT_MODULE});
    folder.addFile("libucabroken.so", "junk");
    folder.addFile("README", "not a plug-in");
    folder.addFile("old-libucaArchive2.so.bak", "matched anywhere in the name");
    folder.addFile("libuca.so", "no name after the prefix");
    ManagerPtr manager(uca_plugin_manager_new());

    auto names = availableCameras(manager.get());
    ASSERT_GE(names.size(), 4u);
    std::vector<std::string> fromFolder(names.begin(), names.begin() + 4);
    std::sort(fromFolder.begin(), fromFolder.end());
    EXPECT_EQ(fromFolder, (std::vector<std::string>{"Archive2", "broken", "noexport", "test"}));
    if (!pluginDirExists()) {
        EXPECT_EQ(names.size(), 4u);
    }
}

TEST(PluginManager, AddedPathsComeAfterTheEnvironmentPath)
{
    CameraFolder added({NOT_A_CAMERA_MODULE});
    CameraFolder folder({TEST_CAMERA_MODULE});
    ManagerPtr manager(uca_plugin_manager_new());

    uca_plugin_manager_add_path(manager.get(), "/nonexistent/libuca/plugins");
    uca_plugin_manager_add_path(manager.get(), added.path().c_str());

    auto names = availableCameras(manager.get());
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.front(), "test");
    EXPECT_EQ(names.back(), "notacamera");
    EXPECT_EQ(std::count(names.begin(), names.end(), "notacamera"), 1);
}

TEST(PluginManager, MissingEnvironmentPathIsSkipped)
{
    g_setenv("UCA_CAMERA_PATH", "/nonexistent/libuca/plugins", TRUE);
    ManagerPtr manager(uca_plugin_manager_new());
    g_unsetenv("UCA_CAMERA_PATH");

    if (pluginDirExists())
        GTEST_SKIP() << "an installed plug-in folder would be listed";
    EXPECT_EQ(uca_plugin_manager_get_available_cameras(manager.get()), nullptr);
}

class Loading : public ::testing::Test {
protected:
    CameraFolder folder{{TEST_CAMERA_MODULE, NO_EXPORT_MODULE, NOT_A_CAMERA_MODULE}};
    ManagerPtr manager{uca_plugin_manager_new()};
    Error error;
};

TEST_F(Loading, CreatesTheExportedCameraType)
{
    CameraPtr camera(uca_plugin_manager_get_camera(manager.get(), "test", error.out(), "roi-width",
                                                   7u, nullptr));

    ASSERT_TRUE(camera) << error.message();
    EXPECT_STREQ(G_OBJECT_TYPE_NAME(camera.get()), "UcaTestCamera");
    EXPECT_TRUE(UCA_IS_CAMERA(camera.get()));
    EXPECT_EQ(getUint(camera.get(), "roi-width"), 7u);
}

TEST_F(Loading, PassesAnArrayOfProperties)
{
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    GParameter parameters[2] = {{"roi-width", G_VALUE_INIT}, {"roi-height", G_VALUE_INIT}};
    g_value_init(&parameters[0].value, G_TYPE_UINT);
    g_value_set_uint(&parameters[0].value, 11);
    g_value_init(&parameters[1].value, G_TYPE_UINT);
    g_value_set_uint(&parameters[1].value, 13);

    CameraPtr camera(
        uca_plugin_manager_get_camerav(manager.get(), "test", 2, parameters, error.out()));
    g_value_unset(&parameters[0].value);
    g_value_unset(&parameters[1].value);
    G_GNUC_END_IGNORE_DEPRECATIONS

    ASSERT_TRUE(camera) << error.message();
    EXPECT_EQ(getUint(camera.get(), "roi-width"), 11u);
    EXPECT_EQ(getUint(camera.get(), "roi-height"), 13u);
}

void freeValue(gpointer value)
{
    g_value_unset(static_cast<GValue *>(value));
    g_free(value);
}

TEST_F(Loading, PassesATableOfProperties)
{
    GHashTable *table = g_hash_table_new_full(g_str_hash, g_str_equal, nullptr, freeValue);
    GValue *width = g_new0(GValue, 1);
    g_value_init(width, G_TYPE_UINT);
    g_value_set_uint(width, 17);
    g_hash_table_insert(table, const_cast<char *>("roi-width"), width);

    CameraPtr camera(uca_plugin_manager_get_camerah(manager.get(), "test", table, error.out()));
    g_hash_table_unref(table);
    ASSERT_TRUE(camera) << error.message();
    EXPECT_EQ(getUint(camera.get(), "roi-width"), 17u);

    CameraPtr plain(uca_plugin_manager_get_camerah(manager.get(), "test", nullptr, error.out()));
    ASSERT_TRUE(plain) << error.message();
    EXPECT_EQ(getUint(plain.get(), "roi-width"), 64u);
}

TEST_F(Loading, MissingModule)
{
    EXPECT_EQ(uca_plugin_manager_get_camera(manager.get(), "nothere", error.out(), nullptr),
              nullptr);
    EXPECT_TRUE(error.is(UCA_PLUGIN_MANAGER_ERROR, UCA_PLUGIN_MANAGER_ERROR_MODULE_NOT_FOUND));
    EXPECT_EQ(error.message(), "Camera module `nothere' not found");
}

TEST_F(Loading, ModuleThatCannotBeOpened)
{
    folder.addFile("libucabroken.so", "this is not an ELF file");

    EXPECT_EQ(uca_plugin_manager_get_camera(manager.get(), "broken", error.out(), nullptr),
              nullptr);
    EXPECT_TRUE(error.is(UCA_PLUGIN_MANAGER_ERROR, UCA_PLUGIN_MANAGER_ERROR_MODULE_OPEN));
    EXPECT_EQ(error.message().rfind("Camera module `broken' could not be opened: ", 0), 0u)
        << error.message();
    EXPECT_NE(error.message().find("libucabroken.so"), std::string::npos)
        << "carries GModule's reason";
}

TEST_F(Loading, ModuleWithoutExport)
{
    EXPECT_EQ(uca_plugin_manager_get_camera(manager.get(), "noexport", error.out(), nullptr),
              nullptr);
    EXPECT_TRUE(error.is(UCA_PLUGIN_MANAGER_ERROR, UCA_PLUGIN_MANAGER_ERROR_SYMBOL_NOT_FOUND));
    EXPECT_NE(error.message().find("camera_plugin_get_type"), std::string::npos) << error.message();
}

TEST_F(Loading, ModuleWhoseTypeIsNoCamera)
{
    EXPECT_EQ(uca_plugin_manager_get_camera(manager.get(), "notacamera", error.out(), nullptr),
              nullptr);
    EXPECT_TRUE(error.is(UCA_PLUGIN_MANAGER_ERROR, UCA_PLUGIN_MANAGER_ERROR_MODULE_OPEN))
        << error.message();
}

TEST_F(Loading, FailedInitialisationReturnsTheCamerasError)
{
    EXPECT_EQ(uca_plugin_manager_get_camera(manager.get(), "test", error.out(), "fail-init", TRUE,
                                            nullptr),
              nullptr);
    EXPECT_TRUE(error.is(UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_NOT_FOUND));
    EXPECT_EQ(error.message(), "No test device attached");
}

TEST_F(Loading, NameMustMatchTheWholePluginPrefix)
{
    // "tes" is a prefix of "test", but libucates.so is not part of libucatest.so.
    EXPECT_EQ(uca_plugin_manager_get_camera(manager.get(), "tes", error.out(), nullptr), nullptr);
    EXPECT_TRUE(error.is(UCA_PLUGIN_MANAGER_ERROR, UCA_PLUGIN_MANAGER_ERROR_MODULE_NOT_FOUND));
}

TEST_F(Loading, ModuleStaysUsableForFurtherCameras)
{
    for (int i = 0; i < 3; i++) {
        ManagerPtr another(uca_plugin_manager_new());
        CameraPtr camera(
            uca_plugin_manager_get_camera(another.get(), "test", error.out(), nullptr));
        ASSERT_TRUE(camera) << error.message();
    }
}

} // namespace
} // namespace TessaraVoltTest
