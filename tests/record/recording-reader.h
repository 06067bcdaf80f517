// SPDX-License-Identifier: LGPL-2.1-or-later
// What a recording left behind, read back: its files in each format, and its report.
#pragma once

#include "record-runner.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace TessaraVoltTest {

struct Png8 {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t format = 0;         // libpng's PNG_FORMAT_*, as the file holds it
    std::vector<uint8_t> pixels; // 8-bit grey
};
std::optional<Png8> readPng(const std::string &path);

std::string frameName(unsigned number);

// Every frame a recording left in a folder, in the given format, read back from disk.
struct Recording {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<std::vector<uint16_t>> frames;
    int complete = -1;                     // hdf5: the "complete" attribute
    std::vector<std::string> descriptions; // tiff formats: each page's
    float pixelsPerCm = 0;                 // tiff formats: the last page's
};

std::optional<Recording> readTiffSeries(const TemporaryFolder &folder);
std::optional<Recording> readMultiTiff(const std::string &path);
// Through HDF5's C library. A file its writer did not close opens only as a live (SWMR) reader
// opens it.
std::optional<Recording> readHdf5(const std::string &path, bool live = false);

extern const std::vector<std::string> formats;
std::optional<Recording> readRecording(const std::string &format, const TemporaryFolder &folder);

// Every frame is the pattern's region at (x0, y0) and frame numbers rise, also across the
// pattern's 16-bit wrap-around; returns how many numbers the rises skipped.
long expectPatternFrames(const Recording &recording, uint32_t x0, uint32_t y0);
bool contains(const std::string &text, const std::string &part);
// The number at the start of the report line with `label`, or -1.
long reportedCount(const std::string &report, const std::string &label);
long writtenFrames(const std::string &report);
// Names a killed or failed recording could leave behind: hidden temporary files (the record of
// the folder's recording, .uca-record, aside).
std::vector<std::string> hiddenEntries(const TemporaryFolder &folder);

} // namespace TessaraVoltTest
