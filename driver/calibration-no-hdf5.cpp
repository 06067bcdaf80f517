// SPDX-License-Identifier: LGPL-2.1-or-later
// The calibration reader of a build without HDF5 (MinGW-w64 has none here): every calibration
// file is refused, saying why, so that the camera goes on with raw frames as for any file that
// cannot serve.
#include "calibration.h"

#include <stdexcept>

namespace TessaraVolt {

namespace {

std::runtime_error noHdf5(const std::string &path)
{
    return std::runtime_error(path + ": this build has no HDF5, so it reads no calibration files");
}

} // namespace

CalibrationIndex indexCalibrations(const std::string &path, FrameSize)
{
    throw noHdf5(path);
}

CalibrationMaps loadCalibration(const CalibrationEntry &entry, FrameSize)
{
    throw noHdf5(entry.path);
}

} // namespace TessaraVolt
