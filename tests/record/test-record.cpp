// uca-record as its users meet it: a subprocess recording from the tessaravolt camera on the
// simulated detector. Frames are read back from disk and checked pixel by pixel against the
// simulator's documented pattern.

#include "record-runner.h"
#include "sim-pattern.h"

#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using RecordTest::runRecord;
using RecordTest::TemporaryFolder;

namespace {

// 256 x 128 pixels, no readout time: recordings take milliseconds.
const std::string fastSimulator = "sensors=256x128;readout_ns_per_pixel=0";

using SimPattern::patternFrameNumber;
using SimPattern::patternPixel;

struct Tiff16 {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint16_t> pixels;
};

struct TiffCloser {
    void operator()(TIFF *tiff) const { TIFFClose(tiff); }
};

// Reads a single-channel 16-bit grayscale TIFF; fails the test on anything else.
std::optional<Tiff16> readTiff16(const std::string &path)
{
    std::unique_ptr<TIFF, TiffCloser> tiff(TIFFOpen(path.c_str(), "r"));
    if (!tiff) {
        ADD_FAILURE() << "cannot open " << path;
        return std::nullopt;
    }

    Tiff16 image;
    uint16_t bits = 0, samples = 0, photometric = 0;
    TIFFGetField(tiff.get(), TIFFTAG_IMAGEWIDTH, &image.width);
    TIFFGetField(tiff.get(), TIFFTAG_IMAGELENGTH, &image.height);
    TIFFGetField(tiff.get(), TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetField(tiff.get(), TIFFTAG_PHOTOMETRIC, &photometric);
    EXPECT_EQ(bits, 16) << path;
    EXPECT_EQ(samples, 1) << path;
    EXPECT_EQ(photometric, PHOTOMETRIC_MINISBLACK) << path;
    if (bits != 16 || samples != 1)
        return std::nullopt;

    image.pixels.resize(static_cast<size_t>(image.width) * image.height);
    for (uint32_t row = 0; row < image.height; ++row) {
        if (TIFFReadScanline(tiff.get(), &image.pixels[static_cast<size_t>(row) * image.width], row,
                             0) != 1) {
            ADD_FAILURE() << "cannot read row " << row << " of " << path;
            return std::nullopt;
        }
    }
    return image;
}

struct Png8 {
    uint32_t width = 0;
    uint32_t height = 0;
    int bitDepth = 0;
    int colourType = -1;
    std::vector<uint8_t> pixels;
};

// Reads the header as written (bit depth, colour type), then decodes the pixels with libpng.
std::optional<Png8> readPng(const std::string &path)
{
    std::ifstream stream(path, std::ios::binary);
    std::array<unsigned char, 26> head{};
    if (!stream.read(reinterpret_cast<char *>(head.data()), head.size())) {
        ADD_FAILURE() << "cannot read " << path;
        return std::nullopt;
    }
    const std::array<unsigned char, 8> signature{0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (!std::equal(signature.begin(), signature.end(), head.begin()) ||
        std::string(reinterpret_cast<char *>(&head[12]), 4) != "IHDR") {
        ADD_FAILURE() << path << " does not start like a PNG file";
        return std::nullopt;
    }

    Png8 png;
    auto bigEndian = [&head](size_t at) {
        return uint32_t{head[at]} << 24 | uint32_t{head[at + 1]} << 16 |
               uint32_t{head[at + 2]} << 8 | head[at + 3];
    };
    png.width = bigEndian(16);
    png.height = bigEndian(20);
    png.bitDepth = head[24];
    png.colourType = head[25];

    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) {
        ADD_FAILURE() << "libpng cannot read " << path << ": " << image.message;
        return std::nullopt;
    }
    image.format = PNG_FORMAT_GRAY;
    png.pixels.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, png.pixels.data(), 0, nullptr)) {
        ADD_FAILURE() << "libpng cannot decode " << path << ": " << image.message;
        return std::nullopt;
    }
    return png;
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

TEST(RecordArguments, FolderUnderAFileFailsBeforeRecording)
{
    TemporaryFolder scratch;
    std::ofstream(scratch.file("plain-file")) << "not a folder";

    const auto underFile =
        runRecord({"tessaravolt", "-n", "1", "-o", scratch.file("plain-file/out")}, fastSimulator);
    EXPECT_NE(underFile.exitStatus, 0);
    EXPECT_TRUE(contains(underFile.err, "plain-file/out")) << underFile.err;
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
    const std::vector<std::vector<std::string>> cases{
        {"tessaravolt", "--frames", "0"},
        {"tessaravolt", "--frames", "many"},
        {"tessaravolt", "--mode", "sideways"},
        {"tessaravolt", "--timeout", "0"},
        {"tessaravolt", "--bogus"},
        {},
    };
    for (const auto &arguments : cases) {
        const auto run = runRecord(arguments, fastSimulator);
        EXPECT_EQ(run.exitStatus, 2) << (arguments.empty() ? "no arguments" : arguments.back());
        EXPECT_TRUE(contains(run.err, "uca-record --help")) << run.err;
    }

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

TEST(RecordOutput, AFailedWriteLeavesNoPartialFile)
{
    TemporaryFolder output;
    // A folder where the second frame should go makes its rename fail.
    ASSERT_EQ(mkdir(output.file(frameName(2)).c_str(), 0755), 0);
    ASSERT_EQ(mkdir(output.file(frameName(2) + "/keep").c_str(), 0755), 0);

    const auto run = runRecord({"tessaravolt", "exposure-time=0", "-n", "3", "-o", output.path()},
                               fastSimulator);

    EXPECT_NE(run.exitStatus, 0);
    EXPECT_TRUE(contains(run.err, frameName(2))) << run.err;
    EXPECT_EQ(output.entries(), (std::vector<std::string>{frameName(1), frameName(2)}));
    EXPECT_TRUE(readTiff16(output.file(frameName(1))).has_value());
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

    std::optional<uint16_t> previous;
    for (unsigned i = 1; i <= frames; ++i) {
        const auto tiff = readTiff16(output.file(frameName(i)));
        ASSERT_TRUE(tiff.has_value());
        ASSERT_EQ(tiff->width, width);
        ASSERT_EQ(tiff->height, height);

        const uint16_t n = patternFrameNumber(tiff->pixels[0], x0, y0);
        size_t mismatches = 0;
        for (uint32_t y = 0; y < height; ++y) {
            for (uint32_t x = 0; x < width; ++x)
                mismatches += tiff->pixels[y * width + x] != patternPixel(x0 + x, y0 + y, n);
        }
        EXPECT_EQ(mismatches, 0u) << frameName(i) << " (frame number " << n << ")";

        if (previous) {
            const uint16_t step = static_cast<uint16_t>(n - *previous);
            // Asynchronous delivery hands over every frame; the others may skip but never go back.
            if (GetParam() == "async")
                EXPECT_EQ(step, 1) << frameName(i);
            else
                EXPECT_TRUE(step >= 1 && step < 0x8000) << frameName(i) << " step " << step;
        }
        previous = n;
    }

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
         {"frames:     20 of 256 x 128 pixels, 16 bits", "frames/s", "MB/s", "latency:    median",
          "99th percentile", "repeated:   0", "lost:       n/a"})
        EXPECT_TRUE(contains(run.out, line)) << line << " missing in:\n" << run.out;
    EXPECT_FALSE(contains(run.out, "written:")) << run.out;
    EXPECT_EQ(run.err, "") << "the progress bar is for terminals only";
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

// ---- Memory -----------------------------------------------------------------------------

#ifdef VALGRIND_PATH
// Leaks hide on the failure paths as much as on the good ones.
TEST(RecordMemory, EverythingAllocatedIsFreed)
{
    const std::vector<std::vector<std::string>> runs{
        {"--mode", "async", "-n", "3"},
        {"--mode", "buffered", "-n", "3"},
        {"--mode", "continuous", "-n", "3", "-o", "OUTPUT"},
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
std::optional<long> allocationsOf(const RecordTest::RunResult &run)
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
