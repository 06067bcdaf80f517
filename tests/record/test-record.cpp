// SPDX-License-Identifier: LGPL-2.1-or-later
// uca-record as its users meet it: a subprocess recording from the tessaravolt camera on the
// simulated detector. Frames are read back from disk and checked pixel by pixel against the
// simulator's documented pattern.

#include "record-runner.h"
#include "recording-reader.h"
#include "wait-until.h"

#include "child-process.h"

#include <gtest/gtest.h>
#include <png.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace TessaraVoltTest {
namespace {

// 256 x 128 pixels, no readout time: recordings take milliseconds.
const std::string fastSimulator = "sensors=256x128;readout_ns_per_pixel=0";

// ---- Argument handling -------------------------------------------------------------------

TEST(RecordArguments, UnknownCameraFailsNamingTheAvailableOnes)
{
    TemporaryFolder output;
    const auto run = runRecord({"nosuchcamera", "-n", "1", "-o", output.path()}, fastSimulator);

    EXPECT_NE(run.exitStatus, 0);
    EXPECT_TRUE(contains(run.err, "Cannot open camera `nosuchcamera'")) << run.err;
    EXPECT_TRUE(contains(run.err, "tessaravolt")) << run.err;
    EXPECT_TRUE(output.entries().empty());
}

TEST(RecordArguments, UnknownPropertyFailsBeforeRecording)
{
    TemporaryFolder output;
    const auto run =
        runRecord({"tessaravolt", "roi-widht=10", "-n", "1", "-o", output.path()}, fastSimulator);

    EXPECT_NE(run.exitStatus, 0);
    EXPECT_TRUE(contains(run.err, "no property `roi-widht'")) << run.err;
    EXPECT_TRUE(output.entries().empty());
}

TEST(RecordArguments, BadValuesFailWithTheirPropertyNamed)
{
    const std::vector<std::pair<std::string, std::string>> cases{
        {"roi-width=abc", "roi-width"},
        {"roi-width=-5", "roi-width"},
        {"roi-width=0", "roi-width"}, // below the minimum of 1
        {"roi-x0=", "roi-x0"},
        {"exposure-time=fast", "exposure-time"},
        {"exposure-time=-1", "exposure-time"},
        {"transfer-asynchronously=yes", "transfer-asynchronously"}, // libuca would take it as false
        {"trigger-source=sometimes", "trigger-source"},
        {"sensor-width=10", "sensor-width"},             // read-only
        {"roi-width", "roi-width"},                      // no value at all
        {"trigger-source=software", "software trigger"}, // nobody would send one
    };
    for (const auto &[argument, property] : cases) {
        TemporaryFolder output;
        const auto run =
            runRecord({"tessaravolt", argument, "-n", "1", "-o", output.path()}, fastSimulator);

        EXPECT_NE(run.exitStatus, 0) << argument;
        EXPECT_TRUE(contains(run.err, property)) << argument << ": " << run.err;
        EXPECT_TRUE(output.entries().empty()) << argument;
    }
}

TEST(RecordArguments, GoodValuesInEveryAcceptedSpellingAreTaken)
{
    const auto run = runRecord({"tessaravolt", "exposure-time=0", "trigger-source=auto",
                                "trigger-type=UCA_CAMERA_TRIGGER_TYPE_EDGE", "buffered=FALSE",
                                "roi-width=64", "-n", "2"},
                               fastSimulator);

    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_TRUE(contains(run.out, "2 of 64 x 128 pixels, 16 bits")) << run.out;
}

TEST(RecordArguments, OutputThatIsAFileOrUnderOneIsAUsageError)
{
    TemporaryFolder scratch;
    std::ofstream(scratch.file("plain-file")) << "not a folder";

    for (const std::string &path : {scratch.file("plain-file/out"), scratch.file("plain-file")}) {
        const auto run = runRecord({"tessaravolt", "-n", "1", "-o", path}, fastSimulator);
        EXPECT_EQ(run.exitStatus, 2) << path;
        EXPECT_TRUE(contains(run.err, "Cannot create folder `" + path)) << run.err;
    }
}

TEST(RecordArguments, ReadOnlyFolderFailsBeforeRecording)
{
    TemporaryFolder scratch;
    if (geteuid() == 0)
        GTEST_SKIP() << "permissions do not bind root";
    ASSERT_EQ(mkdir(scratch.file("read-only").c_str(), 0500), 0);
    const auto readOnly =
        runRecord({"tessaravolt", "-n", "1", "-o", scratch.file("read-only")}, fastSimulator);
    EXPECT_NE(readOnly.exitStatus, 0);
    EXPECT_TRUE(contains(readOnly.err, "Cannot write into folder")) << readOnly.err;
}

TEST(RecordArguments, BadOptionsAreUsageErrors)
{
    TemporaryFolder output;
    const std::vector<std::vector<std::string>> cases{
        {"tessaravolt", "--frames", "-1"},
        {"tessaravolt", "--frames", "many"},
        {"tessaravolt", "--frames", "2.5"},
        {"tessaravolt", "--duration", "-2"},
        {"tessaravolt", "--duration", "soon"},
        {"tessaravolt", "--mode", "sideways"},
        {"tessaravolt", "--format", "jpeg"},
        {"tessaravolt", "--buffer", "lots"},
        {"tessaravolt", "--buffer", "0"},
        {"tessaravolt", "--buffer", "1Q"},
        {"tessaravolt", "--frame-counter", "guess"},
        {"tessaravolt", "--timeout", "0"},
        {"tessaravolt", "--timeout", "-1"},
        {"tessaravolt", "--bogus"},
        // 64 KiB frames: found once the camera's region is known, still before any file.
        {"tessaravolt", "--buffer", "60k", "-o", output.path()},
        {},
    };
    for (const auto &arguments : cases) {
        const auto run = runRecord(arguments, fastSimulator);
        EXPECT_EQ(run.exitStatus, 2) << (arguments.empty() ? "no arguments" : arguments[2]);
        EXPECT_TRUE(contains(run.err, "uca-record --help")) << run.err;
    }
    EXPECT_TRUE(output.entries().empty());

    const auto help = runRecord({"--help"}, fastSimulator);
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_TRUE(contains(help.out, "--mode")) << help.out;
    EXPECT_TRUE(contains(help.out, "CAMERA [PROPERTY=VALUE ...]")) << help.out;
}

TEST(RecordArguments, NoCameraAttachedIsAnError)
{
    TemporaryFolder output;
    const auto run = runRecord({"tessaravolt", "-n", "1", "-o", output.path()}, "sensors=none");

    EXPECT_NE(run.exitStatus, 0);
    EXPECT_TRUE(contains(run.err, "Cannot open camera `tessaravolt'")) << run.err;
    EXPECT_TRUE(output.entries().empty());
}

// A second recording into the same folder never mixes with the first: refused, or with
// --overwrite the first goes whole. A planted link is replaced, never written through.
TEST(RecordOutput, AnEarlierRecordingIsRefusedOrReplacedWhole)
{
    TemporaryFolder output, elsewhere;
    const std::string victim = elsewhere.file("victim");
    std::ofstream(victim) << "precious";
    auto record = [&](const std::string &frames, const std::string &width, bool overwrite) {
        std::vector<std::string> arguments{
            "tessaravolt", "exposure-time=0", "roi-width=" + width, "-n", frames,
            "-o",          output.path()};
        if (overwrite)
            arguments.push_back("--overwrite");
        return runRecord(arguments, fastSimulator);
    };

    ASSERT_EQ(record("6", "64", false).exitStatus, 0);
    const auto refused = record("3", "32", false);
    EXPECT_EQ(refused.exitStatus, 2);
    EXPECT_TRUE(contains(refused.err, "already holds a recording")) << refused.err;
    EXPECT_TRUE(contains(refused.err, "--overwrite")) << refused.err;
    EXPECT_EQ(readTiffSeries(output)->frames.size(), 6u);

    std::filesystem::remove(output.file(frameName(1)));
    std::filesystem::create_symlink(victim, output.file(frameName(1)));
    const auto replaced = record("3", "32", true);
    ASSERT_EQ(replaced.exitStatus, 0) << replaced.err;
    EXPECT_EQ(output.entries(),
              (std::vector<std::string>{frameName(1), frameName(2), frameName(3), "preview.png"}));
    const auto frames = readTiffSeries(output);
    ASSERT_TRUE(frames.has_value());
    EXPECT_EQ(frames->width, 32u);
    EXPECT_FALSE(std::filesystem::is_symlink(output.file(frameName(1))));
    std::ifstream stream(victim);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(stream), {}), "precious");
}

// A stop the detector refuses comes after every frame has arrived: all of them are written.
TEST(RecordOutput, AFailedStopStillWritesEveryFrame)
{
    for (const char *mode : {"async", "continuous"}) {
        TemporaryFolder output;
        const auto run = runRecord(
            {"tessaravolt", "exposure-time=0", "--mode", mode, "-n", "5", "-o", output.path()},
            fastSimulator + ";fail=Acquisition_Abort:7");

        EXPECT_EQ(run.exitStatus, 1) << mode;
        EXPECT_TRUE(contains(run.err, "could not be stopped")) << run.err;
        EXPECT_EQ(writtenFrames(run.out), 5) << run.out;
        const auto frames = readTiffSeries(output);
        ASSERT_TRUE(frames.has_value());
        EXPECT_EQ(frames->frames.size(), 5u) << mode;
        EXPECT_TRUE(hiddenEntries(output).empty());
    }
}

// A buffer of one frame makes the writer fall behind at once: asynchronous delivery drops and
// counts frames, the synchronous modes wait. Either way no frame is torn or lost unreported.
TEST(RecordOutput, AOneFrameBufferDropsOrWaitsButNeverTearsFrames)
{
    for (const char *mode : {"async", "continuous"}) {
        TemporaryFolder output;
        const auto run = runRecord({"tessaravolt", "exposure-time=0", "--mode", mode, "--buffer",
                                    "4k", "-n", "100", "-o", output.path()},
                                   "sensors=64x32;readout_ns_per_pixel=0");
        ASSERT_EQ(run.exitStatus, 0) << mode << ": " << run.err;
        EXPECT_EQ(writtenFrames(run.out), 100) << run.out;
        const long dropped = reportedCount(run.out, "dropped");
        if (std::string(mode) == "async")
            EXPECT_EQ(contains(run.out, "writer too slow"), dropped > 0) << run.out;
        else
            EXPECT_EQ(dropped, 0) << run.out;

        const auto frames = readTiffSeries(output);
        ASSERT_TRUE(frames.has_value());
        EXPECT_EQ(frames->frames.size(), 100u);
        expectPatternFrames(*frames, 0, 0, false);
    }
}

// A camera that never delivers (external trigger, no pulse) ends every mode within --timeout.
TEST(RecordOutput, ACameraThatNeverDeliversTimesOutInEveryMode)
{
    for (const char *mode : {"continuous", "single", "async", "buffered"}) {
        TemporaryFolder output;
        const auto run = runRecord({"tessaravolt", "trigger-source=external", "--mode", mode,
                                    "--timeout", "0.5", "-n", "2", "-o", output.path()},
                                   fastSimulator, std::chrono::seconds(30));

        EXPECT_EQ(run.exitStatus, 1) << mode << ":\n" << run.err;
        EXPECT_TRUE(contains(run.err, "No frame arrived for 0.5 s")) << mode << ": " << run.err;
        EXPECT_TRUE(output.entries().empty()) << mode;
    }
}

TEST(RecordOutput, QuietRecordingForADurationPrintsNothingButWritesItsFrames)
{
    TemporaryFolder output;
    const auto run = runRecord(
        {"tessaravolt", "exposure-time=0.01", "--duration", "0.5", "-q", "-o", output.path()},
        fastSimulator);

    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, "");
    const auto frames = readTiffSeries(output);
    ASSERT_TRUE(frames.has_value());
    // Far more than the default ten frames: the duration, not a count, ended it.
    EXPECT_GT(frames->frames.size(), 10u);
    expectPatternFrames(*frames, 0, 0, false);
}

// ---- Frames on disk, per mode ------------------------------------------------------------

class RecordModes : public testing::TestWithParam<std::string> {};

TEST_P(RecordModes, TiffFilesHoldTheRegionOfInterestOfSuccessiveFrames)
{
    const uint32_t x0 = 10, y0 = 20, width = 100, height = 50;
    const unsigned frames = 5;
    TemporaryFolder output;

    const auto run = runRecord({"tessaravolt", "exposure-time=0", "roi-x0=10", "roi-y0=20",
                                "roi-width=100", "roi-height=50", "--mode", GetParam(), "-n",
                                std::to_string(frames), "-o", output.path()},
                               fastSimulator);
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_TRUE(contains(run.out, "repeated:   0")) << run.out;
    EXPECT_TRUE(contains(run.out, "mode:       " + GetParam())) << run.out;

    std::vector<std::string> expectedFiles;
    for (unsigned i = 1; i <= frames; ++i)
        expectedFiles.push_back(frameName(i));
    expectedFiles.push_back("preview.png");
    ASSERT_EQ(output.entries(), expectedFiles); // and no temporary file left over

    // Asynchronous delivery hands over every frame; the others may skip but never go back.
    const auto recording = readTiffSeries(output);
    ASSERT_TRUE(recording.has_value());
    EXPECT_EQ(recording->width, width);
    EXPECT_EQ(recording->height, height);
    expectPatternFrames(*recording, x0, y0, GetParam() == "async");

    const auto preview = readPng(output.file("preview.png"));
    ASSERT_TRUE(preview.has_value());
    EXPECT_EQ(preview->width, width);
    EXPECT_EQ(preview->height, height);
    EXPECT_EQ(preview->bitDepth, 8);
    EXPECT_EQ(preview->colourType, PNG_COLOR_TYPE_GRAY);
    // Contrast-stretched: the picture spans the whole 8-bit range.
    const auto [darkest, brightest] =
        std::minmax_element(preview->pixels.begin(), preview->pixels.end());
    EXPECT_EQ(*darkest, 0);
    EXPECT_EQ(*brightest, 255);
}

INSTANTIATE_TEST_SUITE_P(EveryMode, RecordModes,
                         testing::Values("continuous", "single", "async", "buffered"),
                         [](const testing::TestParamInfo<std::string> &param) {
                             return param.param;
                         });

TEST(RecordOutput, WithoutAFolderNothingIsWrittenAndTheReportIsComplete)
{
    const auto run = runRecord({"tessaravolt", "exposure-time=0", "-n", "20", "--mode", "single"},
                               fastSimulator);

    ASSERT_EQ(run.exitStatus, 0) << run.err;
    for (const char *line :
         {"frames:     20 of 256 x 128 pixels, 16 bits", "frames/s", "MB/s", "grab time:  median",
          "99th percentile", "repeated:   0", "dropped:    0", "lost:       n/a"})
        EXPECT_TRUE(contains(run.out, line)) << line << " missing in:\n" << run.out;
    EXPECT_FALSE(contains(run.out, "written:")) << run.out;
    // The driver's log goes to standard error, and the progress bar is for terminals only.
    EXPECT_FALSE(contains(run.out, "[Detector]")) << run.out;
    EXPECT_TRUE(contains(run.err, "[Detector]")) << run.err;
    EXPECT_FALSE(contains(run.err, "\r")) << run.err;
}

TEST(RecordOutput, ACameraThatRefusesToStartLeavesNoFiles)
{
    TemporaryFolder output;
    // The region of interest reaches past the 256-pixel-wide frame.
    const auto run = runRecord({"tessaravolt", "exposure-time=0", "roi-x0=200", "roi-width=100",
                                "-n", "2", "-o", output.path()},
                               fastSimulator);

    EXPECT_NE(run.exitStatus, 0);
    EXPECT_FALSE(run.err.empty());
    EXPECT_TRUE(output.entries().empty());
}

// ---- Formats ----------------------------------------------------------------------------

class RecordFormats : public testing::TestWithParam<std::string> {};

// Asynchronous delivery hands over every frame, so frame numbers run on by one, here across the
// pattern's 16-bit wrap-around, which the frame counter must not take for disorder.
TEST_P(RecordFormats, EveryFrameReadsBackAsTheSimulatorsPattern)
{
    TemporaryFolder output;
    const auto run =
        runRecord({"tessaravolt", "exposure-time=0", "roi-x0=10", "roi-y0=20", "roi-width=100",
                   "roi-height=50", "--mode", "async", "-n", "6", "--format", GetParam(),
                   "--frame-counter", "sim-pattern", "-o", output.path()},
                  fastSimulator + ";first_frame=65533");
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_TRUE(contains(run.out, "order:      0 out of order (not written), 0 skipped"))
        << run.out;
    EXPECT_EQ(writtenFrames(run.out), 6) << run.out;
    EXPECT_TRUE(hiddenEntries(output).empty());

    const auto recording = readRecording(GetParam(), output);
    ASSERT_TRUE(recording.has_value());
    EXPECT_EQ(recording->width, 100u);
    EXPECT_EQ(recording->height, 50u);
    EXPECT_EQ(recording->frames.size(), 6u);
    expectPatternFrames(*recording, 10, 20, true);
    if (GetParam() == "hdf5") {
        EXPECT_EQ(recording->complete, 1);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryFormat, RecordFormats, testing::ValuesIn(formats),
                         [](const testing::TestParamInfo<std::string> &param) {
                             return param.param;
                         });

// What a person using Debian's h5py sees: the same frames as the C library reads, and the
// camera's description. Debian's Python, since the first python3 on PATH may not have h5py.
TEST(RecordHdf5, H5pySeesTheFramesAndTheirDescription)
{
    TemporaryFolder output;
    const auto run =
        runRecord({"tessaravolt", "exposure-time=0.002", "roi-width=64", "roi-height=32", "--mode",
                   "async", "-n", "4", "--format", "hdf5", "-o", output.path()},
                  fastSimulator);
    ASSERT_EQ(run.exitStatus, 0) << run.err;

    const std::string script =
        "import sys, h5py\n"
        "f = h5py.File(sys.argv[1], 'r')\n"
        "d = f['/exchange/data']\n"
        "d[...].astype('<u2').tofile(sys.argv[2])\n"
        "a = d.attrs\n"
        "print(d.shape, d.dtype, d.chunks, f.attrs['implements'].decode(), a['camera'].decode(),\n"
        "      a['exposure_time'], list(a['roi']), list(a['binning']), len(a['pixel_size']),\n"
        "      len(f['/exchange/timestamps']), "
        "f['/exchange/timestamps'].attrs['units'].decode(), a['complete'])\n";
    const auto python = TessaraVoltTest::runChild(
        {"/usr/bin/python3", "-c", script, output.file("frames.h5"), output.file("h5py.raw")}, {},
        std::chrono::seconds(60));
    ASSERT_TRUE(python.exited && python.status == 0) << python.err;
    EXPECT_EQ(python.out,
              "(4, 32, 64) uint16 (1, 32, 64) exchange tessaravolt 0.002 [0, 0, 64, 32] "
              "[1, 1] 2 4 ns 1\n");

    const auto recording = readHdf5(output.file("frames.h5"));
    ASSERT_TRUE(recording.has_value());
    std::ifstream raw(output.file("h5py.raw"), std::ios::binary);
    std::vector<uint16_t> seen(4 * 32 * 64);
    raw.read(reinterpret_cast<char *>(seen.data()), std::streamsize(seen.size() * 2));
    std::vector<uint16_t> expected;
    for (const auto &frame : recording->frames)
        expected.insert(expected.end(), frame.begin(), frame.end());
    EXPECT_EQ(seen, expected);
    expectPatternFrames(*recording, 0, 0, true);
}

// A reader opens the file while it is recorded, as HDF5's single-writer/multiple-reader mode
// allows, and sees the frame count grow and the frames the file keeps; the file says it is
// incomplete until the recorder has finished it. Killed, the recorder leaves it readable and
// incomplete. The reader stops the recording itself once it has seen the count grow twice.
TEST(RecordHdf5, ALiveReaderSeesFramesArriveAndWhetherTheFileIsComplete)
{
    const std::string reader =
        "import os, sys, time, h5py\n"
        "path, pid, stop, raw = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]\n"
        "deadline = time.monotonic() + 120\n"
        "def wait(condition):\n"
        "    while not condition():\n"
        "        if time.monotonic() > deadline:\n"
        "            sys.exit('timed out')\n"
        "        time.sleep(0.01)\n"
        "wait(lambda: os.path.exists(path))\n"
        "data = h5py.File(path, 'r', swmr=True)['/exchange/data']\n"
        "counts = []\n"
        "def grown():\n"
        "    data.refresh()\n"
        "    if not counts or data.shape[0] != counts[-1]:\n"
        "        counts.append(data.shape[0])\n"
        "    return len(counts) >= 3\n"
        "wait(grown)\n"
        "complete = data.attrs['complete']\n"
        "frames = data[...]\n"
        "os.kill(pid, stop)\n"
        "frames.astype('<u2').tofile(raw)\n"
        "print(len(frames), complete, *counts)\n";
    for (const int signalNumber : {SIGINT, SIGKILL}) {
        TemporaryFolder output, logs;
        RunningRecord record({"tessaravolt", "exposure-time=0.02", "-n", "0", "--format", "hdf5",
                              "-o", output.path()},
                             fastSimulator, logs.path());
        const auto live = runChild({"/usr/bin/python3", "-c", reader, output.file("frames.h5"),
                                    std::to_string(record.pid()), std::to_string(signalNumber),
                                    logs.file("live.raw")},
                                   {}, std::chrono::seconds(150));
        const auto run = record.finish(std::chrono::seconds(60));
        ASSERT_TRUE(live.exited && live.status == 0) << live.err;
        EXPECT_EQ(run.exitStatus, 128 + signalNumber) << run.err;

        std::istringstream seen(live.out);
        size_t framesSeen = 0;
        int completeWhileLive = -1;
        std::vector<size_t> counts;
        seen >> framesSeen >> completeWhileLive;
        for (size_t count; seen >> count;)
            counts.push_back(count);
        EXPECT_EQ(completeWhileLive, 0);
        EXPECT_TRUE(std::is_sorted(counts.begin(), counts.end()) && counts.size() == 3 &&
                    counts.front() > 0 && counts.front() < counts.back())
            << live.out;

        const auto recording = readHdf5(output.file("frames.h5"), signalNumber == SIGKILL);
        ASSERT_TRUE(recording.has_value());
        EXPECT_EQ(recording->complete, signalNumber == SIGKILL ? 0 : 1);
        ASSERT_GE(recording->frames.size(), framesSeen);
        std::ifstream raw(logs.file("live.raw"), std::ios::binary);
        for (size_t i = 0; i < framesSeen; ++i) {
            std::vector<uint16_t> frame(recording->frames[i].size());
            raw.read(reinterpret_cast<char *>(frame.data()), std::streamsize(frame.size() * 2));
            EXPECT_EQ(frame, recording->frames[i]) << "frame " << i;
        }
        expectPatternFrames(*recording, 0, 0, false);
    }
}

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
