// SPDX-License-Identifier: LGPL-2.1-or-later
// The simulated detector's settings text, as XISL_SIM gives it: what the parser accepts must read
// back the same when written out again, a refused text must change nothing, and the driver must
// cope with every detector the text describes: discovery, and one frame from each detector it
// keeps. The input is the text.
#include "fuzz-support.h"
#include "sim-pattern.h"
#include "sim-settings.h"

#include "discovery.h"
#include "readout.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace TessaraVoltFuzz {
namespace {

using XislSim::Settings;

// Frames the simulator writes in well under a millisecond, and whose readout (which every grab
// waits for) is short; larger ones are only discovered. Frames of 2^32 pixels and more cannot be
// counted in the driver's 32 bits: a start must refuse them at once, so they are started too.
constexpr uint64_t largestWrittenFrame = 1 << 16;
constexpr uint64_t longestReadoutNanoseconds = 5'000'000;
constexpr uint64_t firstUncountableFrame = uint64_t{1} << 32;

std::string textOf(const Settings &settings)
{
    std::string text, sensors;
    for (const XislSimSensor &sensor : settings.sensors.value_or(std::vector<XislSimSensor>{}))
        sensors += "," + std::to_string(sensor.width) + "x" + std::to_string(sensor.height) + ":" +
                   std::to_string(sensor.headerId);
    if (settings.sensors)
        text += "sensors=" + (sensors.empty() ? "none" : sensors.substr(1)) + ";";
    constexpr const char *contents[] = {"pattern", "phantom", "flat"};
    if (settings.content)
        text += std::string("content=") + contents[*settings.content] + ";";
    const std::pair<const char *, std::optional<uint32_t>> numbers[] = {
        {"seed", settings.seed},
        {"beam", settings.beam},
        {"readout_ns_per_pixel", settings.readoutNsPerPixel},
        {"first_frame", settings.firstFrame}};
    for (const auto &[key, value] : numbers)
        text += value ? std::string(key) + "=" + std::to_string(*value) + ";" : "";
    for (const XislSim::Failure &failure : settings.failures)
        text += "fail=" + failure.function + ":" + std::to_string(failure.status) + ";";
    return text;
}

// Every sensor the text gives is usable and says its header the same way twice; the text the
// settings write reads back to the same settings, the fields the parser derives included.
void checkParsed(const std::string &text, const Settings &settings)
{
    const std::vector<XislSimSensor> sensors =
        settings.sensors.value_or(std::vector<XislSimSensor>{});
    for (const XislSimSensor &sensor : sensors)
        FUZZ_CHECK(
            sensor.width > 0 && sensor.height > 0 && sensor.extendedHeaderId == sensor.headerId,
            "a sensor of %ux%u with header %u, %u in the extended header, from \"%s\"",
            sensor.width, sensor.height, sensor.headerId, sensor.extendedHeaderId, text.c_str());
    const std::string written = textOf(settings);
    Settings again;
    std::string error;
    const bool parsed = XislSim::parseSettings(written, again, error);
    const std::vector<XislSimSensor> sensorsAgain =
        again.sensors.value_or(std::vector<XislSimSensor>{});
    FUZZ_CHECK(parsed && textOf(again) == written && sensors.size() == sensorsAgain.size() &&
                   (sensors.empty() || std::memcmp(sensors.data(), sensorsAgain.data(),
                                                   sensors.size() * sizeof(XislSimSensor)) == 0),
               "\"%s\" reads differently when written as \"%s\": %s", text.c_str(), written.c_str(),
               error.c_str());
}

// One frame from the detector in `mode`, when it is quick to make.
void grabOne(std::unique_ptr<TessaraVolt::Detector> detector, const Settings &settings,
             TessaraVolt::ReadoutMode mode)
{
    TessaraVolt::Readout readout(std::move(detector));
    const TessaraVolt::FrameSize size = readout.getDetector().getFrameSize();
    const uint64_t pixels = uint64_t{size.width} * size.height;
    const bool uncountable = pixels >= firstUncountableFrame;
    if (!uncountable &&
        (pixels > largestWrittenFrame ||
         pixels * settings.readoutNsPerPixel.value_or(32) > longestReadoutNanoseconds))
        return;
    readout.getDetector().setExposureTime(std::chrono::microseconds(200));
    std::vector<uint16_t> frame;
    std::mutex delivery;
    std::condition_variable delivered; // signals `frame` filled
    const auto copy = [&](const TessaraVolt::Image &image) {
        FUZZ_CHECK(image.size.width == size.width && image.size.height == size.height,
                   "a %ux%u frame from a %ux%u detector", image.size.width, image.size.height,
                   size.width, size.height);
        std::lock_guard<std::mutex> lock(delivery);
        frame.assign(image.pixels, image.pixels + image.size.pixelCount());
        delivered.notify_all();
    };
    // The transfer buffer holds the whole frame, as the camera's would for a full region.
    if (readout.start(
            mode, {pixels, [&](const TessaraVolt::Image &image, uint16_t *) { copy(image); }}) != 0)
        return;
    FUZZ_CHECK(!uncountable, "a %ux%u frame was started", size.width, size.height);
    bool arrived = false;
    if (mode == TessaraVolt::ReadoutMode::Transfer) {
        std::unique_lock<std::mutex> lock(delivery);
        arrived = delivered.wait_for(lock, std::chrono::milliseconds(100),
                                     [&] { return !frame.empty(); });
    } else {
        arrived = readout.grab(copy) == TessaraVolt::FrameWait::Arrived;
    }
    readout.stop();
    FUZZ_CHECK(!arrived ||
                   settings.content.value_or(XISL_SIM_CONTENT_PATTERN) !=
                       XISL_SIM_CONTENT_PATTERN ||
                   TessaraVoltTest::frameNumberOf(frame.data(), {0, 0, size.width, size.height}),
               "a %ux%u frame is no frame of the pattern", size.width, size.height);
}

} // namespace
} // namespace TessaraVoltFuzz

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    TessaraVoltFuzz::prepareProcess(argc, argv, false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace TessaraVoltFuzz;
    // As an environment variable holds it: up to the first NUL.
    const auto *characters = reinterpret_cast<const char *>(data);
    const std::string text(characters, strnlen(characters, size));
    Settings settings;
    settings.seed = 12345; // must survive a refused text
    std::string error;
    const bool parsed = XislSim::parseSettings(text, settings, error);
    xisl_sim_reset();
    FUZZ_CHECK(parsed == (xisl_sim_configure(text.c_str()) == 0) &&
                   (parsed || (!error.empty() && settings.seed == 12345u && !settings.sensors)),
               "xisl_sim_configure disagrees, or a refused text changed the settings or gave no "
               "reason: \"%s\"",
               text.c_str());
    if (!parsed)
        return 0;
    checkParsed(text, settings);
    std::vector<std::unique_ptr<TessaraVolt::Detector>> detectors;
    try {
        detectors = TessaraVolt::findDetectors();
    } catch (const std::runtime_error &) {
        // An injected fault or no sensor: discovery says so and keeps nothing.
    }
    // Each readout mode in turn, chosen by the text's length.
    constexpr TessaraVolt::ReadoutMode modes[] = {TessaraVolt::ReadoutMode::Stream,
                                                  TessaraVolt::ReadoutMode::SingleFrames,
                                                  TessaraVolt::ReadoutMode::Transfer};
    for (std::unique_ptr<TessaraVolt::Detector> &detector : detectors)
        grabOne(std::move(detector), settings, modes[text.size() % 3]);
    checkSimulatorRules();
    return 0;
}
