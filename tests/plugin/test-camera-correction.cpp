// SPDX-License-Identifier: LGPL-2.1-or-later
// Corrected frames: against the simulated panel's planted offset, gain and defects, the fit of a
// calibration to the settings frames are taken with, and files that cannot serve.
#include "calibration-file.h"
#include "camera-fixture.h"
#include "correction.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <random>

namespace TessaraVoltTest {
namespace {

constexpr uint32_t side = 256;
constexpr uint32_t seed = 5;
// Neither its start nor its width a multiple of the copy's sixteen-pixel step.
constexpr Roi region{13, 8, 221, 240};
constexpr uint32_t flatBeam = 40000;

XislSimScene sceneOf(XislSimContent content, uint32_t beam)
{
    return XislSimScene{content, seed, side, side, XISL_BINNING_NONE, beam};
}

// The planted truth of every pixel of the region, row after row.
std::vector<XislSimPixelTruth> truthOf(const XislSimScene &scene)
{
    std::vector<XislSimPixelTruth> truth(size_t{region.width} * region.height);
    for (uint32_t y = 0; y < region.height; y++)
        for (uint32_t x = 0; x < region.width; x++)
            EXPECT_EQ(xisl_sim_pixel_truth(&scene, region.x0 + x, region.y0 + y,
                                           &truth[size_t{y} * region.width + x]),
                      0);
    return truth;
}

SeriesSettings settingsAt(double exposure, const Roi &roi = region)
{
    SeriesSettings settings;
    settings.exposure = exposure;
    const unsigned bounds[4] = {roi.x0, roi.y0, roi.width, roi.height};
    std::copy(bounds, bounds + 4, settings.roi);
    return settings;
}

// Two frames of the planted expected values, shifted by `shift` counts: a noise-free series.
FrameSeries plantedSeries(const char *name, const XislSimScene &scene, double exposure,
                          int shift = 0)
{
    std::vector<uint16_t> frame;
    for (const XislSimPixelTruth &pixel : truthOf(scene))
        frame.push_back(static_cast<uint16_t>(pixel.mean + static_cast<float>(shift)));
    return FrameSeries{name, region.width, region.height, {frame, frame}, settingsAt(exposure)};
}

double meanOf(const std::vector<uint16_t> &pixels)
{
    return std::accumulate(pixels.begin(), pixels.end(), 0.0) / static_cast<double>(pixels.size());
}

// Calibrations are taken on a small panel in single frames, so that the first grab after the
// creation is frame 1, the next frame 2, and so on.
class CorrectionTest : public CameraTest {
protected:
    void SetUp() override
    {
        CameraTest::SetUp();
        const XislSimSensor small = sensor(side, side);
        ASSERT_EQ(xisl_sim_set_sensors(&small, 1), 0);
        xisl_sim_set_seed(seed);
        xisl_sim_set_content(XISL_SIM_CONTENT_FLAT);
        xisl_sim_set_beam(0);
        gchar *made = g_dir_make_tmp("correction-XXXXXX", nullptr);
        ASSERT_NE(made, nullptr);
        folder = made;
        g_free(made);
        createStepped();
        setRoi(region);
        g_object_set(camera.get(), "grab-from-continuous", FALSE, "offset-correction", TRUE,
                     nullptr);
    }

    void TearDown() override
    {
        CameraTest::TearDown();
        std::filesystem::remove_all(folder);
    }

    std::string write(const std::string &name, const std::vector<FrameSeries> &series)
    {
        const std::string path = folder + "/" + name;
        EXPECT_TRUE(series.empty() ? bool(std::ofstream(path) << "not HDF5\n")
                                   : writeSeriesFile(path, series));
        return path;
    }

    // Darks and flats of the planted panel, taken at 1 ms as the stepped camera runs.
    std::string writePlantedCalibration()
    {
        return write(
            "planted.h5",
            {plantedSeries("data_dark", sceneOf(XISL_SIM_CONTENT_FLAT, 0), 0.001),
             plantedSeries("data_white", sceneOf(XISL_SIM_CONTENT_FLAT, flatBeam), 0.001)});
    }

    Grabbed record()
    {
        if (!start())
            return {};
        Grabbed grabbed = grabStepped();
        stop();
        return grabbed;
    }

    // The region of frame n as the simulator draws it, uncorrected.
    std::vector<uint16_t> rawRegion(uint32_t n)
    {
        XislSimScene scene{};
        EXPECT_EQ(xisl_sim_get_scene(acquisitionHandle(), &scene), 0);
        std::vector<uint16_t> frame(size_t{side} * side), cut;
        EXPECT_EQ(xisl_sim_render(&scene, n, frame.data()), 0);
        for (uint32_t y = 0; y < region.height; y++)
            for (uint32_t x = 0; x < region.width; x++)
                cut.push_back(frame[size_t{region.y0 + y} * side + region.x0 + x]);
        return cut;
    }

    std::string status()
    {
        gchar *text = nullptr;
        g_object_get(camera.get(), "calibration-status", &text, nullptr);
        std::string result = text ? text : "";
        g_free(text);
        return result;
    }

    std::string folder;
};

struct CorrectionCase {
    const char *name;
    bool offset;
    bool gain;
    bool defects;
    guint pedestal;
    XislSimContent content;
    uint32_t beam;
};

void PrintTo(const CorrectionCase &c, std::ostream *out)
{
    *out << c.name;
}

class PlantedMapsTest : public CorrectionTest,
                        public ::testing::WithParamInterface<CorrectionCase> {};

// Each corrected pixel against the planted panel: (raw - dark) * gain + pedestal, with gain the
// good pixels' mean response over the pixel's own, clamped to 0..65535, saturated pixels kept
// saturated, and each planted defect replaced by the mean of its good neighbours.
TEST_P(PlantedMapsTest, CorrectionMatchesThePlantedPanel)
{
    const CorrectionCase &c = GetParam();
    g_object_set(camera.get(), "calibration-file", writePlantedCalibration().c_str(),
                 "offset-correction", gboolean{c.offset}, "gain-correction", gboolean{c.gain},
                 "defect-correction", gboolean{c.defects}, "correction-pedestal", c.pedestal,
                 nullptr);
    xisl_sim_set_content(c.content);
    xisl_sim_set_beam(c.beam);
    const Grabbed grabbed = record();
    ASSERT_TRUE(grabbed.ok);
    const std::vector<uint16_t> raw = rawRegion(1);

    const std::vector<XislSimPixelTruth> dark = truthOf(sceneOf(XISL_SIM_CONTENT_FLAT, 0));
    const std::vector<XislSimPixelTruth> flat = truthOf(sceneOf(XISL_SIM_CONTENT_FLAT, flatBeam));
    double responses = 0;
    size_t good = 0;
    for (size_t i = 0; i < raw.size(); i++) {
        if (flat[i].defects == 0) {
            responses += flat[i].mean - dark[i].mean;
            good++;
        }
    }
    std::vector<double> expected(raw.size()), unclamped(raw.size());
    size_t underflows = 0, overflows = 0, saturated = 0;
    for (size_t i = 0; i < raw.size(); i++) {
        const bool defect = flat[i].defects != 0;
        const double gain =
            c.gain && !defect ? responses / good / (flat[i].mean - dark[i].mean) : 1;
        const double value = (raw[i] - dark[i].mean) * gain + c.pedestal;
        unclamped[i] = !c.offset ? raw[i] : raw[i] == 65535 ? 65535 : value;
        expected[i] = std::clamp(unclamped[i], 0.0, 65535.0);
        underflows += c.offset && !defect && value < 0;
        overflows += c.offset && !defect && raw[i] < 65535 && value > 65535;
        saturated += c.offset && !defect && raw[i] == 65535;
    }
    size_t defects = 0, wrong = 0;
    for (size_t i = 0; i < raw.size(); i++) {
        double want = expected[i];
        if (c.defects && flat[i].defects != 0) {
            const int64_t x = static_cast<int64_t>(i % region.width), y = i / region.width;
            double sum = 0;
            int count = 0;
            for (int64_t ny = std::max<int64_t>(y - 1, 0);
                 ny <= std::min<int64_t>(y + 1, region.height - 1); ny++)
                for (int64_t nx = std::max<int64_t>(x - 1, 0);
                     nx <= std::min<int64_t>(x + 1, region.width - 1); nx++)
                    if (flat[ny * region.width + nx].defects == 0) {
                        sum += std::nearbyint(expected[ny * region.width + nx]);
                        count++;
                    }
            want = sum / count;
            defects++;
        }
        // Rounding, and the gain factor kept to 2^-14: up to 2 counts at the top of the range.
        double tolerance = c.defects && flat[i].defects != 0
                               ? 1.01 + want / 32768
                               : 0.51 + std::fabs(raw[i] - dark[i].mean) / 32768;
        if (unclamped[i] - tolerance >= 65535 || unclamped[i] + tolerance <= 0)
            tolerance = 0; // clamped or saturated beyond doubt
        if (std::fabs(grabbed.pixels[i] - want) > tolerance && wrong++ == 0)
            ADD_FAILURE() << "pixel (" << i % region.width << ", " << i / region.width << ") is "
                          << grabbed.pixels[i] << ", not " << want << " (raw " << raw[i] << ")";
    }
    EXPECT_EQ(wrong, 0u);
    // What each case is there for really happens in its frame.
    EXPECT_EQ(underflows > 0, c.pedestal == 0);
    EXPECT_EQ(overflows > 0 && saturated > 0, c.beam > flatBeam);
    if (c.defects) {
        EXPECT_GT(defects, region.height) << "a defective line and single defects";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Corrections, PlantedMapsTest,
    ::testing::Values(
        CorrectionCase{"DarkWithoutPedestalClampsAtZero", true, false, false, 0,
                       XISL_SIM_CONTENT_FLAT, 0},
        // Brighter than the panel's range: most pixels saturate, the weakest are clamped.
        CorrectionCase{"BrightPhantomSaturatesAndClamps", true, true, true, 100,
                       XISL_SIM_CONTENT_PHANTOM, 66000},
        CorrectionCase{"DefectsOfRawFrames", false, false, true, 100, XISL_SIM_CONTENT_FLAT,
                       flatBeam}),
    [](const ::testing::TestParamInfo<CorrectionCase> &c) { return std::string(c.param.name); });

// The planted panel's pixels stay within a few thousand counts of the dark and gains near 1; the
// vectorised arithmetic must also agree where it saturates, clamps and rounds halves.
TEST(RowCorrectionTest, VectorisedRowsMatchThePortableOnesBitForBit)
{
    const TessaraVolt::RowCorrection fastest = TessaraVolt::fastestRowCorrection();
    if (fastest == TessaraVolt::portableRowCorrection())
        GTEST_SKIP() << "no vectorised path on this processor";
    constexpr uint16_t edges[] = {0,     1,     2,     99,    100,   101,   8191,  8192,
                                  16383, 16384, 16385, 32767, 32768, 65533, 65534, 65535};
    std::mt19937 random(7);
    std::uniform_int_distribution<uint32_t> any(0, 65535);
    // Not a multiple of the sixteen-pixel step: the row's tail is taken pixel by pixel.
    constexpr uint32_t length = 4099;
    std::vector<uint16_t> raw(length), dark(length), gain(length), portable(length), fast(length);
    for (int row = 0; row < 64; row++) {
        for (uint32_t i = 0; i < length; i++) {
            // Edge values for a third of the draws; raw near the dark for another third.
            const auto draw = [&](uint32_t salt) {
                const uint32_t pick = any(random);
                return pick % 3 == 0 ? edges[(pick / 3 + salt) % std::size(edges)]
                                     : static_cast<uint16_t>(any(random));
            };
            dark[i] = draw(1);
            gain[i] = draw(2);
            raw[i] = i % 3 == 0
                         ? static_cast<uint16_t>(std::clamp<int32_t>(
                               dark[i] + static_cast<int32_t>(any(random) % 64) - 32, 0, 65535))
                         : draw(3);
        }
        const uint16_t pedestal = edges[row % std::size(edges)];
        const uint16_t *gains = row % 4 == 0 ? nullptr : gain.data(); // null: offset alone
        TessaraVolt::portableRowCorrection()(raw.data(), dark.data(), gains, pedestal,
                                             portable.data(), length);
        fastest(raw.data(), dark.data(), gains, pedestal, fast.data(), length);
        for (uint32_t i = 0; i < length; i++)
            ASSERT_EQ(fast[i], portable[i]) << "raw " << raw[i] << ", dark " << dark[i] << ", gain "
                                            << (gains ? gains[i] : -1) << ", pedestal " << pedestal;
    }
}

// Frames taken at another exposure than the calibration's are never corrected with its dark:
// they stay raw, one warning says why, and so does the status.
TEST_F(CorrectionTest, CalibrationGoesStaleOnAnExposureChange)
{
    const std::string path = writePlantedCalibration();
    g_object_set(camera.get(), "calibration-file", path.c_str(), nullptr);
    const Grabbed fitting = record();
    EXPECT_NEAR(meanOf(fitting.pixels), 100, 3) << "the dark subtracted, the pedestal added";
    EXPECT_NE(status().find("fits the current settings; frames get: offset, pedestal 100"),
              std::string::npos)
        << status();

    GLibMessages messages;
    g_object_set(camera.get(), "exposure-time", 0.002, nullptr);
    for (uint32_t frame : {2u, 3u}) {
        ASSERT_TRUE(start());
        const std::string reason =
            "does not fit the current settings: exposure 0.002 s, the calibration's 0.001 s";
        EXPECT_NE(status().find(reason + "; frames stay raw"), std::string::npos) << status();
        const Grabbed stale = grabStepped();
        stop();
        EXPECT_EQ(stale.pixels, rawRegion(frame));
        const std::vector<LogLine> lines = messages.lines();
        ASSERT_EQ(lines.size(), 1u) << "one warning, not one for every start";
        EXPECT_EQ(lines[0].text, "Frames stay raw: " + path + ": " + reason);
    }
}

TEST_F(CorrectionTest, TheCalibrationTakenWithTheCurrentSettingsIsPickedFromAFolder)
{
    write("short.h5", {plantedSeries("data_dark", sceneOf(XISL_SIM_CONTENT_FLAT, 0), 0.001)});
    write("long.h5", {plantedSeries("data_dark", sceneOf(XISL_SIM_CONTENT_FLAT, 0), 0.002, 40)});
    write("notes.txt", {});
    g_object_set(camera.get(), "calibration-file", folder.c_str(), nullptr);

    for (const auto &[exposure, name, level] :
         {std::tuple{0.002, "long.h5", 60.0}, std::tuple{0.001, "short.h5", 100.0}}) {
        g_object_set(camera.get(), "exposure-time", exposure, nullptr);
        EXPECT_NEAR(meanOf(record().pixels), level, 3) << name;
        EXPECT_NE(status().find(folder + "/" + name + " fits the current settings"),
                  std::string::npos)
            << status();
    }
}

struct UnusableCase {
    const char *name;
    std::vector<FrameSeries> series; // none: not an HDF5 file
    const char *reason;
};

void PrintTo(const UnusableCase &c, std::ostream *out)
{
    *out << c.name;
}

class UnusableCalibrationTest : public CorrectionTest,
                                public ::testing::WithParamInterface<UnusableCase> {};

TEST_P(UnusableCalibrationTest, GivesAClearErrorAndRawFrames)
{
    const std::string path = write("calibration.h5", GetParam().series);
    GLibMessages messages;
    g_object_set(camera.get(), "calibration-file", path.c_str(), nullptr);
    const std::string error = path + ": " + GetParam().reason;
    ASSERT_EQ(messages.lines().size(), 1u);
    EXPECT_EQ(messages.lines()[0].text, "Calibration file cannot be used: " + error);
    EXPECT_EQ(status(), "calibration file cannot be used: " + error +
                            "; frames stay raw: the calibration file cannot be used: " + error);

    const Grabbed grabbed = record();
    EXPECT_EQ(grabbed.pixels, rawRegion(1));
    ASSERT_EQ(messages.lines().size(), 2u);
    EXPECT_EQ(messages.lines()[1].text,
              "Frames stay raw: the calibration file cannot be used: " + error);
}

FrameSeries seriesOfSize(const char *name, uint32_t width, uint32_t height, Roi roi)
{
    return FrameSeries{name,
                       width,
                       height,
                       {std::vector<uint16_t>(size_t{width} * height, 1000)},
                       settingsAt(0.001, roi)};
}

INSTANTIATE_TEST_SUITE_P(
    Files, UnusableCalibrationTest,
    ::testing::Values(
        UnusableCase{"NotHdf5", {}, "not an HDF5 file"},
        UnusableCase{"FlatsWithoutDarks",
                     {seriesOfSize("data_white", region.width, region.height, region)},
                     "it has no darks (/exchange/data_dark)"},
        UnusableCase{"AnotherDetectorsSize",
                     {seriesOfSize("data_dark", 512, 512, {0, 0, 512, 512})},
                     "its region of interest, 512x512 at (0, 0), lies outside the 256x256 frame of "
                     "this detector at binning 1"},
        UnusableCase{"FramesOfAnotherSizeThanTheirRegion",
                     {seriesOfSize("data_dark", 100, 100, region)},
                     "its darks are 100x100 pixels, but their region of interest is 221x240 at "
                     "(13, 8)"}),
    [](const ::testing::TestParamInfo<UnusableCase> &c) { return std::string(c.param.name); });

} // namespace
} // namespace TessaraVoltTest
