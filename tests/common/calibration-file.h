/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Writes Data Exchange files as the recorder lays out its series: frames under /exchange, each
// series with the settings it was taken with, for the camera to read as calibrations.
#pragma once

#include <hdf5.h>

#include <cstdint>
#include <string>
#include <vector>

namespace TessaraVoltTest {

struct SeriesSettings {
    double exposure = 0.001; // seconds
    unsigned gain = 0;
    unsigned binning = 1;
    unsigned roi[4] = {0, 0, 0, 0}; // x0, y0, width, height
    std::string trigger = "auto";
    int complete = -1;            // the recorder's mark, 0 or 1; -1: none
    bool utf8Strings = false;     // variable-length UTF-8 strings, as h5py and dxchange write them
    std::string corrections = ""; // what the recording did to the frames; empty: no attribute
};

struct FrameSeries {
    std::string name; // "data_dark", "data_white" or "data"
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<std::vector<uint16_t>> frames; // width x height pixels each
    SeriesSettings settings;
};

namespace CalibrationFileDetail {

inline void attribute(hid_t object, const char *name, hid_t type, hsize_t count, const void *value)
{
    const hid_t space = count == 0 ? H5Screate(H5S_SCALAR) : H5Screate_simple(1, &count, nullptr);
    const hid_t created = H5Acreate2(object, name, type, space, H5P_DEFAULT, H5P_DEFAULT);
    H5Awrite(created, type, value);
    H5Aclose(created);
    H5Sclose(space);
}

inline void describe(hid_t dataset, const SeriesSettings &settings)
{
    const unsigned binning[2] = {settings.binning, settings.binning};
    attribute(dataset, "exposure_time", H5T_NATIVE_DOUBLE, 0, &settings.exposure);
    attribute(dataset, "gain", H5T_NATIVE_UINT, 0, &settings.gain);
    attribute(dataset, "binning", H5T_NATIVE_UINT, 2, binning);
    attribute(dataset, "roi", H5T_NATIVE_UINT, 4, settings.roi);
    const hid_t text = H5Tcopy(H5T_C_S1);
    if (settings.utf8Strings) {
        H5Tset_size(text, H5T_VARIABLE);
        H5Tset_cset(text, H5T_CSET_UTF8);
        const char *value = settings.trigger.c_str();
        attribute(dataset, "trigger_source", text, 0, &value);
    } else {
        H5Tset_size(text, settings.trigger.size() + 1);
        attribute(dataset, "trigger_source", text, 0, settings.trigger.c_str());
    }
    if (!settings.corrections.empty()) {
        const hid_t corrections = H5Tcopy(H5T_C_S1);
        H5Tset_size(corrections, settings.corrections.size() + 1);
        attribute(dataset, "corrections", corrections, 0, settings.corrections.c_str());
        H5Tclose(corrections);
    }
    H5Tclose(text);
    if (settings.complete >= 0) {
        const uint8_t complete = static_cast<uint8_t>(settings.complete);
        attribute(dataset, "complete", H5T_NATIVE_UINT8, 0, &complete);
    }
}

} // namespace CalibrationFileDetail

// Replaces whatever is at `path`; false when HDF5 could not write it.
inline bool writeSeriesFile(const std::string &path, const std::vector<FrameSeries> &series)
{
    const hid_t file = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
    if (file < 0)
        return false;
    const hid_t group = H5Gcreate2(file, "/exchange", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
    bool written = group >= 0;
    for (const FrameSeries &one : series) {
        const hsize_t dims[3] = {one.frames.size(), one.height, one.width};
        const hid_t space = H5Screate_simple(3, dims, nullptr);
        const hid_t dataset = H5Dcreate2(group, one.name.c_str(), H5T_NATIVE_UINT16, space,
                                         H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
        std::vector<uint16_t> pixels;
        for (const std::vector<uint16_t> &frame : one.frames)
            pixels.insert(pixels.end(), frame.begin(), frame.end());
        written =
            written && dataset >= 0 &&
            H5Dwrite(dataset, H5T_NATIVE_UINT16, H5S_ALL, H5S_ALL, H5P_DEFAULT, pixels.data()) >= 0;
        if (dataset >= 0) {
            CalibrationFileDetail::describe(dataset, one.settings);
            H5Dclose(dataset);
        }
        H5Sclose(space);
    }
    if (group >= 0)
        H5Gclose(group);
    return H5Fclose(file) >= 0 && written;
}

} // namespace TessaraVoltTest
