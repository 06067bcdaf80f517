// SPDX-License-Identifier: LGPL-2.1-or-later
#include "record-kit.h"

#include "sim-pattern.h"
#include "wait-until.h"

#include <gtest/gtest.h>
#include <hdf5.h>
#include <signal.h>
#include <stdlib.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>

namespace TessaraVoltTest {

namespace {

std::vector<std::string> commandLine(const std::vector<std::string> &arguments,
                                     const std::vector<std::string> &wrapper)
{
    std::vector<std::string> line = wrapper;
    line.push_back(UCA_RECORD_PATH);
    line.insert(line.end(), arguments.begin(), arguments.end());
    return line;
}

} // namespace

RunningRecord::RunningRecord(const std::vector<std::string> &arguments,
                             const std::string &simulator, const std::vector<std::string> &wrapper)
    : RunningChild(commandLine(arguments, wrapper), EnvironmentChanges{{"XISL_SIM", simulator}})
{
}

RunResult RunningRecord::finish(std::chrono::seconds bound)
{
    ChildResult result = RunningChild::finish(bound);
    return {result.finished ? result.status : -1, std::move(result.out), std::move(result.err)};
}

RunResult runRecord(const std::vector<std::string> &arguments, const std::string &simulator,
                    std::chrono::seconds bound, const std::vector<std::string> &wrapper)
{
    return RunningRecord(arguments, simulator, wrapper).finish(bound);
}

TemporaryFolder::TemporaryFolder()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "record-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot make a temporary folder");
    path_ = pattern;
}

TemporaryFolder::~TemporaryFolder()
{
    std::error_code ignored;
    // Tests may take write permission away; give it back so the folder can go.
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> sortedEntries(const std::string &folder)
{
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

namespace {

// The pages a little-endian BigTIFF's chain links, walked by hand: libtiff stops quietly at a
// link that leads past the end of the file. -1 for such a link or a file that is no BigTIFF.
long linkedPages(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    auto read64 = [&file](uint64_t at) {
        uint64_t value = 0;
        file.seekg(static_cast<std::streamoff>(at));
        return file.read(reinterpret_cast<char *>(&value), 8) ? std::optional(value) : std::nullopt;
    };
    if (read64(0) != 0x00000008002B4949) // "II", 43, 8-byte offsets
        return -1;
    long pages = 0;
    for (std::optional<uint64_t> page = read64(8); page && *page != 0; ++pages) {
        const std::optional<uint64_t> entries = read64(*page);
        if (!entries || !(page = read64(*page + 8 + *entries * 20)))
            return -1;
    }
    return pages;
}

// Adds every page of a TIFF file, each a single-channel 16-bit greyscale image, to `recording`.
bool addTiffPages(const std::string &path, Recording &recording)
{
    std::unique_ptr<TIFF, void (*)(TIFF *)> tiff(TIFFOpen(path.c_str(), "r"), TIFFClose);
    if (!tiff)
        return false;
    do {
        uint16_t bits = 0, samples = 0, photometric = 0, unit = RESUNIT_NONE;
        const char *description = "";
        TIFFGetField(tiff.get(), TIFFTAG_IMAGEWIDTH, &recording.width);
        TIFFGetField(tiff.get(), TIFFTAG_IMAGELENGTH, &recording.height);
        TIFFGetField(tiff.get(), TIFFTAG_BITSPERSAMPLE, &bits);
        TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_SAMPLESPERPIXEL, &samples);
        TIFFGetField(tiff.get(), TIFFTAG_PHOTOMETRIC, &photometric);
        TIFFGetField(tiff.get(), TIFFTAG_IMAGEDESCRIPTION, &description);
        recording.descriptions.push_back(description);
        if (TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_RESOLUTIONUNIT, &unit) &&
            unit == RESUNIT_CENTIMETER)
            TIFFGetField(tiff.get(), TIFFTAG_XRESOLUTION, &recording.pixelsPerCm);
        if (std::tuple(bits, samples, photometric) != std::tuple(16, 1, PHOTOMETRIC_MINISBLACK))
            return false;
        auto &pixels = recording.frames.emplace_back(size_t{recording.width} * recording.height);
        for (uint32_t row = 0; row < recording.height; ++row) {
            if (TIFFReadScanline(tiff.get(), &pixels[size_t{row} * recording.width], row, 0) != 1)
                return false;
        }
    } while (TIFFReadDirectory(tiff.get()));
    return true;
}

struct Hdf5Handle {
    hid_t id;
    herr_t (*close)(hid_t);
    ~Hdf5Handle()
    {
        if (id >= 0)
            close(id);
    }
};

bool addHdf5Frames(const std::string &path, bool live, Recording &recording)
{
    const unsigned access = live ? H5F_ACC_RDONLY | H5F_ACC_SWMR_READ : H5F_ACC_RDONLY;
    Hdf5Handle file{H5Fopen(path.c_str(), access, H5P_DEFAULT), H5Fclose};
    Hdf5Handle data{file.id >= 0 ? H5Dopen2(file.id, "/exchange/data", H5P_DEFAULT) : -1, H5Dclose};
    Hdf5Handle space{data.id >= 0 ? H5Dget_space(data.id) : -1, H5Sclose};
    hsize_t dims[3] = {};
    if (space.id < 0 || H5Sget_simple_extent_dims(space.id, dims, nullptr) != 3)
        return false;
    recording.width = static_cast<uint32_t>(dims[2]);
    recording.height = static_cast<uint32_t>(dims[1]);
    uint8_t complete = 0;
    Hdf5Handle attribute{H5Aopen(data.id, "complete", H5P_DEFAULT), H5Aclose};
    if (attribute.id >= 0 && H5Aread(attribute.id, H5T_NATIVE_UINT8, &complete) >= 0)
        recording.complete = complete;
    std::vector<uint16_t> all(dims[0] * dims[1] * dims[2]);
    if (!all.empty() &&
        H5Dread(data.id, H5T_NATIVE_UINT16, H5S_ALL, H5S_ALL, H5P_DEFAULT, all.data()) < 0)
        return false;
    for (auto frame = all.begin(); frame != all.end(); frame += dims[1] * dims[2])
        recording.frames.emplace_back(frame, frame + dims[1] * dims[2]);
    return true;
}

} // namespace

std::string frameName(unsigned number)
{
    char name[32];
    snprintf(name, sizeof name, "frame-%06u.tif", number);
    return name;
}

const std::vector<std::string> formats{"tiff", "multitiff", "hdf5"};

std::optional<Recording> readRecording(const std::string &format, const std::string &path,
                                       bool live)
{
    Recording recording;
    bool read = true;
    if (format == "tiff") {
        for (const std::string &name : sortedEntries(path)) {
            unsigned number = 0;
            char end = 0;
            // Only the recorder's names: a user's frame-flatfield.tif beside them is not a frame.
            if (sscanf(name.c_str(), "frame-%6u.ti%c", &number, &end) != 2 || name.size() != 16)
                continue;
            EXPECT_EQ(name, frameName(static_cast<unsigned>(recording.frames.size() + 1)));
            read = read && addTiffPages(path + "/" + name, recording);
        }
    } else if (format == "multitiff") {
        read = addTiffPages(path, recording);
        EXPECT_EQ(linkedPages(path), static_cast<long>(recording.frames.size())) << path;
    } else {
        read = addHdf5Frames(path, live, recording);
    }
    if (!read) {
        ADD_FAILURE() << "cannot read the " << format << " recording " << path;
        return std::nullopt;
    }
    return recording;
}

std::optional<Recording> readRecording(const std::string &format, const TemporaryFolder &folder)
{
    return readRecording(format, format == "tiff"        ? folder.path()
                                 : format == "multitiff" ? folder.file("frames.tif")
                                                         : folder.file("frames.h5"));
}

long expectPatternFrames(const Recording &recording, uint32_t x0, uint32_t y0)
{
    std::optional<uint16_t> previous;
    long missing = 0;
    for (size_t i = 0; i < recording.frames.size(); ++i) {
        const auto &pixels = recording.frames[i];
        const auto n =
            !pixels.empty() && pixels.size() == size_t{recording.width} * recording.height
                ? frameNumberOf(pixels.data(), {x0, y0, recording.width, recording.height})
                : std::nullopt;
        EXPECT_TRUE(n.has_value()) << "frame " << i + 1 << " is no frame of the pattern";
        const uint16_t step = previous && n ? static_cast<uint16_t>(*n - *previous) : 1;
        EXPECT_TRUE(step >= 1 && step < 0x8000) << "frame " << i + 1 << " step " << step;
        missing += step - 1;
        previous = n.value_or(0);
    }
    return missing;
}

bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

long reportedCount(const std::string &report, const std::string &label)
{
    const size_t at = report.find(label + ":");
    return at == std::string::npos ? -1 : std::stol(report.substr(at + label.size() + 1));
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
