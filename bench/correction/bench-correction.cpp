// SPDX-License-Identifier: LGPL-2.1-or-later
// The correction as a flat panel's users judge it, on the simulated detector's flat: the
// pixel-to-pixel non-uniformity of a flat frame (standard deviation over mean, planted defects
// left out), raw and corrected, against the limit temporal noise sets, and the defects the
// calibration finds against those planted. Darks and flats are recorded through the camera,
// written into a calibration file as the recorder lays it out, and read back by the camera.
//
// Usage: bench-correction [--size PIXELS] [--frames N]   (N darks and N flats; default 1024, 20)

#include "calibration-file.h"
#include "calibration.h"

#include <glib/gstdio.h>
#include <uca/uca-plugin-manager.h>
#include <xisl-sim.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Frame = std::vector<uint16_t>;

struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
using CameraPtr = std::unique_ptr<UcaCamera, GObjectUnref>;
using ManagerPtr = std::unique_ptr<UcaPluginManager, GObjectUnref>;

void check(gboolean ok, GError *error, const char *what)
{
    if (ok && error == nullptr)
        return;
    const std::string message = std::string(what) + ": " + (error ? error->message : "failed");
    g_clear_error(&error);
    throw std::runtime_error(message);
}

// `count` frames of a continuous recording, and the settings it ran with.
std::vector<Frame> record(UcaCamera &camera, uint32_t side, unsigned count,
                          TessaraVoltTest::SeriesSettings *settings = nullptr)
{
    GError *error = nullptr;
    uca_camera_start_recording(&camera, &error);
    check(TRUE, error, "start recording");
    std::vector<Frame> frames(count, Frame(size_t{side} * side));
    for (Frame &frame : frames)
        check(uca_camera_grab(&camera, frame.data(), &error), error, "grab");
    if (settings) {
        guint binning = 1;
        g_object_get(&camera, "exposure-time", &settings->exposure, "gain", &settings->gain,
                     "sensor-horizontal-binning", &binning, nullptr);
        settings->binning = binning;
        settings->roi[2] = settings->roi[3] = side;
    }
    uca_camera_stop_recording(&camera, &error);
    check(TRUE, error, "stop recording");
    return frames;
}

// Standard deviation over mean of the pixels not marked, and the mean.
struct Spread {
    double mean;
    double relative;
};

Spread spreadOf(const std::vector<double> &values, const std::vector<uint8_t> &skip)
{
    double sum = 0, squares = 0;
    size_t count = 0;
    for (size_t i = 0; i < values.size(); i++) {
        if (skip[i])
            continue;
        sum += values[i];
        squares += values[i] * values[i];
        count++;
    }
    const double mean = sum / count;
    return {mean, std::sqrt(squares / count - mean * mean) / mean};
}

Spread nonUniformity(const Frame &frame, const std::vector<uint8_t> &skip)
{
    return spreadOf(std::vector<double>(frame.begin(), frame.end()), skip);
}

// Temporal noise alone, from the difference of two frames of the same scene: its spread over
// sqrt(2), relative to the frames' mean.
double temporalNoise(const Frame &a, const Frame &b, const std::vector<uint8_t> &skip)
{
    std::vector<double> difference(a.size()), mean(a.size());
    for (size_t i = 0; i < a.size(); i++) {
        difference[i] = double(a[i]) - b[i];
        mean[i] = (double(a[i]) + b[i]) / 2;
    }
    const Spread level = spreadOf(mean, skip);
    double squares = 0;
    size_t count = 0;
    for (size_t i = 0; i < a.size(); i++) {
        if (!skip[i]) {
            squares += difference[i] * difference[i];
            count++;
        }
    }
    return std::sqrt(squares / count / 2) / level.mean;
}

struct Options {
    uint32_t side = 1024;
    unsigned frames = 20;
};

Options parseOptions(int argc, char **argv)
{
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const long value = std::strtol(argv[i + 1], nullptr, 10);
        if (value <= 0)
            throw std::runtime_error("usage: bench-correction [--size PIXELS] [--frames N]");
        if (option == "--size")
            options.side = static_cast<uint32_t>(value);
        else if (option == "--frames")
            options.frames = static_cast<unsigned>(value);
        else
            throw std::runtime_error("unknown option " + option);
    }
    if (argc % 2 == 0)
        throw std::runtime_error("usage: bench-correction [--size PIXELS] [--frames N]");
    return options;
}

void run(const Options &options)
{
    const uint32_t side = options.side;
    xisl_sim_reset();
    const XislSimSensor sensor{1, 14, 14, 1, side, side};
    xisl_sim_set_sensors(&sensor, 1);
    xisl_sim_set_readout_ns_per_pixel(0);
    xisl_sim_set_content(XISL_SIM_CONTENT_FLAT);
    xisl_sim_set_call_log(0);

    ManagerPtr manager(uca_plugin_manager_new());
    uca_plugin_manager_add_path(manager.get(), PLUGIN_DIR);
    GError *error = nullptr;
    CameraPtr camera(uca_plugin_manager_get_camerah(manager.get(), "tessaravolt", nullptr, &error));
    check(camera != nullptr, error, "open the camera");
    g_object_set(camera.get(), "exposure-time", 0.001, nullptr);

    TessaraVoltTest::SeriesSettings settings;
    xisl_sim_set_beam(0);
    const std::vector<Frame> darks = record(*camera, side, options.frames, &settings);
    xisl_sim_set_beam(XISL_SIM_BEAM_DEFAULT);
    const std::vector<Frame> flats = record(*camera, side, options.frames);
    const std::vector<Frame> raw = record(*camera, side, 2);

    gchar *folder = g_dir_make_tmp("bench-correction-XXXXXX", nullptr);
    const std::string path = std::string(folder) + "/calibration.h5";
    const bool written =
        TessaraVoltTest::writeSeriesFile(path, {{"data_dark", side, side, darks, settings},
                                                {"data_white", side, side, flats, settings}});
    g_object_set(camera.get(), "calibration-file", path.c_str(), "offset-correction", TRUE,
                 "gain-correction", TRUE, "defect-correction", TRUE, nullptr);
    const std::vector<Frame> corrected = written ? record(*camera, side, 2) : std::vector<Frame>{};
    gchar *status = nullptr;
    g_object_get(camera.get(), "calibration-status", &status, nullptr);
    const std::string statusText = status ? status : "";
    g_free(status);
    std::vector<uint8_t> found;
    if (written) {
        const TessaraVolt::CalibrationIndex index =
            TessaraVolt::indexCalibrations(path, {side, side});
        found = TessaraVolt::findDefects(
            TessaraVolt::loadCalibration(index.entries.front(), {side, side}));
    }
    g_remove(path.c_str());
    g_rmdir(folder);
    g_free(folder);
    if (!written || statusText.find("frames get: offset, gain, defects") == std::string::npos)
        throw std::runtime_error("the calibration did not serve: " + statusText);

    // The planted truth of the panel the frames were drawn from.
    const XislSimScene scene{XISL_SIM_CONTENT_FLAT, 1, side, side, XISL_BINNING_NONE,
                             XISL_SIM_BEAM_DEFAULT};
    std::vector<uint8_t> planted(size_t{side} * side);
    size_t hot = 0, dead = 0, line = 0, foundPlanted = 0, foundOthers = 0;
    for (uint32_t y = 0; y < side; y++) {
        for (uint32_t x = 0; x < side; x++) {
            XislSimPixelTruth truth{};
            xisl_sim_pixel_truth(&scene, x, y, &truth);
            const size_t i = size_t{y} * side + x;
            planted[i] = truth.defects != 0;
            hot += (truth.defects & XISL_SIM_DEFECT_HOT) != 0;
            dead += (truth.defects & XISL_SIM_DEFECT_DEAD) != 0;
            line += (truth.defects & XISL_SIM_DEFECT_LINE) != 0;
            foundPlanted += found[i] && planted[i];
            foundOthers += found[i] && !planted[i];
        }
    }
    size_t plantedCount = 0;
    for (uint8_t pixel : planted)
        plantedCount += pixel;

    const Spread rawSpread = nonUniformity(raw[0], planted);
    const Spread correctedSpread = nonUniformity(corrected[0], planted);
    const double limit = temporalNoise(corrected[0], corrected[1], planted);
    const double expected = std::sqrt(1.0 + 1.0 / options.frames);
    printf("Simulated flat panel, %ux%u, seed 1, open beam %d counts, exposure %g s; calibration "
           "from %u darks and %u flats recorded through the camera.\n\n",
           side, side, XISL_SIM_BEAM_DEFAULT, settings.exposure, options.frames, options.frames);
    printf("| figure | raw | corrected |\n|---|---:|---:|\n");
    printf("| mean of a flat frame, counts | %.0f | %.0f |\n", rawSpread.mean,
           correctedSpread.mean);
    printf("| non-uniformity (sd / mean, planted defects left out) | %.3f %% | %.3f %% |\n",
           100 * rawSpread.relative, 100 * correctedSpread.relative);
    printf("| temporal-noise limit (sd of two frames' difference / sqrt 2 / mean) | | %.3f %% |\n",
           100 * limit);
    printf("| corrected over the limit | | %.3f (the calibration's own noise: about %.3f) |\n\n",
           correctedSpread.relative / limit, expected);
    printf("| defects | pixels |\n|---|---:|\n");
    printf("| planted: hot / dead / in the defective column | %zu / %zu / %zu |\n", hot, dead,
           line);
    printf("| planted, all | %zu |\n| found, of them planted | %zu |\n", plantedCount,
           foundPlanted);
    printf("| planted, not found | %zu |\n| found, not planted | %zu |\n",
           plantedCount - foundPlanted, foundOthers);
}

} // namespace

int main(int argc, char **argv)
{
    try {
        run(parseOptions(argc, argv));
        xisl_sim_reset();
        return 0;
    } catch (const std::exception &error) {
        fprintf(stderr, "bench-correction: %s\n", error.what());
        return 2;
    }
}
