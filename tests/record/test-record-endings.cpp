// SPDX-License-Identifier: LGPL-2.1-or-later
// How uca-record's recordings end besides their count and duration: signals, a kill, a full disk;
// and the memory they take. A subprocess recording from the tessaravolt camera on the simulated
// detector, its files read back from disk.

#include "record-runner.h"
#include "recording-reader.h"
#include "wait-until.h"

#include "child-process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace TessaraVoltTest {
namespace {

// ---- Signals and full disks -------------------------------------------------------------

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

using SignalCase = std::tuple<int, std::string>;
class RecordSignals : public testing::TestWithParam<SignalCase> {};

// The first signal stops the recording: every frame received is written, the files are
// complete, the report says how many, and the exit status is the signal's.
TEST_P(RecordSignals, EndTheRecordingCleanlyWithTheSignalsStatus)
{
    const auto &[signalNumber, format] = GetParam();
    TemporaryFolder output, logs;
    const size_t frameBytes = 256 * 128 * 2;
    RunningRecord record({"tessaravolt", "exposure-time=0.005", "--mode", "async", "-n", "0",
                          "--format", format, "-o", output.path()},
                         fastSimulator, logs.path());

    ASSERT_TRUE(
        waitUntil([&] { return bytesIn(output) >= 3 * frameBytes; }, std::chrono::seconds(30)));
    record.sendSignal(signalNumber);
    const auto run = record.finish(std::chrono::seconds(30));

    EXPECT_EQ(run.exitStatus, 128 + signalNumber) << run.err;
    EXPECT_TRUE(contains(run.err, "finishing the current frame")) << run.err;
    EXPECT_TRUE(contains(run.err, "Signal again to quit at once")) << run.err;
    const long written = writtenFrames(run.out);
    EXPECT_GE(written, 3) << run.out;
    EXPECT_EQ(reportedCount(run.out, "frames"), written) << "every frame received is written";
    EXPECT_TRUE(hiddenEntries(output).empty());
    const auto recording = readRecording(format, output);
    ASSERT_TRUE(recording.has_value());
    EXPECT_EQ(static_cast<long>(recording->frames.size()), written);
    expectPatternFrames(*recording, 0, 0, true);
    if (format == "hdf5") {
        EXPECT_EQ(recording->complete, 1);
    }
}

INSTANTIATE_TEST_SUITE_P(SignalsAndFormats, RecordSignals,
                         testing::Values(SignalCase{SIGINT, "tiff"}, SignalCase{SIGTERM, "tiff"},
                                         SignalCase{SIGHUP, "tiff"},
                                         SignalCase{SIGINT, "multitiff"},
                                         SignalCase{SIGTERM, "hdf5"}),
                         [](const testing::TestParamInfo<SignalCase> &param) {
                             const int number = std::get<0>(param.param);
                             return std::string(number == SIGINT    ? "SIGINT"
                                                : number == SIGTERM ? "SIGTERM"
                                                                    : "SIGHUP") +
                                    "_" + std::get<1>(param.param);
                         });

std::string slurp(const std::string &path)
{
    std::ifstream stream(path);
    return std::string(std::istreambuf_iterator<char>(stream), {});
}

class RecordCutShort : public testing::TestWithParam<SignalCase> {};

// A second Ctrl-C, here while the first waits out a 2 s exposure, or SIGKILL ends the recorder at
// once: what it wrote stays readable, and the next run names what was left and says how to keep
// or discard it; with --overwrite it discards exactly that.
TEST_P(RecordCutShort, LeavesWhatWasWrittenReadableAndTheNextRunSaysSo)
{
    const auto &[signalNumber, format] = GetParam();
    TemporaryFolder output, logs;
    const size_t frameBytes = 256 * 128 * 2;
    RunningRecord record(
        {"tessaravolt", "exposure-time=2", "-n", "0", "--format", format, "-o", output.path()},
        fastSimulator, logs.path());

    // Three frames' worth of bytes: at most one frame is still being written, so two are whole.
    ASSERT_TRUE(
        waitUntil([&] { return bytesIn(output) >= 3 * frameBytes; }, std::chrono::seconds(60)));
    record.sendSignal(signalNumber);
    if (signalNumber == SIGINT) {
        ASSERT_TRUE(waitUntil(
            [&] { return contains(slurp(logs.file("err.txt")), "finishing the current frame"); },
            std::chrono::seconds(30)));
        record.sendSignal(SIGINT);
    }
    const int pid = record.pid();
    const auto run = record.finish(std::chrono::seconds(60));
    ASSERT_EQ(run.exitStatus, 128 + signalNumber) << run.err;
    ASSERT_FALSE(contains(run.out, "written:")) << "ended before the second signal:\n" << run.out;

    const auto next = runRecord({"tessaravolt", "-n", "1", "--format", format, "-o", output.path()},
                                fastSimulator);
    EXPECT_EQ(next.exitStatus, 2);
    EXPECT_TRUE(
        contains(next.err, "cut short left (uca-record process " + std::to_string(pid) + " "))
        << next.err;
    EXPECT_TRUE(contains(next.err, "To keep it") && contains(next.err, "give --overwrite"))
        << next.err;

    std::optional<Recording> left;
    if (format == "tiff") {
        left = readTiffSeries(output);
    } else if (format == "hdf5") {
        left = readHdf5(output.file("frames.h5"), true);
    } else {
        const auto hidden = hiddenEntries(output);
        const auto file = std::find_if(hidden.begin(), hidden.end(), [](const std::string &name) {
            return name.rfind(".frames.tif.", 0) == 0;
        });
        ASSERT_NE(file, hidden.end());
        EXPECT_TRUE(contains(next.err, *file + " (the frames written before the end; rename it to "
                                               "frames.tif to read it)"))
            << next.err;
        left = readMultiTiff(output.file(*file));
    }
    ASSERT_TRUE(left.has_value());
    EXPECT_GE(left->frames.size(), 2u);
    expectPatternFrames(*left, 0, 0, false);

    const auto replaced = runRecord(
        {"tessaravolt", "-n", "1", "--format", format, "-o", output.path(), "--overwrite"},
        fastSimulator);
    EXPECT_EQ(replaced.exitStatus, 0) << replaced.err;
    EXPECT_TRUE(hiddenEntries(output).empty());
    EXPECT_EQ(readRecording(format, output)->frames.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(SecondSignalAndKill, RecordCutShort,
                         testing::Values(SignalCase{SIGINT, "hdf5"},
                                         SignalCase{SIGKILL, "multitiff"},
                                         SignalCase{SIGKILL, "tiff"}),
                         [](const testing::TestParamInfo<SignalCase> &param) {
                             return std::string(std::get<0>(param.param) == SIGINT ? "SecondSIGINT"
                                                                                   : "SIGKILL") +
                                    "_" + std::get<1>(param.param);
                         });

// A stop requested while the recorder sets up, here a signal already pending when it starts (as
// Ctrl-C while a camera opens), ends it before any file is made, with the signal's status and a
// word about it.
TEST(RecordSetUp, ASignalEndsItBeforeAnyFileAndSaysSo)
{
    for (const int signalNumber : {SIGINT, SIGHUP}) {
        TemporaryFolder scratch;
        const std::string output = scratch.file("out"), number = std::to_string(signalNumber);
        const std::string pending = "import os, signal, sys\n"
                                    "signal.pthread_sigmask(signal.SIG_BLOCK, [" +
                                    number +
                                    "])\n"
                                    "os.kill(os.getpid(), " +
                                    number +
                                    ")\n"
                                    "os.execv(sys.argv[1], sys.argv[1:])\n";
        const auto run = runRecord({"tessaravolt", "-n", "3", "-o", output}, fastSimulator,
                                   std::chrono::seconds(60), {"/usr/bin/python3", "-c", pending});

        EXPECT_EQ(run.exitStatus, 128 + signalNumber) << run.err;
        EXPECT_TRUE(contains(run.err, "stopping before recording starts")) << run.err;
        EXPECT_TRUE(contains(run.err, "before recording started; nothing was recorded")) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_FALSE(std::filesystem::exists(output));
    }
}

// A small file system of its own (needs root to mount; skipped otherwise).
class SmallDisk {
public:
    explicit SmallDisk(const std::string &path) : path_(path)
    {
        mounted_ = mount("tmpfs", path.c_str(), "tmpfs", 0, "size=12m") == 0;
    }
    ~SmallDisk()
    {
        if (mounted_)
            umount2(path_.c_str(), MNT_DETACH);
    }
    SmallDisk(const SmallDisk &) = delete;
    SmallDisk &operator=(const SmallDisk &) = delete;
    bool mounted() const { return mounted_; }

private:
    std::string path_;
    bool mounted_ = false;
};

class RecordFullDisk : public testing::TestWithParam<std::string> {};

// The disk fills up halfway: the message names the file and the system's reason, and what is
// left are complete files holding exactly the frames the report counts.
TEST_P(RecordFullDisk, LeavesOnlyCompleteFilesAndSaysWhy)
{
    TemporaryFolder output;
    SmallDisk disk(output.path());
    if (!disk.mounted())
        GTEST_SKIP() << "cannot mount a small file system here";

    const auto run = runRecord({"tessaravolt", "exposure-time=0", "--mode", "continuous", "-n",
                                "400", "--format", GetParam(), "-o", output.path()},
                               fastSimulator);

    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_TRUE(contains(run.err, "Cannot write `" + output.path() + "/")) << run.err;
    EXPECT_TRUE(contains(run.err, "No space left on device")) << run.err;
    const long written = writtenFrames(run.out);
    EXPECT_GT(written, 10) << run.out;
    EXPECT_LT(written, 400) << run.out;
    EXPECT_TRUE(hiddenEntries(output).empty());
    const auto recording = readRecording(GetParam(), output);
    ASSERT_TRUE(recording.has_value());
    EXPECT_EQ(static_cast<long>(recording->frames.size()), written);
    expectPatternFrames(*recording, 0, 0, false);
    if (GetParam() == "hdf5") {
        EXPECT_EQ(recording->complete, 0); // a failed write leaves the recording incomplete
    }
}

INSTANTIATE_TEST_SUITE_P(EveryFormat, RecordFullDisk, testing::ValuesIn(formats),
                         [](const testing::TestParamInfo<std::string> &param) {
                             return param.param;
                         });

// A write that fails inside a page's directory, here at a file-size limit, leaves the BigTIFF
// ending cleanly at the page before: a page is linked into the chain only once its directory is
// written. The limit falls 8 bytes into the third page's directory, measured on a first run.
TEST(RecordFullDisk, AFailureInAPageDirectoryLeavesTheChainWhole)
{
    TemporaryFolder measure, output;
    const size_t frameBytes = 256 * 128 * 2;
    auto record = [](const TemporaryFolder &folder, const std::string &frames,
                     const std::vector<std::string> &wrapper) {
        return runRecord({"tessaravolt", "exposure-time=0", "-n", frames, "--format", "multitiff",
                          "-o", folder.path()},
                         fastSimulator, std::chrono::seconds(60), wrapper);
    };
    ASSERT_EQ(record(measure, "2", {}).exitStatus, 0);
    const auto limit = std::filesystem::file_size(measure.file("frames.tif")) + frameBytes + 8;
    const std::string limited = "import os, resource, sys\n"
                                "resource.setrlimit(resource.RLIMIT_FSIZE, (" +
                                std::to_string(limit) + ", " + std::to_string(limit) +
                                "))\n"
                                "os.execv(sys.argv[1], sys.argv[1:])\n";

    const auto run = record(output, "5", {"/usr/bin/python3", "-c", limited});
    EXPECT_EQ(run.exitStatus, 1) << run.err;
    EXPECT_TRUE(contains(run.err, "File too large")) << run.err;
    const auto recording = readRecording("multitiff", output);
    ASSERT_TRUE(recording.has_value());
    EXPECT_EQ(recording->frames.size(), 2u);
    EXPECT_EQ(writtenFrames(run.out), 2) << run.out;
}

// ---- Memory -----------------------------------------------------------------------------

// The most memory the process has held so far, in KiB, as the kernel counts it; -1 if unknown.
long peakResidentKiB(int pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}

// The buffer is taken as frames need it: a 2 GiB buffer costs no more memory than a 64 MiB one
// by the first frame (so the first frame does not wait for it) nor after many frames through a
// writer that keeps up, beyond the frames that waited to be written. Under ThreadSanitizer a
// touched frame costs up to five times its size with its shadow.
TEST(RecordMemory, TheBufferIsTakenAsFramesNeedIt)
{
    struct Peaks {
        long atFirstFrame = -1;
        long afterManyFrames = -1;
        long framesWaiting = -1;
    };
    const long frameKiB = 2048;
    auto peaksWith = [](const std::string &buffer) {
        TemporaryFolder output, logs;
        RunningRecord record({"tessaravolt", "exposure-time=0.02", "--buffer", buffer, "-n", "0",
                              "-o", output.path()},
                             "sensors=1024x1024;readout_ns_per_pixel=0", logs.path());
        auto framesOnDisk = [&](unsigned count) {
            return std::filesystem::exists(output.file(frameName(count)));
        };
        Peaks peaks;
        if (waitUntil([&] { return framesOnDisk(1); }, std::chrono::seconds(60)))
            peaks.atFirstFrame = peakResidentKiB(record.pid());
        if (waitUntil([&] { return framesOnDisk(100); }, std::chrono::seconds(120)))
            peaks.afterManyFrames = peakResidentKiB(record.pid());
        record.sendSignal(SIGINT);
        const auto run = record.finish(std::chrono::seconds(60));
        EXPECT_EQ(run.exitStatus, 130) << run.err;
        peaks.framesWaiting = reportedCount(run.out, "buffer");
        return peaks;
    };

    const Peaks small = peaksWith("64M"), large = peaksWith("2G");
    ASSERT_GT(small.afterManyFrames, 0);
    ASSERT_GT(large.afterManyFrames, 0);
    ASSERT_GE(large.framesWaiting, 0);
    const long allowedKiB = 64 * 1024 + 5 * frameKiB * large.framesWaiting;
    EXPECT_LT(large.atFirstFrame - small.atFirstFrame, allowedKiB)
        << small.atFirstFrame << " KiB with a 64 MiB buffer, " << large.atFirstFrame
        << " with 2 GiB";
    EXPECT_LT(large.afterManyFrames - small.afterManyFrames, allowedKiB)
        << small.afterManyFrames << " KiB with a 64 MiB buffer, " << large.afterManyFrames
        << " with 2 GiB, " << large.framesWaiting << " frames waited at most";
}

#ifdef VALGRIND_PATH
// Leaks hide on the failure paths as much as on the good ones.
TEST(RecordMemory, EverythingAllocatedIsFreed)
{
    const std::vector<std::vector<std::string>> runs{
        {"--mode", "async", "-n", "3"},
        {"--mode", "buffered", "-n", "3"},
        {"--mode", "continuous", "-n", "3", "-o", "OUTPUT"},
        {"--mode", "continuous", "-n", "3", "--format", "hdf5", "-o", "OUTPUT"},
        {"roi-width=nonsense"},
        {"-n", "2", "-o", "OUTPUT/" + frameName(1) + "/under-a-file"},
    };
    for (auto arguments : runs) {
        TemporaryFolder output;
        std::ofstream(output.file(frameName(1))) << "a file where a folder is wanted";
        for (std::string &argument : arguments) {
            if (argument.rfind("OUTPUT", 0) == 0)
                argument.replace(0, 6, output.path());
        }
        arguments.insert(arguments.begin(), {"tessaravolt", "exposure-time=0"});

        const auto run =
            runRecord(arguments, "sensors=64x32;readout_ns_per_pixel=0", std::chrono::seconds(100),
                      {VALGRIND_PATH, "--leak-check=full",
                       "--errors-for-leak-kinds=definite,indirect", "--error-exitcode=99"});
        EXPECT_NE(run.exitStatus, 99) << arguments[2] << ":\n" << run.err;
        EXPECT_NE(run.exitStatus, -1) << arguments[2] << " did not finish";
    }
}

// Heap allocations valgrind counted over the whole run.
std::optional<long> allocationsOf(const RunResult &run)
{
    const std::string marker = "total heap usage: ";
    const size_t at = run.err.find(marker);
    if (at == std::string::npos)
        return std::nullopt;
    std::string digits;
    for (size_t i = at + marker.size(); i < run.err.size() && run.err[i] != ' '; ++i) {
        if (run.err[i] != ',')
            digits += run.err[i];
    }
    return std::stol(digits);
}

// Recording 40 times as many frames costs no more allocations: nothing is allocated per frame.
// A few may differ with thread timing inside libuca and the simulator.
TEST(RecordMemory, NothingIsAllocatedPerFrame)
{
    for (const char *mode : {"async", "continuous"}) {
        std::optional<long> allocations[2];
        const char *frames[2] = {"5", "200"};
        for (int i = 0; i < 2; ++i) {
            const auto run = runRecord(
                {"tessaravolt", "exposure-time=0", "--mode", mode, "-n", frames[i]},
                "sensors=64x32;readout_ns_per_pixel=0", std::chrono::seconds(100), {VALGRIND_PATH});
            ASSERT_EQ(run.exitStatus, 0) << run.err;
            allocations[i] = allocationsOf(run);
            ASSERT_TRUE(allocations[i].has_value()) << run.err;
        }
        EXPECT_LT(*allocations[1] - *allocations[0], 10)
            << mode << ": " << *allocations[0] << " allocations for 5 frames, " << *allocations[1]
            << " for 200";
    }
}
#endif

} // namespace
} // namespace TessaraVoltTest
