// SPDX-License-Identifier: LGPL-2.1-or-later
// How uca-record's recordings end besides their count and duration: signals, a kill, a full disk;
// and the memory they take.

#include "record-runner.h"
#include "recording-reader.h"
#include "wait-until.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace TessaraVoltTest {
namespace {

const size_t frameBytes = 256 * 128 * 2;

// Bytes of frames written so far (the HDF5 writer's reserve file aside).
size_t bytesIn(const TemporaryFolder &folder)
{
    size_t bytes = 0;
    for (const std::string &name : folder.entries()) {
        std::error_code gone; // a temporary file may be renamed meanwhile
        const auto size = std::filesystem::file_size(folder.file(name), gone);
        if (!gone && name.find("reserve") == std::string::npos)
            bytes += size;
    }
    return bytes;
}

struct Ending {
    int signal;
    std::string format;
    bool twice = false; // a second SIGINT while the first waits out a 2 s exposure
};

class RecordSignals : public testing::TestWithParam<Ending> {};

// The first signal stops the recording: every frame received is written, the files are whole, the
// report says how many, and the exit status is the signal's. A second signal or SIGKILL ends it
// at once: what it wrote stays readable, and the next run names what was left and says how to
// keep or discard it; with --overwrite it discards exactly that.
TEST_P(RecordSignals, EndTheRecordingWithTheSignalsStatus)
{
    const auto &[signalNumber, format, twice] = GetParam();
    const bool cutShort = twice || signalNumber == SIGKILL;
    TemporaryFolder output, logs;
    RunningRecord record({"tessaravolt", cutShort ? "exposure-time=2" : "exposure-time=0.005",
                          "--mode", cutShort ? "continuous" : "async", "-n", "0", "--format",
                          format, "-o", output.path()},
                         fastSimulator, logs.path());
    // Three frames' worth of bytes: at most one frame is still being written, so two are whole.
    ASSERT_TRUE(
        waitUntil([&] { return bytesIn(output) >= 3 * frameBytes; }, std::chrono::seconds(60)));
    record.sendSignal(signalNumber);
    if (twice) {
        ASSERT_TRUE(
            waitUntil([&] { return contains(record.errors(), "finishing the current frame"); },
                      std::chrono::seconds(30)));
        record.sendSignal(SIGINT);
    }
    const int pid = record.pid();
    const auto run = record.finish(std::chrono::seconds(60));
    ASSERT_EQ(run.exitStatus, 128 + signalNumber) << run.err;
    if (!cutShort) {
        EXPECT_TRUE(contains(run.err, "finishing the current frame") &&
                    contains(run.err, "Signal again to quit at once"))
            << run.err;
        EXPECT_GE(writtenFrames(run.out), 3) << run.out;
        EXPECT_EQ(reportedCount(run.out, "frames"), writtenFrames(run.out))
            << "every frame received is written";
        EXPECT_TRUE(hiddenEntries(output).empty());
        const auto recording = readRecording(format, output);
        ASSERT_TRUE(recording.has_value());
        EXPECT_EQ(static_cast<long>(recording->frames.size()), writtenFrames(run.out));
        EXPECT_EQ(expectPatternFrames(*recording, 0, 0), 0);
        EXPECT_EQ(recording->complete, format == "hdf5" ? 1 : -1);
        return;
    }
    ASSERT_FALSE(contains(run.out, "written:")) << "ended before the second signal:\n" << run.out;
    const auto next = runRecord({"tessaravolt", "-n", "1", "--format", format, "-o", output.path()},
                                fastSimulator);
    EXPECT_EQ(next.exitStatus, 2);
    EXPECT_TRUE(
        contains(next.err, "cut short left (uca-record process " + std::to_string(pid) + " ") &&
        contains(next.err, "To keep it") && contains(next.err, "give --overwrite"))
        << next.err;
    std::optional<Recording> left;
    if (format == "multitiff") {
        const auto hidden = hiddenEntries(output);
        ASSERT_EQ(hidden.size(), 1u);
        EXPECT_TRUE(contains(next.err, hidden[0] +
                                           " (the frames written before the end; rename it to "
                                           "frames.tif to read it)"))
            << next.err;
        left = readMultiTiff(output.file(hidden[0]));
    } else {
        left = format == "tiff" ? readTiffSeries(output) : readHdf5(output.file("frames.h5"), true);
    }
    ASSERT_TRUE(left.has_value());
    EXPECT_GE(left->frames.size(), 2u);
    expectPatternFrames(*left, 0, 0);

    const auto replaced = runRecord(
        {"tessaravolt", "-n", "1", "--format", format, "-o", output.path(), "--overwrite"},
        fastSimulator);
    EXPECT_EQ(replaced.exitStatus, 0) << replaced.err;
    EXPECT_TRUE(hiddenEntries(output).empty());
    EXPECT_EQ(readRecording(format, output)->frames.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Each, RecordSignals,
                         testing::Values(Ending{SIGINT, "tiff"}, Ending{SIGTERM, "tiff"},
                                         Ending{SIGHUP, "tiff"}, Ending{SIGINT, "multitiff"},
                                         Ending{SIGTERM, "hdf5"}, Ending{SIGINT, "hdf5", true},
                                         Ending{SIGKILL, "multitiff"}, Ending{SIGKILL, "tiff"}),
                         [](const testing::TestParamInfo<Ending> &param) {
                             return std::string(param.param.twice ? "Second" : "") +
                                    sigabbrev_np(param.param.signal) + "_" + param.param.format;
                         });

// A write that fails inside a page's directory, here 8 bytes into the third page's at a file-size
// limit measured on a first run, leaves the BigTIFF ending cleanly at the page before: a page is
// linked into the chain only once its directory is written.
TEST(RecordFullDisk, AFailureInAPageDirectoryLeavesTheChainWhole)
{
    TemporaryFolder measure, output;
    auto record = [](const TemporaryFolder &folder, const std::string &frames,
                     const std::vector<std::string> &wrapper) {
        return runRecord({"tessaravolt", "exposure-time=0", "-n", frames, "--format", "multitiff",
                          "-o", folder.path()},
                         fastSimulator, std::chrono::seconds(60), wrapper);
    };
    ASSERT_EQ(record(measure, "2", {}).exitStatus, 0);
    const std::string limit =
        std::to_string(std::filesystem::file_size(measure.file("frames.tif")) + frameBytes + 8);
    const auto run =
        record(output, "5",
               {"/usr/bin/python3", "-c",
                "import os, resource, sys\nresource.setrlimit(resource.RLIMIT_FSIZE, (" + limit +
                    ", " + limit + "))\nos.execv(sys.argv[1], sys.argv[1:])\n"});
    EXPECT_EQ(run.exitStatus, 1) << run.err;
    EXPECT_TRUE(contains(run.err, "File too large")) << run.err;
    EXPECT_EQ(readRecording("multitiff", output)->frames.size(), 2u);
    EXPECT_EQ(writtenFrames(run.out), 2) << run.out;
}

// The most memory the process has held so far, in KiB, as the kernel counts it; -1 if unknown.
long peakResidentKiB(int pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}

// The buffer is taken as frames need it: a 2 GiB buffer costs no more memory than a 64 MiB one by
// the first frame (so the first frame does not wait for it) nor after many frames through a writer
// that keeps up, beyond the frames that waited to be written. Under ThreadSanitizer a touched
// frame costs up to five times its size with its shadow.
TEST(RecordMemory, TheBufferIsTakenAsFramesNeedIt)
{
    auto peaksWith = [](const std::string &buffer) {
        TemporaryFolder output, logs;
        RunningRecord record({"tessaravolt", "exposure-time=0.02", "--buffer", buffer, "-n", "0",
                              "-o", output.path()},
                             "sensors=1024x1024;readout_ns_per_pixel=0", logs.path());
        std::vector<long> peaks; // at the first frame, after 100, frames that waited at most
        for (const unsigned frames : {1, 100}) {
            const bool there =
                waitUntil([&] { return std::filesystem::exists(output.file(frameName(frames))); },
                          std::chrono::seconds(120));
            peaks.push_back(there ? peakResidentKiB(record.pid()) : -1);
        }
        record.sendSignal(SIGINT);
        const auto run = record.finish(std::chrono::seconds(60));
        EXPECT_EQ(run.exitStatus, 130) << run.err;
        peaks.push_back(reportedCount(run.out, "buffer"));
        return peaks;
    };
    const auto small = peaksWith("64M"), large = peaksWith("2G");
    ASSERT_TRUE(small[1] > 0 && large[1] > 0 && large[2] >= 0);
    const long allowedKiB = 64 * 1024 + 5 * 2048 * large[2];
    EXPECT_LT(large[0] - small[0], allowedKiB)
        << small[0] << " KiB with a 64 MiB buffer, " << large[0] << " with 2 GiB";
    EXPECT_LT(large[1] - small[1], allowedKiB)
        << small[1] << " KiB with a 64 MiB buffer, " << large[1] << " with 2 GiB, " << large[2]
        << " frames waited at most";
}

#ifdef VALGRIND_PATH
// Recording 40 times as many frames costs no more allocations: nothing is allocated per frame.
// A few may differ with thread timing inside libuca and the simulator.
TEST(RecordMemory, NothingIsAllocatedPerFrame)
{
    for (const std::string mode : {"async", "continuous"}) {
        long allocations[2] = {-1, -1};
        for (const int i : {0, 1}) {
            const auto run = runRecord(
                {"tessaravolt", "exposure-time=0", "--mode", mode, "-n", i ? "200" : "5"},
                "sensors=64x32;readout_ns_per_pixel=0", std::chrono::seconds(100), {VALGRIND_PATH});
            const size_t at = run.err.find("total heap usage: ");
            ASSERT_TRUE(run.exitStatus == 0 && at != std::string::npos) << run.err;
            std::string digits = run.err.substr(at + 18, run.err.find(' ', at + 18) - at - 18);
            digits.erase(std::remove(digits.begin(), digits.end(), ','), digits.end());
            allocations[i] = std::stol(digits);
        }
        EXPECT_LT(allocations[1] - allocations[0], 10)
            << mode << ": " << allocations[0] << " allocations for 5 frames, " << allocations[1]
            << " for 200";
    }
}
#endif

} // namespace
} // namespace TessaraVoltTest
