// SPDX-License-Identifier: LGPL-2.1-or-later
// The settings of calibrations compared and described, and files told apart by their size and
// time: no file is read here, so that a build without HDF5 has them too.
#include "calibration-text.h"
#include "calibration.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace TessaraVolt {

using namespace CalibrationText;

bool operator==(const FileStamp &a, const FileStamp &b)
{
    return a.found == b.found && a.size == b.size && a.modified == b.modified;
}

FileStamp stampOf(const std::string &path)
{
    std::error_code sizeError, timeError;
    const bool folder = std::filesystem::is_directory(path, sizeError);
    const uintmax_t size = folder ? 0 : std::filesystem::file_size(path, sizeError);
    const auto modified = std::filesystem::last_write_time(path, timeError);
    if (sizeError || timeError)
        return {};
    return {true, size, static_cast<int64_t>(modified.time_since_epoch().count())};
}

bool operator==(const CalibrationKey &a, const CalibrationKey &b)
{
    return a.exposureUs == b.exposureUs && a.gain == b.gain && a.binning == b.binning &&
           a.region == b.region && a.triggerMode == b.triggerMode;
}

std::string describe(const CalibrationKey &key)
{
    return "exposure " + seconds(key.exposureUs) + ", gain " + std::to_string(key.gain) +
           ", binning " + std::to_string(key.binning) + ", region " + regionText(key.region) +
           ", trigger " + triggerName(key.triggerMode);
}

std::string describeDifferences(const CalibrationKey &current, const CalibrationKey &calibration,
                                const std::string &whose)
{
    std::vector<std::string> parts;
    if (current.exposureUs != calibration.exposureUs)
        parts.push_back("exposure " + seconds(current.exposureUs) + ", " + whose + " " +
                        seconds(calibration.exposureUs));
    if (current.gain != calibration.gain)
        parts.push_back("gain " + std::to_string(current.gain) + ", " + whose + " " +
                        std::to_string(calibration.gain));
    if (current.binning != calibration.binning)
        parts.push_back("binning " + std::to_string(current.binning) + ", " + whose + " " +
                        std::to_string(calibration.binning));
    if (!(current.region == calibration.region))
        parts.push_back("region " + regionText(current.region) + ", " + whose + " " +
                        regionText(calibration.region));
    if (current.triggerMode != calibration.triggerMode)
        parts.push_back(std::string("trigger ") + triggerName(current.triggerMode) + ", " + whose +
                        " " + triggerName(calibration.triggerMode));
    std::string text;
    for (const std::string &part : parts)
        text += (text.empty() ? "" : "; ") + part;
    return text;
}

bool isCurrent(const CalibrationIndex &index)
{
    return std::all_of(index.stamps.begin(), index.stamps.end(),
                       [](const auto &stamp) { return stampOf(stamp.first) == stamp.second; });
}

} // namespace TessaraVolt
