// SPDX-License-Identifier: LGPL-2.1-or-later
#include "recording-reader.h"

#include "sim-pattern.h"

#include <gtest/gtest.h>
#include <hdf5.h>
#include <png.h>
#include <tiffio.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <tuple>

namespace TessaraVoltTest {

namespace {

struct TiffCloser {
    void operator()(TIFF *tiff) const { TIFFClose(tiff); }
};

// Adds the current page, a single-channel 16-bit greyscale image, to `recording`; fails the test
// on anything else. Each page: its own description; the last page's resolution.
bool addTiffPage(TIFF *tiff, const std::string &path, Recording &recording)
{
    uint16_t bits = 0, samples = 0, photometric = 0, unit = RESUNIT_NONE;
    const char *description = "";
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &recording.width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &recording.height);
    TIFFGetField(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFGetField(tiff, TIFFTAG_IMAGEDESCRIPTION, &description);
    recording.descriptions.push_back(description);
    if (TIFFGetFieldDefaulted(tiff, TIFFTAG_RESOLUTIONUNIT, &unit) && unit == RESUNIT_CENTIMETER)
        TIFFGetField(tiff, TIFFTAG_XRESOLUTION, &recording.pixelsPerCm);
    EXPECT_EQ(std::tuple(bits, samples, photometric), std::tuple(16, 1, PHOTOMETRIC_MINISBLACK))
        << path;
    if (bits != 16 || samples != 1)
        return false;
    auto &pixels = recording.frames.emplace_back(size_t{recording.width} * recording.height);
    for (uint32_t row = 0; row < recording.height; ++row) {
        if (TIFFReadScanline(tiff, &pixels[size_t{row} * recording.width], row, 0) != 1) {
            ADD_FAILURE() << "cannot read row " << row << " of " << path;
            return false;
        }
    }
    return true;
}

std::unique_ptr<TIFF, TiffCloser> openTiff(const std::string &path)
{
    std::unique_ptr<TIFF, TiffCloser> tiff(TIFFOpen(path.c_str(), "r"));
    if (!tiff)
        ADD_FAILURE() << "cannot open " << path;
    return tiff;
}

} // namespace

std::optional<Png8> readPng(const std::string &path)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    Png8 png;
    if (png_image_begin_read_from_file(&image, path.c_str())) {
        png = {image.width, image.height, image.format, {}};
        image.format = PNG_FORMAT_GRAY;
        png.pixels.resize(PNG_IMAGE_SIZE(image));
        if (png_image_finish_read(&image, nullptr, png.pixels.data(), 0, nullptr))
            return png;
    }
    ADD_FAILURE() << "libpng cannot read " << path << ": " << image.message;
    return std::nullopt;
}

std::string frameName(unsigned number)
{
    char name[32];
    snprintf(name, sizeof name, "frame-%06u.tif", number);
    return name;
}

bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

std::optional<Recording> readTiffSeries(const TemporaryFolder &folder)
{
    Recording recording;
    for (const std::string &name : folder.entries()) {
        unsigned number = 0;
        char end = 0;
        // Only the recorder's names: a user's frame-flatfield.tif beside them is not a frame.
        if (sscanf(name.c_str(), "frame-%6u.ti%c", &number, &end) != 2 || name.size() != 16)
            continue;
        EXPECT_EQ(name, frameName(static_cast<unsigned>(recording.frames.size() + 1)));
        const auto tiff = openTiff(folder.file(name));
        if (!tiff || !addTiffPage(tiff.get(), name, recording))
            return std::nullopt;
    }
    return recording;
}

namespace {

// The pages a little-endian BigTIFF's chain links, walked by hand: libtiff stops quietly at a
// link that leads past the end of the file. -1 for such a link.
long linkedPages(const std::string &path)
{
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    const uint64_t size = static_cast<uint64_t>(file.tellg());
    auto read64 = [&file, size](uint64_t at) {
        uint64_t value = 0;
        if (at + 8 <= size) {
            file.seekg(static_cast<std::streamoff>(at));
            file.read(reinterpret_cast<char *>(&value), 8);
        }
        return at + 8 <= size ? std::optional<uint64_t>(value) : std::nullopt;
    };
    long pages = 0;
    for (std::optional<uint64_t> page = read64(8); page && *page != 0; ++pages) {
        const std::optional<uint64_t> entries = read64(*page);
        if (!entries)
            return -1;
        page = read64(*page + 8 + *entries * 20);
        if (!page)
            return -1;
    }
    return pages;
}

} // namespace

std::optional<Recording> readMultiTiff(const std::string &path)
{
    Recording recording;
    const auto tiff = openTiff(path);
    if (!tiff)
        return std::nullopt;
    EXPECT_TRUE(TIFFIsBigTIFF(tiff.get())) << path;
    do {
        if (!addTiffPage(tiff.get(), path, recording))
            return std::nullopt;
    } while (TIFFReadDirectory(tiff.get()));
    EXPECT_EQ(linkedPages(path), static_cast<long>(recording.frames.size())) << path;
    return recording;
}

namespace {

struct Hdf5Handle {
    hid_t id;
    herr_t (*close)(hid_t);
    ~Hdf5Handle()
    {
        if (id >= 0)
            close(id);
    }
};

} // namespace

std::optional<Recording> readHdf5(const std::string &path, bool live)
{
    const unsigned access = live ? H5F_ACC_RDONLY | H5F_ACC_SWMR_READ : H5F_ACC_RDONLY;
    Hdf5Handle file{H5Fopen(path.c_str(), access, H5P_DEFAULT), H5Fclose};
    Hdf5Handle data{file.id >= 0 ? H5Dopen2(file.id, "/exchange/data", H5P_DEFAULT) : -1, H5Dclose};
    Hdf5Handle space{data.id >= 0 ? H5Dget_space(data.id) : -1, H5Sclose};
    hsize_t dims[3] = {};
    if (space.id < 0 || H5Sget_simple_extent_dims(space.id, dims, nullptr) != 3) {
        ADD_FAILURE() << "no three-dimensional /exchange/data in " << path;
        return std::nullopt;
    }
    Recording recording;
    recording.width = static_cast<uint32_t>(dims[2]);
    recording.height = static_cast<uint32_t>(dims[1]);
    uint8_t complete = 0;
    Hdf5Handle attribute{H5Aopen(data.id, "complete", H5P_DEFAULT), H5Aclose};
    if (attribute.id >= 0 && H5Aread(attribute.id, H5T_NATIVE_UINT8, &complete) >= 0)
        recording.complete = complete;
    std::vector<uint16_t> all(dims[0] * dims[1] * dims[2]);
    if (!all.empty() &&
        H5Dread(data.id, H5T_NATIVE_UINT16, H5S_ALL, H5S_ALL, H5P_DEFAULT, all.data()) < 0) {
        ADD_FAILURE() << "cannot read the frames of " << path;
        return std::nullopt;
    }
    for (auto frame = all.begin(); frame != all.end(); frame += dims[1] * dims[2])
        recording.frames.emplace_back(frame, frame + dims[1] * dims[2]);
    return recording;
}

const std::vector<std::string> formats{"tiff", "multitiff", "hdf5"};

std::optional<Recording> readRecording(const std::string &format, const TemporaryFolder &folder)
{
    if (format == "tiff")
        return readTiffSeries(folder);
    if (format == "multitiff")
        return readMultiTiff(folder.file("frames.tif"));
    return readHdf5(folder.file("frames.h5"));
}

long expectPatternFrames(const Recording &recording, uint32_t x0, uint32_t y0)
{
    std::optional<uint16_t> previous;
    long missing = 0;
    for (size_t i = 0; i < recording.frames.size(); ++i) {
        const auto &pixels = recording.frames[i];
        EXPECT_EQ(pixels.size(), size_t{recording.width} * recording.height);
        const uint16_t n = patternFrameNumber(pixels.at(0), x0, y0);
        size_t mismatches = 0;
        for (size_t at = 0; at < pixels.size() && at / recording.width < recording.height; ++at)
            mismatches +=
                pixels[at] != patternPixel(x0 + at % recording.width, y0 + at / recording.width, n);
        EXPECT_EQ(mismatches, 0u) << "frame " << i + 1 << " (frame number " << n << ")";
        const uint16_t step = previous ? static_cast<uint16_t>(n - *previous) : 1;
        EXPECT_TRUE(step >= 1 && step < 0x8000) << "frame " << i + 1 << " step " << step;
        missing += step - 1;
        previous = n;
    }
    return missing;
}

long reportedCount(const std::string &report, const std::string &label)
{
    const std::string marker = label + ":";
    const size_t at = report.find(marker);
    return at == std::string::npos ? -1 : std::stol(report.substr(at + marker.size()));
}

long writtenFrames(const std::string &report)
{
    return reportedCount(report, "written");
}

std::vector<std::string> hiddenEntries(const TemporaryFolder &folder)
{
    std::vector<std::string> hidden;
    for (const std::string &name : folder.entries()) {
        if (name[0] == '.' && name != ".uca-record")
            hidden.push_back(name);
    }
    return hidden;
}

} // namespace TessaraVoltTest
