// SPDX-License-Identifier: LGPL-2.1-or-later
// uca-record run as a subprocess, and what its recordings left behind, read back.
#pragma once

#include "child-process.h"

#include <signal.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace TessaraVoltTest {

// 256 x 128 pixels, no readout time: recordings take milliseconds.
inline const std::string fastSimulator = "sensors=256x128;readout_ns_per_pixel=0";

struct RunResult {
    int exitStatus = -1; // -1 when the program did not exit by itself within the bound
    std::string out;
    std::string err;
};

std::vector<std::string> sortedEntries(const std::string &folder); // hidden ones included

// A fresh folder under the system's temporary folder, removed with everything in it.
class TemporaryFolder {
public:
    TemporaryFolder();
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder &) = delete;
    TemporaryFolder &operator=(const TemporaryFolder &) = delete;

    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    std::vector<std::string> entries() const { return sortedEntries(path_); }

private:
    std::string path_;
};

// uca-record started with XISL_SIM set to `simulator`, under `wrapper` (e.g. valgrind) if given;
// what it prints goes to files of its own. The destructor kills it if it still runs.
class RunningRecord : public RunningChild {
public:
    RunningRecord(const std::vector<std::string> &arguments, const std::string &simulator,
                  const std::vector<std::string> &wrapper = {});

    RunResult finish(std::chrono::seconds bound); // killed if it did not end within `bound`
};

// uca-record run to its end, killed after `bound`.
RunResult runRecord(const std::vector<std::string> &arguments, const std::string &simulator,
                    std::chrono::seconds bound = std::chrono::seconds(100),
                    const std::vector<std::string> &wrapper = {});

// Every frame a recording left, read back; a failed read has failed the test already.
struct Recording {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<std::vector<uint16_t>> frames;
    int complete = -1;                     // hdf5: the "complete" attribute
    std::vector<std::string> descriptions; // tiff formats: each page's
    float pixelsPerCm = 0;                 // tiff formats: the last page's
};

std::string frameName(unsigned number);
// "tiff" reads the folder's frame files, "multitiff" a BigTIFF `path`, "hdf5" an HDF5 `path`
// (live: as a reader that joins a file its writer has not closed).
std::optional<Recording> readRecording(const std::string &format, const std::string &path,
                                       bool live = false);
std::optional<Recording> readRecording(const std::string &format, const TemporaryFolder &folder);
extern const std::vector<std::string> formats;

// Every frame is the pattern's region at (x0, y0) and frame numbers rise, also across the
// pattern's 16-bit wrap-around; returns how many numbers the rises skipped.
long expectPatternFrames(const Recording &recording, uint32_t x0, uint32_t y0);
bool contains(const std::string &text, const std::string &part);
// The number after the report's first "`label`:", or -1.
long reportedCount(const std::string &report, const std::string &label = "written");
// Hidden files a killed or failed recording could leave (the folder's record .uca-record aside).
std::vector<std::string> hiddenEntries(const TemporaryFolder &folder);

} // namespace TessaraVoltTest
