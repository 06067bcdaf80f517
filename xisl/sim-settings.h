/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Settings of the simulated detector that can come from the XISL_SIM environment variable.
#pragma once

#include "xisl-sim.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace XislSim {

struct Failure {
    std::string function;
    XislStatus status = 0;
};

// Every field is optional: only what the text names is changed.
struct Settings {
    std::optional<std::vector<XislSimSensor>> sensors;
    std::optional<XislSimContent> content;
    std::optional<uint32_t> seed;
    std::optional<uint32_t> beam; // 0: off
    std::optional<uint32_t> readoutNsPerPixel;
    std::optional<uint32_t> firstFrame;
    std::vector<Failure> failures;
};

// Parses the ';'-separated list documented in xisl-sim.h. On a malformed item returns false with
// a message in `error` and leaves `settings` unchanged, so that a typo never half-applies.
bool parseSettings(std::string_view text, Settings &settings, std::string &error);

// The sensor a "WxH" entry stands for: PROM identifier index + 1, camera type 1.
XislSimSensor makeSensor(size_t index, uint32_t width, uint32_t height, uint32_t headerId);

} // namespace XislSim
