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
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace TessaraVoltTest {
namespace {

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

        EXPECT_EQ(run.exitStatus, 2) << argument;
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

// In a UTF-8 locale a name outside ASCII prints as itself, not as "?".
TEST(RecordArguments, OutputThatIsAFileOrUnderOneIsAUsageError)
{
    TemporaryFolder scratch;
    std::ofstream(scratch.file("plain-file")) << "not a folder";
    std::ofstream(scratch.file("Messung-\u00e4")) << "not a folder";

    for (const std::string &path : {scratch.file("plain-file/out"), scratch.file("plain-file"),
                                    scratch.file("Messung-\u00e4/out")}) {
        const auto run = runRecord({"tessaravolt", "-n", "1", "-o", path}, fastSimulator,
                                   std::chrono::seconds(60), {"/usr/bin/env", "LC_ALL=C.UTF-8"});
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
        {"tessaravolt", "--format", "hdf5"}, // would save nothing
        {"tessaravolt", "--series", "dark", "--format", "tiff", "-o", output.path()}, // HDF5 alone
        {"tessaravolt", "--series", "bright", "-o", output.path()},
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

    // Frames without a frame number: found with the first frame, before any file.
    const auto phantom = runRecord(
        {"tessaravolt", "exposure-time=0", "--frame-counter", "sim-pattern", "-o", output.path()},
        fastSimulator + ";content=phantom");
    EXPECT_EQ(phantom.exitStatus, 2) << phantom.err;
    EXPECT_TRUE(contains(phantom.err, "carries no frame number")) << phantom.err;
    EXPECT_TRUE(output.entries().empty());

    const auto help = runRecord({"--help"}, fastSimulator);
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_TRUE(contains(help.out, "--mode")) << help.out;
    EXPECT_TRUE(contains(help.out, "CAMERA [PROPERTY=VALUE ...]")) << help.out;
    EXPECT_TRUE(contains(help.out, "two exposure times + 10 s")) << "as the README says";
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
// --overwrite the first goes whole, once the second has its first frame; a run that fails before
// leaves the first as it was. Only what the first wrote goes: files named otherwise stay, and a
// file named as a recording that no record accounts for is refused. A planted link is replaced,
// never written through.
TEST(RecordOutput, AnEarlierRecordingIsRefusedOrReplacedWhole)
{
    TemporaryFolder output, elsewhere;
    const std::string victim = elsewhere.file("victim");
    std::ofstream(victim) << "precious";
    auto record = [&](const std::string &frames, const std::string &width, bool overwrite,
                      std::vector<std::string> more = {},
                      const std::string &simulator = fastSimulator) {
        std::vector<std::string> arguments{
            "tessaravolt", "exposure-time=0", "roi-width=" + width, "-n", frames,
            "-o",          output.path()};
        if (overwrite)
            arguments.push_back("--overwrite");
        arguments.insert(arguments.end(), more.begin(), more.end());
        return runRecord(arguments, simulator);
    };
    const std::vector<std::string> theirs{"frame-flatfield.tif", "frames.h5 (good run)",
                                          "frames.h5.bak", "preview.png.orig"};

    ASSERT_EQ(record("6", "64", false).exitStatus, 0);
    for (const std::string &name : theirs)
        std::ofstream(output.file(name)) << "the user's";
    const auto before = output.entries();
    const auto refused = record("3", "32", false);
    EXPECT_EQ(refused.exitStatus, 2);
    EXPECT_TRUE(contains(refused.err, "already holds a recording")) << refused.err;
    EXPECT_TRUE(contains(refused.err, "--overwrite")) << refused.err;

    const std::vector<std::pair<std::vector<std::string>, std::string>> failing{
        {{"roi-x0=300"}, fastSimulator},                           // beyond the frame
        {{"--mode", "buffered", "num-buffers=0"}, fastSimulator},  // no ring
        {{}, fastSimulator + ";fail=Acquisition_Acquire_Image:9"}, // the detector refuses
    };
    for (const auto &[more, simulator] : failing) {
        const auto failed = record("3", "32", true, more, simulator);
        EXPECT_NE(failed.exitStatus, 0) << simulator;
        EXPECT_EQ(output.entries(), before) << failed.err;
    }
    EXPECT_EQ(readTiffSeries(output)->frames.size(), 6u);

    std::filesystem::remove(output.file(frameName(1)));
    std::filesystem::create_symlink(victim, output.file(frameName(1)));
    const auto replaced = record("3", "32", true);
    ASSERT_EQ(replaced.exitStatus, 0) << replaced.err;
    std::vector<std::string> expected{".uca-record", frameName(1), frameName(2), frameName(3),
                                      "preview.png"};
    expected.insert(expected.end(), theirs.begin(), theirs.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(output.entries(), expected);
    const auto frames = readTiffSeries(output);
    ASSERT_TRUE(frames.has_value());
    EXPECT_EQ(frames->width, 32u);
    EXPECT_FALSE(std::filesystem::is_symlink(output.file(frameName(1))));
    std::ifstream stream(victim);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(stream), {}), "precious");

    std::ofstream(output.file(frameName(9))) << "not from the record";
    const auto planted = output.entries();
    const auto unaccounted = record("3", "32", true);
    EXPECT_EQ(unaccounted.exitStatus, 2);
    EXPECT_TRUE(contains(unaccounted.err, "no record") && contains(unaccounted.err, frameName(9)))
        << unaccounted.err;
    EXPECT_EQ(output.entries(), planted);
}

// One recording per folder at a time: a second is refused at once, with or without --overwrite,
// naming the first, which goes on untouched. A lock left by a process that ended without letting
// go of it is recognised and taken over.
TEST(RecordOutput, ASecondRecordingIntoTheSameFolderIsRefusedAtOnce)
{
    TemporaryFolder output, logs;
    RunningRecord first({"tessaravolt", "exposure-time=0.02", "-n", "0", "-o", output.path()},
                        fastSimulator, logs.path());
    ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(output.file(frameName(2))); },
                          std::chrono::seconds(60)));
    for (const bool overwrite : {false, true}) {
        std::vector<std::string> arguments{"tessaravolt", "-n", "1", "-o", output.path()};
        if (overwrite)
            arguments.push_back("--overwrite");
        const auto second = runRecord(arguments, fastSimulator);
        EXPECT_EQ(second.exitStatus, 2) << second.err;
        EXPECT_TRUE(contains(second.err, "in use by another recording (uca-record process " +
                                             std::to_string(first.pid()) + " "))
            << second.err;
    }
    first.sendSignal(SIGINT);
    const auto run = first.finish(std::chrono::seconds(60));
    ASSERT_EQ(run.exitStatus, 130) << run.err;
    const auto recording = readTiffSeries(output);
    ASSERT_TRUE(recording.has_value());
    EXPECT_EQ(static_cast<long>(recording->frames.size()), writtenFrames(run.out));
    expectPatternFrames(*recording, 0, 0, false);

    std::ofstream(output.file(".uca-record.lock")) << "process 999999 on elsewhere, started then";
    const auto after =
        runRecord({"tessaravolt", "-n", "1", "-o", output.path(), "--overwrite"}, fastSimulator);
    EXPECT_EQ(after.exitStatus, 0) << after.err;
    EXPECT_TRUE(contains(after.err, "taking over the lock") &&
                contains(after.err, "process 999999 on elsewhere"))
        << after.err;
    EXPECT_TRUE(hiddenEntries(output).empty());
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
// counts frames, the synchronous modes wait. Either way no frame is torn or lost unreported, and
// the recorder's drops are not taken for frames the camera skipped (it skips none when it
// delivers asynchronously).
TEST(RecordOutput, AOneFrameBufferDropsOrWaitsButNeverTearsFrames)
{
    for (const char *mode : {"async", "continuous"}) {
        TemporaryFolder output;
        const auto run =
            runRecord({"tessaravolt", "exposure-time=0", "--mode", mode, "--buffer", "4k", "-n",
                       "100", "--frame-counter", "sim-pattern", "-o", output.path()},
                      "sensors=64x32;readout_ns_per_pixel=0");
        ASSERT_EQ(run.exitStatus, 0) << mode << ": " << run.err;
        EXPECT_EQ(writtenFrames(run.out), 100) << run.out;
        const long dropped = reportedCount(run.out, "dropped");
        if (std::string(mode) == "async") {
            EXPECT_EQ(contains(run.out, "writer too slow"), dropped > 0) << run.out;
            EXPECT_TRUE(contains(run.out, "0 out of order (not written), 0 skipped")) << run.out;
        } else {
            EXPECT_EQ(dropped, 0) << run.out;
        }

        const auto frames = readTiffSeries(output);
        ASSERT_TRUE(frames.has_value());
        EXPECT_EQ(frames->frames.size(), 100u);
        expectPatternFrames(*frames, 0, 0, false);
    }
}

// Every mode ends alike when frames come late or never: a camera that never delivers (external
// trigger, no pulse) ends within --timeout; a frame that arrives after --duration, an exposure
// longer than it, is not kept, and the recording says so.
TEST(RecordOutput, EveryModeEndsAlikeWhenFramesComeLateOrNever)
{
    for (const char *mode : {"continuous", "single", "async", "buffered"}) {
        TemporaryFolder output;
        const auto run = runRecord({"tessaravolt", "trigger-source=external", "--mode", mode,
                                    "--timeout", "0.5", "-n", "2", "-o", output.path()},
                                   fastSimulator, std::chrono::seconds(30));

        EXPECT_EQ(run.exitStatus, 1) << mode << ":\n" << run.err;
        EXPECT_TRUE(contains(run.err, "No frame arrived for 0.5 s")) << mode << ": " << run.err;
        EXPECT_TRUE(output.entries().empty()) << mode;

        const auto late = runRecord(
            {"tessaravolt", "exposure-time=2", "--mode", mode, "--duration", "0.2"}, fastSimulator);
        EXPECT_EQ(late.exitStatus, 0) << mode << ":\n" << late.err;
        EXPECT_EQ(reportedCount(late.out, "frames"), 0) << mode << ":\n" << late.out;
        EXPECT_TRUE(contains(late.err, "no frame arrived within --duration 0.2 s")) << late.err;
    }
}

// Quiet, the camera's information lines go as well; warnings, the camera's and the recorder's
// (here of a binning the detector refuses), stay.
TEST(RecordOutput, QuietRecordingForADurationPrintsNothingButWritesItsFrames)
{
    TemporaryFolder output;
    const auto run = runRecord({"tessaravolt", "exposure-time=0.01", "sensor-vertical-binning=2",
                                "--duration", "0.5", "-q", "-o", output.path()},
                               fastSimulator + ";fail=Acquisition_SetCameraBinningMode:9");

    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_FALSE(contains(run.err, "[info]")) << run.err;
    EXPECT_TRUE(contains(run.err, "[warning] Binning mode 2 refused")) << run.err;
    EXPECT_TRUE(contains(run.err, "warning: the camera uses sensor-vertical-binning 1 (asked 2)"))
        << run.err;
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

    std::vector<std::string> expectedFiles{".uca-record"};
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
        return;
    }
    // Each page says which frame it is, when it came and how long it was exposed, and the size
    // of its 0.2 mm pixels.
    for (size_t i = 0; i < recording->descriptions.size(); ++i) {
        const std::string &text = recording->descriptions[i];
        EXPECT_EQ(text.rfind("frame=" + std::to_string(i + 1) + "\ntime=20", 0), 0u) << text;
        EXPECT_TRUE(contains(text, "Z\nexposure_time=0\n")) << text;
    }
    EXPECT_FLOAT_EQ(recording->pixelsPerCm, 50);
}

INSTANTIATE_TEST_SUITE_P(EveryFormat, RecordFormats, testing::ValuesIn(formats),
                         [](const testing::TestParamInfo<std::string> &param) {
                             return param.param;
                         });

// What a person using Debian's h5py sees: the same frames as the C library reads, and what the
// camera used once recording, not what was asked: a setting it rounded or refused is stated as it
// is used, with a warning and the report's settings line. Debian's Python, since the first
// python3 on PATH may not have h5py.
TEST(RecordHdf5, H5pySeesTheFramesAndWhatTheCameraUsed)
{
    struct Case {
        std::vector<std::string> settings;
        std::string simulator;
        std::string described; // shape, exposure_time, roi, binning
        std::string settingsLine;
    };
    const std::string refusing = fastSimulator + ";fail=Acquisition_SetCameraBinningMode:9";
    const std::vector<Case> cases{
        {{"exposure-time=0.002", "roi-width=64", "roi-height=32"},
         fastSimulator,
         "(4, 32, 64) 0.002 [0, 0, 64, 32] [1, 1]",
         "as asked"},
        // The timer runs no faster than the readout of 256 x 128 pixels at 32 ns each.
        {{"exposure-time=0.0005"},
         "sensors=256x128",
         "(4, 128, 256) 0.001048 [0, 0, 256, 128] [1, 1]",
         "not as asked: exposure-time 0.001048 (asked 0.0005)"},
        {{"exposure-time=0.0000004"},
         fastSimulator,
         "(4, 128, 256) 0.0 [0, 0, 256, 128] [1, 1]",
         "not as asked: exposure-time 0 (asked 0.0000004)"},
        {{"exposure-time=0", "sensor-horizontal-binning=2", "sensor-vertical-binning=2"},
         refusing,
         "(4, 128, 256) 0.0 [0, 0, 256, 128] [1, 1]",
         "not as asked: sensor-horizontal-binning 1 (asked 2), sensor-vertical-binning 1 (asked "
         "2)"},
        {{"exposure-time=0", "sensor-horizontal-binning=3"},
         fastSimulator,
         "(4, 64, 128) 0.0 [0, 0, 128, 64] [2, 2]",
         "not as asked: sensor-horizontal-binning 2 (asked 3)"},
        // One factor serves both axes: the second write wins, the region stays as the first left
        // it.
        {{"exposure-time=0", "sensor-horizontal-binning=2", "sensor-vertical-binning=1"},
         fastSimulator,
         "(4, 64, 128) 0.0 [0, 0, 128, 64] [1, 1]",
         "not as asked: sensor-horizontal-binning 1 (asked 2)"},
    };
    const std::string script =
        "import sys, datetime, h5py\n"
        "f = h5py.File(sys.argv[1], 'r')\n"
        "d = f['/exchange/data']\n"
        "d[...].astype('<u2').tofile(sys.argv[2])\n"
        "a = d.attrs\n"
        "datetime.datetime.strptime(a['start_time'].decode(), '%Y-%m-%dT%H:%M:%S.%fZ')\n"
        "print(d.shape, a['exposure_time'], list(a['roi']), list(a['binning']), '|', d.dtype,\n"
        "      d.chunks == (1,) + d.shape[1:], f.attrs['implements'].decode(), "
        "a['camera'].decode(),\n"
        "      a['camera_name'].decode(), 'camera_model' in a, a['gain'], len(a['pixel_size']),\n"
        "      len(f['/exchange/timestamps']), f['/exchange/timestamps'].attrs['units'].decode(),\n"
        "      a['complete'])\n";
    for (const Case &c : cases) {
        TemporaryFolder output;
        std::vector<std::string> arguments{"tessaravolt"};
        arguments.insert(arguments.end(), c.settings.begin(), c.settings.end());
        arguments.insert(arguments.end(),
                         {"--mode", "async", "-n", "4", "--format", "hdf5", "-o", output.path()});
        const auto run = runRecord(arguments, c.simulator);
        ASSERT_EQ(run.exitStatus, 0) << run.err;
        EXPECT_TRUE(contains(run.out, "settings:   " + c.settingsLine + "\n")) << run.out;
        EXPECT_EQ(contains(run.err, "uca-record: warning: the camera uses "),
                  c.settingsLine != "as asked")
            << run.err;

        const auto python = TessaraVoltTest::runChild(
            {"/usr/bin/python3", "-c", script, output.file("frames.h5"), output.file("h5py.raw")},
            {}, std::chrono::seconds(60));
        ASSERT_TRUE(python.exited && python.status == 0) << python.err;
        EXPECT_EQ(python.out,
                  c.described +
                      " | uint16 True exchange tessaravolt tessaravolt camera False 0 2 4 ns 1\n");

        const auto recording = readHdf5(output.file("frames.h5"));
        ASSERT_TRUE(recording.has_value());
        std::ifstream raw(output.file("h5py.raw"), std::ios::binary);
        std::vector<uint16_t> seen(recording->frames.size() * recording->width * recording->height);
        raw.read(reinterpret_cast<char *>(seen.data()), std::streamsize(seen.size() * 2));
        std::vector<uint16_t> expected;
        for (const auto &frame : recording->frames)
            expected.insert(expected.end(), frame.begin(), frame.end());
        EXPECT_EQ(seen, expected);
        expectPatternFrames(*recording, 0, 0, true);
    }
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

} // namespace
} // namespace TessaraVoltTest
