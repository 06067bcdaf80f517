// SPDX-License-Identifier: LGPL-2.1-or-later
#include "identity-calibration.h"

#include "calibration-file.h"

#include <stdexcept>

std::string writeIdentityCalibration(const std::string &folder, uint32_t side)
{
    const size_t pixels = size_t{side} * side;
    std::vector<uint16_t> dark(pixels, 100), flat(pixels, 1100);
    const auto kill = [&](uint32_t x, uint32_t y) { flat[size_t{y} * side + x] = dark[0]; };
    for (uint32_t y = 0; y < side; y++)
        kill(side / 4 + 1, y);
    for (uint32_t i = 0; i < pixels / 2048; i++) {
        // Away from the first and last rows and the middle one, which FrameChecker reads.
        const uint32_t y = 1 + static_cast<uint32_t>((uint64_t{i} * 104729) % (side - 2));
        if (y != side / 2)
            kill(1 + static_cast<uint32_t>((uint64_t{i} * 7919) % (side - 2)), y);
    }
    TessaraVoltTest::SeriesSettings settings;
    settings.exposure = 0;
    settings.roi[2] = settings.roi[3] = side;
    const std::string path = folder + "/identity-" + std::to_string(side) + ".h5";
    if (!TessaraVoltTest::writeSeriesFile(path, {{"data_dark", side, side, {dark}, settings},
                                                 {"data_white", side, side, {flat}, settings}}))
        throw std::runtime_error("cannot write the calibration " + path);
    return path;
}
