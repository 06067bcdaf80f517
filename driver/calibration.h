/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Calibration files: Data Exchange HDF5 files holding darks (/exchange/data_dark) and perhaps
// flats (/exchange/data_white), each with the settings it was taken with as attributes
// ("exposure_time" in seconds, "gain", "binning", "roi" as x0, y0, width, height, and
// "trigger_source"; the recorder adds "complete" and "start_time"), or a folder of such files.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
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
// What of `current` differs from `calibration`, e.g. "exposure 0.2 s, the calibration's 0.1 s"
// (`whose` names the second).
std::string describeDifferences(const CalibrationKey &current, const CalibrationKey &calibration,
                                const std::string &whose = "the calibration's");

// A file's size and modification time: a cheap sign that it was rewritten.
struct FileStamp {
    bool found = false;
    uintmax_t size = 0;
    int64_t modified = 0; // in the file system clock's ticks
};
bool operator==(const FileStamp &a, const FileStamp &b);
FileStamp stampOf(const std::string &path);

// One calibration file, as its attributes and the shapes of its datasets describe it.
struct CalibrationEntry {
    std::string path;
    CalibrationKey key;
    uint64_t darkFrames = 0;
    uint64_t flatFrames = 0;   // 0: no flats, or flats that cannot serve
    std::string flatsUnusable; // why the file's flats cannot serve; empty when they can or lack
    std::string startTime;     // the darks' "start_time" (ISO 8601); empty when they tell none
    FileStamp stamp;           // the file when it was read
};

// A calibration file, or every HDF5 file (.h5, .hdf5) of a folder.
struct CalibrationIndex {
    std::string path;
    bool folder = false;
    FrameSize sensor;
    std::vector<CalibrationEntry> entries;
    std::vector<std::string> unusable; // files of the folder left out, each with the reason
    // The folder and every file read, as they were: a change means the index is out of date.
    std::vector<std::pair<std::string, FileStamp>> stamps;
};

// Reads the settings and shapes of a file, or of each file of a folder. Throws
// std::runtime_error saying what is wrong for a file that cannot serve (not HDF5, no darks,
// darks marked incomplete, settings missing, frames of another size than their region, a region
// outside the sensor of `sensor`'s unbinned size) and for a folder without a usable file. Flats
// marked incomplete or taken with other settings than the darks leave the darks usable; the
// entry says why its flats cannot serve.
CalibrationIndex indexCalibrations(const std::string &path, FrameSize sensor);

// Whether the files and the folder of the index are still as they were read (size and
// modification time; a file added to or removed from a folder changes the folder's).
bool isCurrent(const CalibrationIndex &index);

// Thrown by loadCalibration when the file no longer holds what its entry says (rewritten since it
// was indexed): the index is out of date, to be made again.
class CalibrationChanged : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads the entry's settings and shapes again and, if they are still the entry's, averages its
// darks and usable flats (whether their pixels can serve is unusableFlats' to say). Throws
// CalibrationChanged when they are not, and std::runtime_error when the file cannot serve any
// more (as indexCalibrations says) or the frames cannot be read.
CalibrationMaps loadCalibration(const CalibrationEntry &entry, FrameSize sensor);

} // namespace TessaraVolt
