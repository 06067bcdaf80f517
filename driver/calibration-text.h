/* SPDX-License-Identifier: LGPL-2.1-or-later */
// How calibration settings read in messages, shared by the file reader and the descriptions of
// calibration.h.
#pragma once

#include "correction.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace TessaraVolt::CalibrationText {

// By trigger mode: 0 auto, 1 software, 2 external.
inline const char *const triggerNames[] = {"auto", "software", "external"};

inline std::string seconds(int64_t microseconds)
{
    char text[32];
    snprintf(text, sizeof text, "%g s", static_cast<double>(microseconds) / 1e6);
    return text;
}

inline std::string regionText(const Region &region)
{
    return std::to_string(region.width) + "x" + std::to_string(region.height) + " at (" +
           std::to_string(region.x0) + ", " + std::to_string(region.y0) + ")";
}

inline const char *triggerName(int32_t mode)
{
    return mode >= 0 && mode <= 2 ? triggerNames[mode] : "unknown";
}

} // namespace TessaraVolt::CalibrationText
