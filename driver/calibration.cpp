// SPDX-License-Identifier: LGPL-2.1-or-later
#include "calibration.h"
#include "calibration-text.h"
#include "data-exchange.h"

#include <hdf5.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace TessaraVolt {

namespace {

using namespace CalibrationText;

const char *const darkSeries = DX_GROUP "/" DX_DARK;
const char *const flatSeries = DX_GROUP "/" DX_FLAT;

// Owns an HDF5 identifier.
class Hid {
public:
    Hid(hid_t id, herr_t (*close)(hid_t)) : id_(id), close_(close) {}
    ~Hid()
    {
        if (id_ >= 0)
            close_(id_);
    }
    Hid(const Hid &) = delete;
    Hid &operator=(const Hid &) = delete;
    Hid(Hid &&) = delete;
    Hid &operator=(Hid &&) = delete;

    bool valid() const { return id_ >= 0; }
    hid_t get() const { return id_; }

private:
    const hid_t id_;
    herr_t (*const close_)(hid_t);
};

// HDF5 prints its error stack by default; the messages here say what went wrong instead. The
// setting is per thread and belongs to the caller, so it is restored.
class QuietHdf5 {
public:
    QuietHdf5()
    {
        H5Eget_auto2(H5E_DEFAULT, &function_, &data_);
        H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    }
    ~QuietHdf5() { H5Eset_auto2(H5E_DEFAULT, function_, data_); }
    QuietHdf5(const QuietHdf5 &) = delete;
    QuietHdf5 &operator=(const QuietHdf5 &) = delete;

private:
    H5E_auto2_t function_ = nullptr;
    void *data_ = nullptr;
};

std::runtime_error fault(const std::string &path, const std::string &reason)
{
    return std::runtime_error(path + ": " + reason);
}

bool exists(hid_t file, const char *path)
{
    return H5Lexists(file, DX_GROUP, H5P_DEFAULT) > 0 && H5Lexists(file, path, H5P_DEFAULT) > 0;
}

// One series of a file: its frames' shape, the settings it was taken with and what the recorder
// says of it.
struct Series {
    uint64_t frames = 0;
    uint32_t height = 0;
    uint32_t width = 0;
    CalibrationKey key;
    bool incomplete = false; // "complete" is 0: its recording was cut short
    std::string startTime;
    std::string corrections; // what the recording did to the frames ("corrections"); empty: none
};

class SeriesReader {
public:
    SeriesReader(const std::string &path, hid_t file, const char *name)
        : path_(path), name_(name), dataset_(H5Dopen2(file, name, H5P_DEFAULT), H5Dclose)
    {
        if (!dataset_.valid())
            throw fault(path_, std::string("HDF5 cannot open ") + name_);
    }

    hid_t dataset() const { return dataset_.get(); }

    Series read() const
    {
        Series series;
        const Hid space(H5Dget_space(dataset_.get()), H5Sclose);
        hsize_t dims[3] = {};
        if (!space.valid() || H5Sget_simple_extent_ndims(space.get()) != 3 ||
            H5Sget_simple_extent_dims(space.get(), dims, nullptr) != 3 || dims[0] == 0 ||
            dims[1] == 0 || dims[2] == 0 || dims[1] > UINT32_MAX || dims[2] > UINT32_MAX)
            throw fault(path_, std::string(name_) + " is not a series of frames");
        series.frames = dims[0];
        series.height = static_cast<uint32_t>(dims[1]);
        series.width = static_cast<uint32_t>(dims[2]);

        const double exposure = numbers(DX_EXPOSURE_TIME, 1).at(0);
        if (!std::isfinite(exposure) || exposure < 0 || exposure > 1e7)
            throw fault(path_, std::string(name_) + " has no valid " DX_EXPOSURE_TIME);
        series.key.exposureUs = std::llround(exposure * 1e6);
        series.key.gain = whole(numbers(DX_GAIN, 1).at(0), DX_GAIN);
        const std::vector<double> binning = numbers(DX_BINNING, 2);
        if (binning[0] != binning[1] || (binning[0] != 1 && binning[0] != 2))
            throw fault(path_,
                        std::string(name_) + " was taken at a binning this detector does not have");
        series.key.binning = static_cast<uint32_t>(binning[0]);
        const std::vector<double> roi = numbers(DX_ROI, 4);
        series.key.region = Region{whole(roi[0], DX_ROI), whole(roi[1], DX_ROI),
                                   whole(roi[2], DX_ROI), whole(roi[3], DX_ROI)};
        series.key.triggerMode = trigger();
        series.incomplete = marked("complete") && numbers("complete", 1).at(0) == 0;
        if (marked("start_time"))
            series.startTime = optionalText("start_time");
        if (marked("corrections") && optionalText("corrections") != "none")
            series.corrections = optionalText("corrections");
        return series;
    }

private:
    bool marked(const char *name) const { return H5Aexists(dataset_.get(), name) > 0; }

    std::string optionalText(const char *name) const
    {
        const Hid owned = attribute(name);
        const Hid type(H5Aget_type(owned.get()), H5Tclose);
        return type.valid() && H5Tget_class(type.get()) == H5T_STRING
                   ? text(owned.get(), type.get())
                   : std::string();
    }

    Hid attribute(const char *name) const
    {
        if (H5Aexists(dataset_.get(), name) <= 0)
            throw fault(path_,
                        std::string(name_) + " lacks the settings attribute \"" + name + "\"");
        return Hid(H5Aopen(dataset_.get(), name, H5P_DEFAULT), H5Aclose);
    }

    std::vector<double> numbers(const char *name, size_t count) const
    {
        const Hid owned = attribute(name);
        const Hid space(H5Aget_space(owned.get()), H5Sclose);
        std::vector<double> values(count);
        if (!space.valid() ||
            H5Sget_simple_extent_npoints(space.get()) != static_cast<hssize_t>(count) ||
            H5Aread(owned.get(), H5T_NATIVE_DOUBLE, values.data()) < 0)
            throw fault(path_, std::string(name_) + " has an attribute \"" + name +
                                   "\" that is not " + std::to_string(count) + " number" +
                                   (count > 1 ? "s" : ""));
        return values;
    }

    uint32_t whole(double value, const char *name) const
    {
        if (!(value >= 0 && value <= UINT32_MAX) || value != std::floor(value))
            throw fault(path_, std::string(name_) + " has an attribute \"" + name +
                                   "\" that is not a whole number");
        return static_cast<uint32_t>(value);
    }

    // The name the recorder writes ("auto", "software", "external"), or the number.
    int32_t trigger() const
    {
        const Hid owned = attribute(DX_TRIGGER_SOURCE);
        const Hid type(H5Aget_type(owned.get()), H5Tclose);
        if (type.valid() && H5Tget_class(type.get()) == H5T_STRING) {
            const std::string name = text(owned.get(), type.get());
            for (int32_t mode = 0; mode <= 2; ++mode) {
                if (name == triggerNames[mode])
                    return mode;
            }
        } else {
            const std::vector<double> value = numbers(DX_TRIGGER_SOURCE, 1);
            if (value[0] == 0 || value[0] == 1 || value[0] == 2)
                return static_cast<int32_t>(value[0]);
        }
        throw fault(path_, std::string(name_) + " has a " DX_TRIGGER_SOURCE
                                                " other than auto, software or external");
    }

    std::string text(hid_t attribute, hid_t type) const
    {
        if (H5Tis_variable_str(type) > 0) {
            // In the file's own character set: HDF5 converts no ASCII to UTF-8 or back, and
            // h5py writes UTF-8.
            const Hid memoryType(H5Tcopy(H5T_C_S1), H5Tclose);
            H5Tset_size(memoryType.get(), H5T_VARIABLE);
            H5Tset_cset(memoryType.get(), H5Tget_cset(type));
            char *value = nullptr;
            if (H5Aread(attribute, memoryType.get(), &value) < 0 || value == nullptr)
                return {};
            std::string result(value);
            H5free_memory(value);
            return result;
        }
        std::string buffer(H5Tget_size(type), '\0');
        if (buffer.empty() || H5Aread(attribute, type, buffer.data()) < 0)
            return {};
        return buffer.substr(0, buffer.find('\0'));
    }

    const std::string &path_;
    const char *const name_;
    const Hid dataset_;
};

Hid openFile(const std::string &path)
{
    std::error_code error;
    if (!std::filesystem::exists(path, error))
        throw fault(path, "no such file");
    if (H5Fis_hdf5(path.c_str()) <= 0)
        throw fault(path, "not an HDF5 file");
    const hid_t file = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    if (file < 0) {
        // Only a file its writer still holds in SWMR mode opens as a SWMR reader.
        const hid_t growing =
            H5Fopen(path.c_str(), H5F_ACC_RDONLY | H5F_ACC_SWMR_READ, H5P_DEFAULT);
        if (growing >= 0) {
            H5Fclose(growing);
            throw fault(path,
                        "it is still being recorded (if its recorder was killed, `h5clear -s` "
                        "makes it readable)");
        }
        throw fault(path, "HDF5 cannot open it");
    }
    return Hid(file, H5Fclose);
}

// The entry of the open file at `path`.
CalibrationEntry readEntry(const std::string &path, hid_t file, FrameSize sensor)
{
    if (!exists(file, darkSeries))
        throw fault(path, std::string("it has no darks (") + darkSeries + ")");
    const Series dark = SeriesReader(path, file, darkSeries).read();
    if (dark.incomplete)
        throw fault(path, std::string("its darks (") + darkSeries +
                              ") are marked incomplete: their recording was cut short");
    // Darks already corrected by a calibration would take the panel's offset out twice.
    if (!dark.corrections.empty())
        throw fault(path, std::string("its darks (") + darkSeries + ") were corrected (" +
                              dark.corrections + ") when recorded; record them raw");
    CalibrationEntry entry{path, dark.key, dark.frames, 0, {}, dark.startTime, {}};

    const Region &region = dark.key.region;
    if (dark.width != region.width || dark.height != region.height)
        throw fault(path, "its darks are " + std::to_string(dark.width) + "x" +
                              std::to_string(dark.height) +
                              " pixels, but their region of interest is " + regionText(region));
    const uint64_t frameWidth = sensor.width / dark.key.binning;
    const uint64_t frameHeight = sensor.height / dark.key.binning;
    if (uint64_t{region.x0} + region.width > frameWidth ||
        uint64_t{region.y0} + region.height > frameHeight)
        throw fault(path, "its region of interest, " + regionText(region) + ", lies outside the " +
                              std::to_string(frameWidth) + "x" + std::to_string(frameHeight) +
                              " frame of this detector at binning " +
                              std::to_string(dark.key.binning));

    if (exists(file, flatSeries)) {
        // Flats that cannot serve leave the darks for offset correction.
        const Series flat = SeriesReader(path, file, flatSeries).read();
        if (!(flat.key == dark.key) || flat.width != dark.width || flat.height != dark.height)
            entry.flatsUnusable = "its flats (" + std::string(flatSeries) +
                                  ") were taken with other settings than its darks: " +
                                  describeDifferences(flat.key, dark.key, "the darks'");
        else if (flat.incomplete)
            entry.flatsUnusable = "its flats (" + std::string(flatSeries) +
                                  ") are marked incomplete: their recording was cut short";
        else if (!flat.corrections.empty())
            entry.flatsUnusable = "its flats (" + std::string(flatSeries) + ") were corrected (" +
                                  flat.corrections + ") when recorded; record them raw";
        else
            entry.flatFrames = flat.frames;
    }
    return entry;
}

CalibrationEntry readEntry(const std::string &path, FrameSize sensor)
{
    // Taken first: a change while the file is read then shows at the next check.
    const FileStamp stamp = stampOf(path);
    const QuietHdf5 quiet;
    const Hid file = openFile(path);
    CalibrationEntry entry = readEntry(path, file.get(), sensor);
    entry.stamp = stamp;
    return entry;
}

// What of the file's description differs from the entry's; empty when nothing does.
std::string changes(const CalibrationEntry &now, const CalibrationEntry &entry)
{
    std::vector<std::string> parts;
    if (!(now.key == entry.key))
        parts.push_back("settings " + describeDifferences(now.key, entry.key, "indexed as"));
    if (now.darkFrames != entry.darkFrames)
        parts.push_back(std::to_string(now.darkFrames) + " darks, indexed as " +
                        std::to_string(entry.darkFrames));
    if (now.flatFrames != entry.flatFrames || now.flatsUnusable != entry.flatsUnusable)
        parts.push_back(std::to_string(now.flatFrames) + " usable flats, indexed as " +
                        std::to_string(entry.flatFrames));
    if (now.startTime != entry.startTime)
        parts.push_back("taken at " + now.startTime + ", indexed as " + entry.startTime);
    if (parts.empty() && !(now.stamp == entry.stamp))
        parts.push_back("rewritten");
    std::string text;
    for (const std::string &part : parts)
        text += (text.empty() ? "" : "; ") + part;
    return text;
}

// The mean of a series' frames, read one frame at a time.
std::vector<float> averageOf(const std::string &path, hid_t file, const char *name,
                             const CalibrationEntry &entry, uint64_t frames)
{
    const SeriesReader reader(path, file, name);
    const Region &region = entry.key.region;
    const hsize_t frame[3] = {1, region.height, region.width};
    const Hid memory(H5Screate_simple(3, frame, nullptr), H5Sclose);
    const Hid space(H5Dget_space(reader.dataset()), H5Sclose);
    std::vector<uint16_t> pixels(region.pixelCount());
    std::vector<double> sums(pixels.size(), 0.0);
    for (uint64_t n = 0; n < frames; ++n) {
        const hsize_t start[3] = {n, 0, 0};
        if (H5Sselect_hyperslab(space.get(), H5S_SELECT_SET, start, nullptr, frame, nullptr) < 0 ||
            H5Dread(reader.dataset(), H5T_NATIVE_UINT16, memory.get(), space.get(), H5P_DEFAULT,
                    pixels.data()) < 0)
            throw fault(path, "HDF5 cannot read frame " + std::to_string(n) + " of " + name);
        for (size_t i = 0; i < pixels.size(); ++i)
            sums[i] += pixels[i];
    }
    std::vector<float> mean(sums.size());
    std::transform(sums.begin(), sums.end(), mean.begin(),
                   [frames](double sum) { return static_cast<float>(sum / frames); });
    return mean;
}

std::string lowerExtension(const std::filesystem::path &path)
{
    std::string extension = path.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension;
}

} // namespace

CalibrationIndex indexCalibrations(const std::string &path, FrameSize sensor)
{
    CalibrationIndex index;
    index.path = path;
    index.sensor = sensor;
    std::error_code error;
    index.folder = std::filesystem::is_directory(path, error);
    if (!index.folder) {
        index.entries.push_back(readEntry(path, sensor));
        index.stamps.emplace_back(path, index.entries.back().stamp);
        return index;
    }
    index.stamps.emplace_back(path, stampOf(path));

    std::vector<std::filesystem::path> files;
    for (const auto &item : std::filesystem::directory_iterator(path, error)) {
        const std::string extension = lowerExtension(item.path());
        if (item.is_regular_file() && (extension == ".h5" || extension == ".hdf5"))
            files.push_back(item.path());
    }
    if (error)
        throw fault(path, "the folder cannot be read (" + error.message() + ")");
    std::sort(files.begin(), files.end());
    for (const std::filesystem::path &file : files) {
        try {
            index.entries.push_back(readEntry(file.string(), sensor));
            index.stamps.emplace_back(file.string(), index.entries.back().stamp);
        } catch (const std::runtime_error &unusable) {
            index.unusable.push_back(unusable.what());
            index.stamps.emplace_back(file.string(), stampOf(file.string()));
        }
    }
    if (index.entries.empty()) {
        std::string reason = "the folder holds no usable calibration file";
        for (const std::string &unusable : index.unusable)
            reason += "; " + unusable;
        throw fault(path, reason);
    }
    return index;
}

CalibrationMaps loadCalibration(const CalibrationEntry &entry, FrameSize sensor)
{
    const FileStamp stamp = stampOf(entry.path);
    const QuietHdf5 quiet;
    const Hid file = openFile(entry.path);
    // Checked against what is read now, not the stamp alone: a rewrite may keep the size and
    // fall within the file system's clock tick.
    CalibrationEntry now = readEntry(entry.path, file.get(), sensor);
    now.stamp = stamp;
    const std::string changed = changes(now, entry);
    if (!changed.empty())
        throw CalibrationChanged(entry.path + " changed since it was indexed (" + changed +
                                 "); read again");
    CalibrationMaps maps;
    maps.width = entry.key.region.width;
    maps.height = entry.key.region.height;
    maps.dark = averageOf(entry.path, file.get(), darkSeries, entry, entry.darkFrames);
    if (entry.flatFrames == 0)
        return maps;
    maps.flat = averageOf(entry.path, file.get(), flatSeries, entry, entry.flatFrames);
    return maps;
}

} // namespace TessaraVolt
