// SPDX-License-Identifier: LGPL-2.1-or-later
// A build without HDF5 (Windows here): a calibration file is refused saying so, and frames stay
// raw, as for any file that cannot serve.
#include "camera-fixture.h"

#include <filesystem>
#include <fstream>

namespace TessaraVoltTest {
namespace {

class NoHdf5Test : public CameraTest {
protected:
    void SetUp() override
    {
        CameraTest::SetUp();
        createStepped();
        g_object_set(camera.get(), "grab-from-continuous", FALSE, "offset-correction", TRUE,
                     nullptr);
    }
};

TEST_F(NoHdf5Test, CalibrationFileIsRefusedSayingTheBuildHasNoHdf5)
{
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() /
        ("no-hdf5-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    std::filesystem::create_directories(folder);
    // Forward slashes, which Windows takes too: the status shows the path with \ escaped.
    const std::string path = (folder / "calibration.h5").generic_string();
    ASSERT_TRUE(bool(std::ofstream(path) << "a file HDF5 could read\n"));
    const std::string cause = "calibration file cannot be used: " + path +
                              ": this build has no HDF5, so it reads no calibration files";
    GLibMessages messages;
    g_object_set(camera.get(), "calibration-file", path.c_str(), nullptr);
    EXPECT_EQ(texts({"calibration-status"}),
              "\"forecast for the next start: " + cause + "; frames stay raw: the " + cause + "\"");
    // Recording goes on with raw frames: the simulator's pattern as it drew it, uncorrected.
    ASSERT_TRUE(start());
    const Grabbed grabbed = grabStepped();
    stop();
    EXPECT_TRUE(frameNumberOf(grabbed.pixels.data(), roi()).has_value());
    EXPECT_EQ(messages.texts(),
              (std::vector<std::string>{"C" + cause.substr(1), "Frames stay raw: the " + cause}));
    std::filesystem::remove_all(folder);
}

} // namespace
} // namespace TessaraVoltTest
