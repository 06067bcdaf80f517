// SPDX-License-Identifier: LGPL-2.1-or-later
// The settings of calibrations compared and described: no file is read here, so that a build
// without HDF5 has them too.
#include "calibration-text.h"
#include "calibration.h"

namespace TessaraVolt {

using namespace CalibrationText;

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

std::string describeDifferences(const CalibrationKey &current, const CalibrationKey &calibration)
{
    std::vector<std::string> parts;
    if (current.exposureUs != calibration.exposureUs)
        parts.push_back("exposure " + seconds(current.exposureUs) + ", the calibration's " +
                        seconds(calibration.exposureUs));
    if (current.gain != calibration.gain)
        parts.push_back("gain " + std::to_string(current.gain) + ", the calibration's " +
                        std::to_string(calibration.gain));
    if (current.binning != calibration.binning)
        parts.push_back("binning " + std::to_string(current.binning) + ", the calibration's " +
                        std::to_string(calibration.binning));
    if (!(current.region == calibration.region))
        parts.push_back("region " + regionText(current.region) + ", the calibration's " +
                        regionText(calibration.region));
    if (current.triggerMode != calibration.triggerMode)
        parts.push_back(std::string("trigger ") + triggerName(current.triggerMode) +
                        ", the calibration's " + triggerName(calibration.triggerMode));
    std::string text;
    for (const std::string &part : parts)
        text += (text.empty() ? "" : "; ") + part;
    return text;
}

} // namespace TessaraVolt
