// SPDX-License-Identifier: LGPL-2.1-or-later
// Corrected frames: against the simulated panel's planted offset, gain and defects, the fit of a
// calibration to the settings frames are taken with, and files that cannot serve.
#include "calibration-file.h"
#include "camera-fixture.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <numeric>
#include <thread>

namespace TessaraVoltTest {
namespace {

constexpr uint32_t side = 256;
constexpr uint32_t seed = 5;
// Neither its start nor its width a multiple of the copy's sixteen-pixel step.
constexpr Roi region{13, 8, 221, 240};
constexpr uint32_t flatBeam = 40000;

// The planted truth of every pixel of the region of a flat field, row after row.
std::vector<XislSimPixelTruth> truthOf(uint32_t beam)
{
    const XislSimScene scene{XISL_SIM_CONTENT_FLAT, seed, side, side, XISL_BINNING_NONE, beam};
    std::vector<XislSimPixelTruth> truth(size_t{region.width} * region.height);
    for (size_t i = 0; i < truth.size(); i++)
        xisl_sim_pixel_truth(&scene, region.x0 + i % region.width, region.y0 + i / region.width,
                             &truth[i]);
    return truth;
}

// Two frames of the planted expected values of a flat field under `beam`, shifted by `shift`
// counts: a noise-free series taken at `exposure` over the region.
FrameSeries planted(const char *name, double exposure, uint32_t beam, int shift = 0,
                    size_t frames = 2)
{
    std::vector<uint16_t> frame;
    for (const XislSimPixelTruth &pixel : truthOf(beam))
        frame.push_back(static_cast<uint16_t>(pixel.mean + static_cast<float>(shift)));
    return {name,
            region.width,
            region.height,
            std::vector<std::vector<uint16_t>>(frames, frame),
            {exposure, 0, 1, {region.x0, region.y0, region.width, region.height}}};
}

// Flats as the simulator draws them under `beam`, noise included: two frames over the region.
FrameSeries rendered(uint32_t beam)
{
    const XislSimScene scene{XISL_SIM_CONTENT_FLAT, seed, side, side, XISL_BINNING_NONE, beam};
    FrameSeries series = planted("data_white", 0.001, beam);
    std::vector<uint16_t> frame(size_t{side} * side);
    for (uint32_t n = 0; n < series.frames.size(); n++) {
        EXPECT_EQ(xisl_sim_render(&scene, n + 1, frame.data()), 0);
        for (size_t i = 0; i < series.frames[n].size(); i++)
            series.frames[n][i] =
                frame[(region.y0 + i / region.width) * side + region.x0 + i % region.width];
    }
    return series;
}

FrameSeries with(FrameSeries series, const std::function<void(SeriesSettings &)> &change)
{
    change(series.settings);
    return series;
}

double meanOf(const std::vector<uint16_t> &pixels)
{
    return std::accumulate(pixels.begin(), pixels.end(), 0.0) / static_cast<double>(pixels.size());
}

// One black frame of `edge` x `edge` pixels, said to be taken over `roi`.
FrameSeries blackDarks(uint32_t edge, const Roi &roi)
{
    return {"data_dark",
            edge,
            edge,
            {std::vector<uint16_t>(size_t{edge} * edge)},
            {0.001, 0, 1, {roi.x0, roi.y0, roi.width, roi.height}}};
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

    // Written into the test's folder; no series: not an HDF5 file.
    std::string write(const std::string &name, const std::vector<FrameSeries> &series)
    {
        const std::string path = folder + "/" + name;
        EXPECT_TRUE(series.empty() ? bool(std::ofstream(path) << "not HDF5\n")
                                   : writeSeriesFile(path, series));
        return path;
    }

    Grabbed record()
    {
        EXPECT_TRUE(start());
        Grabbed grabbed = grabStepped();
        stop();
        return grabbed;
    }

    // The region of frame n as the simulator draws it, uncorrected.
    std::vector<uint16_t> rawRegion(uint32_t n)
    {
        XislSimScene scene{};
        std::vector<uint16_t> frame(size_t{side} * side), cut;
        EXPECT_EQ(xisl_sim_get_scene(acquisitionHandle(), &scene), 0);
        EXPECT_EQ(xisl_sim_render(&scene, n, frame.data()), 0);
        for (uint32_t y = region.y0; y < region.y0 + region.height; y++)
            cut.insert(cut.end(), &frame[y * side + region.x0],
                       &frame[y * side + region.x0 + region.width]);
        return cut;
    }

    char pattern[32] = "/tmp/correction-XXXXXX";
    const std::string folder = mkdtemp(pattern);
};

// Each corrected pixel against the planted panel: (raw - dark) * gain + pedestal, with gain the
// good pixels' mean response over the pixel's own, clamped to 0..65535, saturated pixels kept
// saturated, and each planted defect replaced by the mean of its good neighbours.
struct Corrections {
    gboolean offset, gain, defects;
    guint pedestal;
};

void expectCorrected(const std::vector<uint16_t> &corrected, const std::vector<uint16_t> &raw,
                     const Corrections &c)
{
    const auto dark = truthOf(0), flat = truthOf(flatBeam);
    const auto defective = [&](size_t i) { return flat[i].defects != 0; };
    double responses = 0, good = 0;
    for (size_t i = 0; i < raw.size(); i++)
        if (!defective(i))
            responses += flat[i].mean - dark[i].mean, good++;
    std::vector<double> unclamped(raw.size());
    for (size_t i = 0; i < raw.size(); i++) {
        const double gain =
            c.gain && !defective(i) ? responses / good / (flat[i].mean - dark[i].mean) : 1;
        const double value = (raw[i] - dark[i].mean) * gain + c.pedestal;
        unclamped[i] = !c.offset || raw[i] == 65535 ? raw[i] : value;
    }
    const auto expected = [&](size_t i) { return std::clamp(unclamped[i], 0.0, 65535.0); };
    size_t defects = 0, wrong = 0;
    for (size_t i = 0; i < raw.size(); i++) {
        // Rounding, and the gain factor kept to 2^-14: up to 2 counts at the top of the range.
        double want = expected(i), tolerance = 0.51 + std::fabs(raw[i] - dark[i].mean) / 32768;
        if (c.defects && defective(i)) {
            const int64_t x = i % region.width, y = i / region.width, w = region.width;
            double sum = 0, count = 0;
            for (int64_t n = 0; n < 9; n++) {
                const int64_t nx = x + n % 3 - 1, ny = y + n / 3 - 1, j = ny * w + nx;
                if (nx >= 0 && ny >= 0 && nx < w && ny < region.height && !defective(j))
                    sum += std::nearbyint(expected(j)), count++;
            }
            want = sum / count;
            tolerance = 1.01 + want / 32768;
            defects++;
        }
        if (unclamped[i] - tolerance >= 65535 || unclamped[i] + tolerance <= 0)
            tolerance = 0; // clamped or saturated beyond doubt
        wrong += std::fabs(corrected[i] - want) > tolerance;
    }
    EXPECT_EQ(wrong, 0u);
    EXPECT_TRUE(!c.defects || defects > region.height) << "a defective line and single defects";
}

// The rows: a dark frame without pedestal clamps at zero; a phantom brighter than the panel's
// range saturates most pixels and clamps the weakest; defects are patched in raw frames too.
// The last row's file has its strings as h5py and dxchange write them: variable-length UTF-8.
TEST_F(CorrectionTest, CorrectionMatchesThePlantedPanel)
{
    uint32_t frame = 1;
    for (const auto &[offset, gain, defects, pedestal, content, beam, utf8] :
         {std::tuple{TRUE, FALSE, FALSE, 0u, XISL_SIM_CONTENT_FLAT, 0u, false},
          {TRUE, TRUE, TRUE, 100u, XISL_SIM_CONTENT_PHANTOM, 66000u, false},
          {FALSE, FALSE, TRUE, 100u, XISL_SIM_CONTENT_FLAT, flatBeam, false},
          {TRUE, TRUE, TRUE, 100u, XISL_SIM_CONTENT_PHANTOM, 66000u, true}}) {
        SCOPED_TRACE(frame);
        const auto strings = [utf8 = utf8](SeriesSettings &settings) {
            settings.utf8Strings = utf8;
        };
        const std::string path = write("planted" + std::to_string(frame) + ".h5",
                                       {with(planted("data_dark", 0.001, 0), strings),
                                        with(planted("data_white", 0.001, flatBeam), strings)});
        g_object_set(camera.get(), "calibration-file", path.c_str(), "offset-correction", offset,
                     "gain-correction", gain, "defect-correction", defects, "correction-pedestal",
                     pedestal, nullptr);
        xisl_sim_set_content(content);
        xisl_sim_set_beam(beam);
        const Grabbed grabbed = record();
        ASSERT_FALSE(grabbed.error);
        expectCorrected(grabbed.pixels, rawRegion(frame++), {offset, gain, defects, pedestal});
    }
}

// Of a folder, the calibration taken with the current exposure serves (its dark subtracted, the
// pedestal added); when none fits, frames stay raw and one warning, not one a start, says why.
TEST_F(CorrectionTest, TheCalibrationTakenWithTheCurrentSettingsIsPickedFromAFolder)
{
    write("short.h5", {planted("data_dark", 0.001, 0)});
    write("long.h5", {planted("data_dark", 0.002, 0, 40)});
    write("notes.txt", {});
    g_object_set(camera.get(), "calibration-file", folder.c_str(), nullptr);
    for (const auto &[exposure, name, level] :
         {std::tuple{0.002, "long.h5", 60.0}, std::tuple{0.001, "short.h5", 100.0}}) {
        g_object_set(camera.get(), "exposure-time", exposure, nullptr);
        const std::vector<uint16_t> pixels = record().pixels;
        EXPECT_NEAR(std::accumulate(pixels.begin(), pixels.end(), 0.0) / pixels.size(), level, 3);
        EXPECT_PRED_FORMAT2(::testing::IsSubstring,
                            folder + "/" + name + " fits the current settings",
                            texts({"calibration-status"}));
    }
    GLibMessages messages;
    g_object_set(camera.get(), "exposure-time", 0.003, nullptr);
    for (uint32_t frame : {3u, 4u}) {
        const Grabbed stale = record();
        EXPECT_EQ(stale.pixels, rawRegion(frame));
        EXPECT_PRED_FORMAT2(::testing::IsSubstring, "frames stay raw",
                            texts({"calibration-status"}));
    }
    EXPECT_EQ(messages.texts().size(), 1u);
}

// One warning when the file is set, one at the start, the reason in the status; frames stay raw.
TEST_F(CorrectionTest, UnusableFileGivesAClearErrorAndRawFrames)
{
    uint32_t frame = 1;
    for (const auto &[series, reason] :
         std::initializer_list<std::pair<std::vector<FrameSeries>, std::string>>{
             {{}, "not an HDF5 file"},
             {{planted("data_white", 0.001, flatBeam)}, "it has no darks (/exchange/data_dark)"},
             {{blackDarks(512, {0, 0, 512, 512})},
              "its region of interest, 512x512 at (0, 0), lies outside the 256x256 frame of "
              "this detector at binning 1"},
             {{blackDarks(100, region)},
              "its darks are 100x100 pixels, but their region of interest is 221x240 at (13, "
              "8)"},
             {{with(planted("data_dark", 0.001, 0), [](SeriesSettings &s) { s.complete = 0; })},
              "its darks (/exchange/data_dark) are marked incomplete: their recording was cut "
              "short"},
             {{with(planted("data_dark", 0.001, 0),
                    [](SeriesSettings &s) { s.corrections = "offset"; })},
              "its darks (/exchange/data_dark) were corrected (offset) when recorded; record them "
              "raw"}}) {
        const std::string path = write("calibration" + std::to_string(frame) + ".h5", series);
        const std::string cause = "calibration file cannot be used: " + path + ": " + reason;
        GLibMessages messages;
        g_object_set(camera.get(), "calibration-file", path.c_str(), nullptr);
        EXPECT_EQ(texts({"calibration-status"}), "\"forecast for the next start: " + cause +
                                                     "; frames stay raw: the " + cause + "\"");
        const Grabbed raw = record();
        EXPECT_EQ(raw.pixels, rawRegion(frame++));
        EXPECT_EQ(messages.texts(), (std::vector<std::string>{"C" + cause.substr(1),
                                                              "Frames stay raw: the " + cause}));
    }
}

// Flats that cannot serve are named where the file is set (or, for what their pixels show, where
// they are read) and where gain correction is asked; the darks still serve offset correction.
// Flats below the darks, saturated ones and those barely above the darks' noise show no gain.
TEST_F(CorrectionTest, FlatsThatCannotServeAreNamedAndLeaveTheDarks)
{
    uint32_t frame = 1;
    for (const auto &[flats, reason] : std::initializer_list<std::pair<FrameSeries, std::string>>{
             {planted("data_white", 0.005, flatBeam),
              "its flats (/exchange/data_white) were taken with other settings than its darks: "
              "exposure 0.005 s, the darks' 0.001 s"},
             {with(planted("data_white", 0.001, flatBeam), [](SeriesSettings &s) { s.gain = 1; }),
              "its flats (/exchange/data_white) were taken with other settings than its darks: "
              "gain 1, the darks' 0"},
             {with(planted("data_white", 0.001, flatBeam),
                   [](SeriesSettings &s) { s.complete = 0; }),
              "its flats (/exchange/data_white) are marked incomplete: their recording was cut "
              "short"},
             {with(planted("data_white", 0.001, flatBeam),
                   [](SeriesSettings &s) { s.corrections = "offset,gain"; }),
              "its flats (/exchange/data_white) were corrected (offset,gain) when recorded; "
              "record them raw"},
             {planted("data_white", 0.001, 0), "its flats are no brighter than its darks"},
             {planted("data_white", 0.001, 200000),
              "its flats are saturated: 99.5 % of their pixels read 65535; lower the beam or the "
              "exposure"},
             {rendered(60),
              "its flats are too faint to measure a gain: their typical pixel is 21.5 counts "
              "above the dark, less than 6.0 times the pixel-to-pixel scatter (5.8 counts)"}}) {
        const std::string path = write("mixed" + std::to_string(frame) + ".h5",
                                       {planted("data_dark", 0.001, 0, 40), flats});
        GLibMessages messages;
        g_object_set(camera.get(), "calibration-file", path.c_str(), "gain-correction", TRUE,
                     nullptr);
        const Grabbed raw = record();
        EXPECT_EQ(raw.pixels, rawRegion(frame++));
        EXPECT_PRED_FORMAT2(::testing::IsSubstring, "frames stay raw: " + path + ": " + reason,
                            texts({"calibration-status"}));
        EXPECT_EQ(messages.texts(),
                  (std::vector<std::string>{"Calibration file " + path +
                                                " serves no gain correction: " + reason,
                                            "Frames stay raw: " + path + ": " + reason}));
        g_object_set(camera.get(), "gain-correction", FALSE, nullptr);
        EXPECT_NEAR(meanOf(record().pixels), 60, 3) << "the darks, 40 counts up, subtracted";
        frame++;
    }
}

// A file rewritten after it was set is read again before it is used: darks re-recorded at another
// exposure between the set and the start are not applied, and darks re-recorded after they were
// loaded replace them.
TEST_F(CorrectionTest, ARewrittenFileIsReadAgain)
{
    const std::string path = write("darks.h5", {planted("data_dark", 0.001, 0)});
    g_object_set(camera.get(), "calibration-file", path.c_str(), nullptr);
    write("darks.h5", {planted("data_dark", 0.002, 0)});
    {
        GLibMessages messages;
        const Grabbed raw = record();
        EXPECT_EQ(raw.pixels, rawRegion(1));
        EXPECT_PRED_FORMAT2(
            ::testing::IsSubstring,
            "does not fit the current settings: exposure 0.001 s, the calibration's 0.002 s",
            texts({"calibration-status"}));
        const std::vector<std::string> warnings = messages.texts();
        ASSERT_FALSE(warnings.empty());
        EXPECT_PRED_FORMAT2(::testing::IsSubstring, path + " changed since it was indexed",
                            warnings.front());
    }
    // Another frame count each time, so that the file's size tells the rewrite.
    for (const auto &[shift, frames, level] : {std::tuple{40, size_t{3}, 60.0}, {0, 4, 100.0}}) {
        write("darks.h5", {planted("data_dark", 0.001, 0, shift, frames)});
        EXPECT_NEAR(meanOf(record().pixels), level, 3) << shift;
        EXPECT_PRED_FORMAT2(::testing::IsSubstring, std::to_string(frames) + " darks",
                            texts({"calibration-status"}));
    }
}

// What the frames get follows the settings their start applied, as XISL accepted them: while
// another thread switches the exposure (the one setting written while recording) and the gain
// changes between rounds, each frame is corrected with exactly the dark of the cycle and gain its
// start sent (the oracle: the simulator's own call log), or stays raw where none fits; the
// properties read while recording say the same.
TEST_F(CorrectionTest, EachFrameGetsTheCalibrationOfTheSettingsItsStartApplied)
{
    write("short.h5", {planted("data_dark", 0.001, 0)});
    write("long.h5", {planted("data_dark", 0.002, 0, 40)});
    g_object_set(camera.get(), "calibration-file", folder.c_str(), nullptr);
    std::atomic<bool> done{false};
    std::thread switcher([&] {
        for (unsigned i = 0; !done; i++)
            g_object_set(camera.get(), "exposure-time", i % 2 ? 0.002 : 0.001, nullptr);
    });
    size_t wrong = 0;
    for (uint32_t frame = 1; frame <= 200; frame++) {
        g_object_set(camera.get(), "gain", frame / 3 % 2, nullptr);
        xisl_sim_clear_call_log();
        ASSERT_TRUE(start());
        const uint64_t cycle = argsOf("Acquisition_SetTimerSync", 0).back();
        const uint64_t gain = argsOf("Acquisition_SetCameraGain", 0).back();
        const std::string applied = texts({"frame-time", "corrections-applied"});
        const Grabbed grabbed = grabStepped();
        stop();
        const bool fits = gain == 0 && (cycle == 1000 || cycle == 2000);
        const double level = cycle == 2000 ? 60 : 100;
        const double mean = meanOf(grabbed.pixels);
        const bool right = fits ? std::fabs(mean - level) < 3 : grabbed.pixels == rawRegion(frame);
        const std::string said = (cycle == 1000 ? "0.001000" : "0.002000") +
                                 std::string(fits ? " \"offset\"" : " \"none\"");
        wrong += !right || applied != said;
        EXPECT_TRUE(right && applied == said) << frame << ": cycle " << cycle << ", gain " << gain
                                              << ", mean " << mean << ", read " << applied;
    }
    done = true;
    switcher.join();
    EXPECT_EQ(wrong, 0u);
}

// A gain or frame-sync mode the detector refuses leaves the settings in force unknown: no
// calibration is known to fit, so the frames stay raw, and the status says why.
TEST_F(CorrectionTest, ARefusedSettingLeavesTheFramesRaw)
{
    const std::string path = write("planted.h5", {planted("data_dark", 0.001, 0)});
    g_object_set(camera.get(), "calibration-file", path.c_str(), nullptr);
    uint32_t frame = 1;
    for (const char *refused : {"", "Acquisition_SetCameraGain", "Acquisition_SetFrameSyncMode"}) {
        const std::string function = refused;
        SCOPED_TRACE(function);
        ASSERT_EQ(function.empty() ? 0 : xisl_sim_fail(refused, 5, 1), 0);
        ASSERT_TRUE(start());
        const std::string status = texts({"calibration-status", "corrections-applied"});
        const Grabbed grabbed = grabStepped();
        stop();
        if (function.empty()) {
            EXPECT_NE(grabbed.pixels, rawRegion(frame));
            EXPECT_PRED_FORMAT2(::testing::IsSubstring, "frames get: offset", status);
        } else {
            EXPECT_EQ(grabbed.pixels, rawRegion(frame));
            EXPECT_PRED_FORMAT2(::testing::IsSubstring,
                                "whether it fits cannot be known: the detector refused", status);
            EXPECT_PRED_FORMAT2(::testing::IsSubstring, "; frames stay raw\" \"none\"", status);
        }
        frame++;
    }
}

// Before any start, the status forecasts by the rule the start applies: the timer lengthens a
// cycle shorter than its readout, so the forecast says the lengthened cycle, and a calibration
// taken at it fits before the start as it does during it.
TEST_F(CorrectionTest, TheIdleStatusForecastsTheCycleTheTimerWillRun)
{
    xisl_sim_set_readout_ns_per_pixel(50); // 256 x 256 pixels: over 3 ms
    g_object_set(camera.get(), "sensor-vertical-binning", 1u, nullptr);
    const std::string forecast = texts({"frame-time"});
    ASSERT_TRUE(start());
    const std::string running = texts({"frame-time"});
    stop();
    EXPECT_EQ(forecast, running);
    const double cycle = std::stod(running);
    EXPECT_GT(cycle, 0.003);
    const std::string path = write("lengthened.h5", {planted("data_dark", cycle, 0)});
    g_object_set(camera.get(), "calibration-file", path.c_str(), nullptr);
    EXPECT_PRED_FORMAT2(::testing::IsSubstring, "forecast for the next start: calibration",
                        texts({"calibration-status"}));
    EXPECT_PRED_FORMAT2(::testing::IsSubstring, "; fits the current settings; frames get: offset",
                        texts({"calibration-status"}));
    EXPECT_EQ(texts({"corrections-applied", "calibration-in-use"}), "\"offset\" \"" + path + "\"");
}

} // namespace
} // namespace TessaraVoltTest
