/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Calibration files: Data Exchange HDF5 files holding darks (/exchange/data_dark) and perhaps
// flats (/exchange/data_white), each with the settings it was taken with as attributes
// ("exposure_time" in seconds, "gain", "binning", "roi" as x0, y0, width, height, and
// "trigger_source"), or a folder of such files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "correction.h"

namespace TessaraVolt {

// The settings a calibration was taken with, or frames are taken with: a calibration serves only
// frames taken with the same.
struct CalibrationKey {
    int64_t exposureUs = 0;
    uint32_t gain = 0;
    uint32_t binning = 1;
    Region region;
    int32_t triggerMode = 0; // 0 auto (the internal timer), 1 software, 2 external
};

bool operator==(const CalibrationKey &a, const CalibrationKey &b);
// "exposure 0.1 s, gain 0, binning 1, region 1024x1024 at (0, 0), trigger auto"
std::string describe(const CalibrationKey &key);
// What of `current` differs from `calibration`, e.g. "exposure 0.2 s, the calibration's 0.1 s".
std::string describeDifferences(const CalibrationKey &current, const CalibrationKey &calibration);

// One calibration file, as its attributes and the shapes of its datasets describe it.
struct CalibrationEntry {
    std::string path;
    CalibrationKey key;
    uint64_t darkFrames = 0;
    uint64_t flatFrames = 0; // 0: no flats
    std::string startTime;   // when the darks were taken, as the file says; empty if it does not
};

// A calibration file, or every HDF5 file (.h5, .hdf5) of a folder.
struct CalibrationIndex {
    std::string path;
    bool folder = false;
    std::vector<CalibrationEntry> entries;
    std::vector<std::string> unusable; // files of the folder left out, each with the reason
};

// Reads the settings and shapes of a file, or of each file of a folder. Throws
// std::runtime_error saying what is wrong for a file that cannot serve (not HDF5, no darks,
// settings missing, frames of another size than their region, a region outside the sensor of
// `sensor`'s unbinned size) and for a folder without a usable file.
CalibrationIndex indexCalibrations(const std::string &path, FrameSize sensor);

// Averages the entry's darks and flats. Throws std::runtime_error when they cannot be read or the
// flats are no brighter than the darks.
CalibrationMaps loadCalibration(const CalibrationEntry &entry);

} // namespace TessaraVolt
