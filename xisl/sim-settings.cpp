// SPDX-License-Identifier: LGPL-2.1-or-later
#include "sim-settings.h"

#include "xisl-functions.h"

#include <charconv>

namespace XislSim {

namespace {

std::optional<uint32_t> parseNumber(std::string_view text)
{
    uint32_t value = 0;
    const char *end = text.data() + text.size();
    auto [next, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || next != end)
        return std::nullopt;
    return value;
}

std::vector<std::string_view> split(std::string_view text, char separator)
{
    std::vector<std::string_view> parts;
    for (;;) {
        size_t at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos)
            return parts;
        text.remove_prefix(at + 1);
    }
}

std::string_view trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// "WxH" or "WxH:HEADER"; both sides non-zero, and a header identifier that the extended header's
// 16 bits hold too.
std::optional<XislSimSensor> parseSensor(std::string_view text, size_t index)
{
    uint32_t headerId = 14;
    size_t colon = text.find(':');
    if (colon != std::string_view::npos) {
        auto header = parseNumber(text.substr(colon + 1));
        if (!header || *header > UINT16_MAX)
            return std::nullopt;
        headerId = *header;
        text = text.substr(0, colon);
    }
    size_t cross = text.find('x');
    if (cross == std::string_view::npos)
        return std::nullopt;
    auto width = parseNumber(text.substr(0, cross));
    auto height = parseNumber(text.substr(cross + 1));
    if (!width || !height || *width == 0 || *height == 0)
        return std::nullopt;
    return makeSensor(index, *width, *height, headerId);
}

std::optional<std::vector<XislSimSensor>> parseSensors(std::string_view text)
{
    std::vector<XislSimSensor> sensors;
    if (text == "none")
        return sensors;
    for (std::string_view entry : split(text, ',')) {
        auto sensor = parseSensor(trim(entry), sensors.size());
        if (!sensor)
            return std::nullopt;
        sensors.push_back(*sensor);
    }
    return sensors;
}

std::optional<Failure> parseFailure(std::string_view text)
{
    size_t colon = text.rfind(':');
    if (colon == std::string_view::npos)
        return std::nullopt;
    std::string_view function = text.substr(0, colon);
    auto status = parseNumber(text.substr(colon + 1));
    if (!status || !findFunction(function))
        return std::nullopt;
    return Failure{std::string(function), *status};
}

// Applies one "key=value" item to `settings`; false when the item is malformed.
bool parseItem(std::string_view key, std::string_view value, Settings &settings)
{
    if (key == "sensors") {
        settings.sensors = parseSensors(value);
        return settings.sensors.has_value();
    }
    if (key == "content") {
        settings.content.reset();
        if (value == "pattern")
            settings.content = XISL_SIM_CONTENT_PATTERN;
        else if (value == "phantom")
            settings.content = XISL_SIM_CONTENT_PHANTOM;
        else if (value == "flat")
            settings.content = XISL_SIM_CONTENT_FLAT;
        return settings.content.has_value();
    }
    if (key == "beam") {
        if (value == "off")
            settings.beam = 0;
        else if (value == "on")
            settings.beam = XISL_SIM_BEAM_DEFAULT;
        else
            settings.beam = parseNumber(value);
        return settings.beam.has_value();
    }
    if (key == "fail") {
        auto failure = parseFailure(value);
        if (failure)
            settings.failures.push_back(*failure);
        return failure.has_value();
    }
    std::optional<uint32_t> *number = nullptr;
    if (key == "seed")
        number = &settings.seed;
    else if (key == "readout_ns_per_pixel")
        number = &settings.readoutNsPerPixel;
    else if (key == "first_frame")
        number = &settings.firstFrame;
    if (!number)
        return false;
    *number = parseNumber(value);
    return number->has_value();
}

} // namespace

XislSimSensor makeSensor(size_t index, uint32_t width, uint32_t height, uint32_t headerId)
{
    XislSimSensor sensor{};
    sensor.promId = static_cast<uint32_t>(index + 1);
    sensor.headerId = headerId;
    sensor.extendedHeaderId = static_cast<uint16_t>(headerId);
    sensor.cameraType = 1;
    sensor.width = width;
    sensor.height = height;
    return sensor;
}

bool parseSettings(std::string_view text, Settings &settings, std::string &error)
{
    Settings parsed;
    for (std::string_view item : split(text, ';')) {
        item = trim(item);
        if (item.empty())
            continue;
        size_t equals = item.find('=');
        bool good = equals != std::string_view::npos &&
                    parseItem(trim(item.substr(0, equals)), trim(item.substr(equals + 1)), parsed);
        if (!good) {
            error = "malformed XISL_SIM item \"" + std::string(item) + "\"";
            return false;
        }
    }
    settings = std::move(parsed);
    return true;
}

} // namespace XislSim
