// SPDX-License-Identifier: LGPL-2.1-or-later
// The simulated detector's settings text, as XISL_SIM gives it: what the parser accepts must read
// back the same when written out again, a refused text must change nothing, and the driver's
// discovery must cope with every detector the text describes. The input is the text.
#include "fuzz-support.h"
#include "sim-settings.h"

#include "discovery.h"

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace TessaraVoltFuzz {
namespace {

using XislSim::Settings;

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
    try {
        TessaraVolt::findDetectors(); // and closed again
    } catch (const std::runtime_error &) {
        // An injected fault or no sensor: discovery says so and keeps nothing.
    }
    checkSimulatorRules();
    return 0;
}
