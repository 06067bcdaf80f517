// SPDX-License-Identifier: LGPL-2.1-or-later
// uca-record as its users meet it: a subprocess recording from the tessaravolt camera on the
// simulated detector, its frames read back from disk and checked against the simulator's pattern;
// how recordings end besides their count and duration (signals, a kill, a full disk); and the
// memory they take.

#include "record-kit.h"
#include "wait-until.h"

#include <gtest/gtest.h>
#include <png.h>
#include <signal.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

namespace TessaraVoltTest {
namespace {

std::string repeated(const std::string &text, size_t times)
{
    std::string whole;
    for (size_t i = 0; i < times; i++)
        whole += text;
    return whole;
}

// One run of uca-record: its command line (split at spaces) and the parts its standard output
// and error must hold ("|" between parts; "!part": must not hold). "@out" stands for an empty
// output folder, "@scratch" for a folder holding the files "plain-file" and "Messung-\u00e4", the
// folder "read-only" (no write permission), "stale-socket", a socket nobody listens on, the sockets
// liveSockets names, which the test holds, and "out-link", a link to the output folder; every run
// leaves "plain-file" and those sockets as they were. --format, if given, comes last.
struct Invocation {
    std::string name, command;
    int status;
    std::string out = "", err = "", simulator = fastSimulator;
    std::vector<std::string> wrapper = {};
    size_t framesAtLeast = 0;
    bool smallDisk = false; // the output folder on a file system of 12 MB
};

std::vector<std::string> split(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    std::istringstream stream(text);
    for (std::string part; std::getline(stream, part, separator);)
        parts.push_back(part);
    return parts;
}

std::string contentsOf(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// What a process that bound a local socket and ended leaves at `path`.
// A local socket of `type` bound at `path`, listening with `backlog` unless that is negative;
// closed at once, it is a stale one.
int bindSocket(const std::string &path, int type, int backlog)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    EXPECT_LT(path.size(), sizeof address.sun_path);
    strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    if (backlog >= 0) {
        EXPECT_EQ(listen(fd, backlog), 0);
    }
    return fd;
}

// Sockets the test holds open as a live process would, and connections filling a backlog.
struct HeldSockets {
    std::vector<int> fds;
    ~HeldSockets()
    {
        for (const int fd : fds)
            close(fd);
    }
    void fillBacklog(const std::string &path)
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        int error = 0;
        for (int i = 0; i < 16 && error == 0; i++) {
            fds.push_back(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
            error = connect(fds.back(), reinterpret_cast<const sockaddr *>(&address),
                            sizeof address) == 0
                        ? 0
                        : errno;
        }
        EXPECT_EQ(error, EAGAIN);
    }
};

const std::vector<std::string> liveSockets{"datagram-socket", "seqpacket-socket", "full-socket"};

std::vector<Invocation> runs()
{
    const std::string roi = " roi-x0=10 roi-y0=20 roi-width=100 roi-height=50", tv = "tessaravolt ";
    const std::string help = "uca-record --help",
                      execRecord = "import os, sys\nos.execv(sys.argv[1], sys.argv[1:])\n";
    // clang-format off
    std::vector<Invocation> rows{
        // Other plug-ins may follow, from libuca's own folder, but none twice.
        {"unknown camera", "nosuchcamera -o @out", 1, "", "Cannot open camera `nosuchcamera'|(available: tessaravolt|!tessaravolt, tessaravolt"},
        {"unknown property", tv + "roi-widht=10 -o @out", 2, "", "no property `roi-widht'"},
        {"no detector", tv + "-o @out", 1, "", "Cannot open camera `tessaravolt'", "sensors=none"},
        {"region beyond the frame", tv + "roi-x0=200 roi-width=100 -o @out", 2, "", "does not fit into the 256x128 frame"},
        {"every accepted spelling", tv + "exposure-time=0 trigger-source=auto trigger-type=UCA_CAMERA_TRIGGER_TYPE_EDGE "
         "buffered=FALSE roi-width=64 -n 2", 0, "2 of 64 x 128 pixels, 16 bits"},
        {"help", "--help", 0, "--mode|CAMERA [PROPERTY=VALUE ...]|two exposure times + 10 s"},
        {"no arguments", "", 2, "", help},
        {"no frame number", tv + "--frame-counter sim-pattern -o @out", 2, "", "carries no frame number", fastSimulator + ";content=phantom"},
        // The driver's log goes to standard error, and the progress bar is for terminals only.
        {"report without a folder", tv + "exposure-time=0 -n 20 --mode single", 0, "frames:     20 of 256 x 128 pixels, "
         "16 bits|frames/s|MB/s|grab time:  median|99th percentile|repeated:   0|dropped:    0|lost:       n/a|!written:"
         "|![Detector]", "[Detector]|!\r"},
        // Quiet, the camera's information lines go too; warnings stay. The duration ends it.
        {"quiet for a duration", tv + "exposure-time=0.01 sensor-vertical-binning=2 --duration 0.5 -q -o @out", 0,
         "!camera:", "![info]|[warning] Binning mode 2 refused|warning: the camera uses sensor-vertical-binning 1 (asked 2)",
         fastSimulator + ";fail=Acquisition_SetCameraBinningMode:9", {}, 11},
    };
    // Bad input before the camera records: each message names the option and the reason.
    // libuca 2.4's buffered ring divides by its number of buffers.
    rows.push_back({"value num-buffers=0 buffered", tv + "num-buffers=0 --mode buffered -n 1 -o @out", 2, "",
                    "`num-buffers'|at least 1"});
    rows.push_back({"value calibration-file missing", tv + "calibration-file=@scratch/none -n 1 -o @out", 2, "",
                    "`calibration-file'|no such file"});
    rows.push_back({"value calibration-file empty", tv + "calibration-file= exposure-time=0 -n 1 -o @out", 0, "",
                    "!(null)|!the camera uses"});
    rows.push_back({"option not text", tv + "-n 1 --mode \xff -o @out", 2, "", "--mode|!Invalid byte sequence",
                    fastSimulator, {"/usr/bin/env", "LC_ALL=C.UTF-8"}});
    // The camera has the last value of a property asked twice, and so is it compared.
    rows.push_back({"value asked twice", tv + "offset-correction=true offset-correction=false -n 1 -o @out", 0,
                    "settings:   as asked"});
    // A camera's text is UTF-8: other bytes are refused, and never echoed.
    for (const std::string value : {"exposure-time=\xff", "calibration-file=@scratch/cal\xff.h5"})
        rows.push_back({"value not text " + value.substr(0, 4), tv + value + " -n 1 -o @out", 2, "",
                        "`" + value.substr(0, value.find('=')) + "': not UTF-8|!\xff", fastSimulator,
                        {"/usr/bin/env", "LC_ALL=C.UTF-8"}});
    // libuca lists the plug-in once per file it finds.
    rows.push_back({"camera found twice", "nosuchcamera -o @out", 1, "", "(available: tessaravolt|!tessaravolt, tessaravolt",
                    fastSimulator, {"/usr/bin/env", "UCA_CAMERA_PATH=@scratch/plugins"}});
    // libuca would take "yes" as false; nobody would send a software trigger.
    for (const std::string bad : {"roi-width=abc", "roi-width=-5", "roi-width=0", "roi-x0=", "exposure-time=fast",
                                  "exposure-time=-1", "roi-width", "transfer-asynchronously=yes",
                                  "trigger-source=sometimes", "sensor-width=10", "trigger-source=software"})
        rows.push_back({"value " + bad, tv + bad + " -n 1 -o @out", 2, "",
                        bad == "trigger-source=software" ? "software trigger" : bad.substr(0, bad.find('='))});
    for (const std::string path : {"@scratch/plain-file/out", "@scratch/plain-file", "@scratch/Messung-\u00e4/out"})
        rows.push_back({"output " + path, tv + "-n 1 -o " + path, 2, "", "Cannot create folder `" + path, fastSimulator,
                        {"/usr/bin/env", "LC_ALL=C.UTF-8"}});
    if (geteuid() != 0) // permissions do not bind root
        rows.push_back({"output read-only", tv + "-n 1 -o @scratch/read-only", 2, "", "Cannot write into folder"});
    // The last two are found once the camera's region is known (64 KiB frames), before any file.
    for (const std::string options : {"--frames -1", "--frames many", "--frames 2.5", "--duration -2", "--duration soon",
                                      "--mode sideways", "--format jpeg", "--buffer lots", "--buffer 0", "--buffer 1Q",
                                      "--frame-counter guess", "--timeout 0", "--timeout -1", "--bogus", "--format hdf5",
                                      "--series bright", "--series dark --format tiff -o @out", "--buffer 60k -o @out"})
        rows.push_back({"option " + options, tv + options, 2, "", help});
    for (const int signal : {SIGINT, SIGHUP})
        rows.push_back({std::string("signal at set-up ") + sigabbrev_np(signal), tv + "-n 3 -o @out/out", 128 + signal,
                        "!camera:", "stopping before recording starts|before recording started; nothing was recorded",
                        fastSimulator, {"/usr/bin/python3", "-c", "import signal\nsignal.pthread_sigmask(signal.SIG_BLOCK, [" +
                        std::to_string(signal) + "])\nsignal.raise_signal(" + std::to_string(signal) + ")\n" + execRecord}});
    // Stream input is checked before the camera is touched: with no detector at all, a camera opened would
    // fail differently.
    for (const auto &[options, reason] : std::vector<std::pair<std::string, std::string>>{
             {"carrier-pigeon://loft", "Protocol not supported"}, {"tcp://127.0.0.1", "Invalid argument"},
             {"inproc://frames", "here; write tcp|ADDRESS:PORT or ipc://PATH"}, {"udp://127.0.0.1:31001", "Protocol not supported"},
             {"tcp://localhost:31001", "write tcp://127.0.0.1:31001 or tcp://[::1]:31001"},
             // No brackets: test names holding them lose their place in CMake's lists.
             {"ipc://@scratch/s --stream-user-data {\"a\":1,}", "not JSON: an object's key that is not a string at character 8"},
             {"ipc://@scratch/s --stream-user-data " + repeated("{\"a\":", 600), "not JSON: nesting too deep"},
             {"tcp://127.0.0.1:99999", "none of 0 to 65535"}, {"ipc://@scratch/s --stream-user-data {sample:Fe}", "not JSON"},
             {"tcp://127.0.0.1:45871 --stream tcp://127.0.0.1:45871", "Address already in use"},
             {"ipc://@scratch/s --stream-curve-secret @out/none --stream-curve-clients @out/none", "Cannot read --stream-curve-secret"},
             {"ipc://@scratch/s --stream-curve-secret @out/none", "go together"}, {"ipc://@scratch/s --stream-policy hope", "stream policy"},
             // ZeroMQ would remove the file to bind there.
             {"ipc://@scratch/plain-file", "(--stream): `@scratch/plain-file' exists and is not a socket"}})
        rows.push_back({"stream " + options, tv + "-n 1 --stream " + options, 2, "", reason + "|![Detector]", "sensors=none"});
    // A socket its process left may be replaced: the run goes on to the camera. A run refused
    // there leaves no socket of its own behind, and none goes in or in place of the folder.
    rows.push_back({"stream ipc://@scratch/stale-socket", tv + "-n 1 --stream ipc://@scratch/stale-socket", 1, "",
                    "Cannot open camera `tessaravolt'", "sensors=none"});
    // An address too long for ZeroMQ's short messages: its last events are freed too.
    rows.push_back({"stream ipc long addresses", tv + "-n 2 -o @out --stream-policy drop --stream ipc://@scratch/"
                    "a-socket-name-longer-than-a-short-message --stream ipc://@scratch/another-name-longer-than-a-short-message"
                    " --stream ipc://@scratch/a-third-name-longer-than-a-short-message", 0, "0 frames sent, 2 dropped (drop)"});
    rows.push_back({"stream ipc refused at the camera", tv + "-n 1 -o @out --stream ipc://@scratch/s", 1, "",
                    "Cannot open camera `tessaravolt'", "sensors=none"});
    rows.push_back({"stream ipc in the folder", tv + "-n 1 -o @out --stream ipc://@out/frames.h5", 2, "",
                    "(--stream): its socket would be inside the output folder", "sensors=none"});
    // A socket a live process holds is refused at once, whatever its type or backlog, and stays.
    for (const std::string &name : liveSockets)
        rows.push_back({"stream ipc held " + name, tv + "-n 1 --stream ipc://@scratch/" + name, 2, "",
                        "a live process holds the socket there|![Detector]", "sensors=none"});
    // Links lead into the folder, from the socket's side or the folder's.
    rows.push_back({"stream ipc in the folder by a link", tv + "-n 1 -o @out --stream ipc://@scratch/out-link/s", 2, "",
                    "(--stream): its socket would be inside the output folder", "sensors=none"});
    rows.push_back({"stream ipc in the folder named by a link", tv + "-n 1 -o @scratch/out-link --stream ipc://@out/s", 2,
                    "", "(--stream): its socket would be inside the output folder", "sensors=none"});
    rows.push_back({"stream ipc as the folder", tv + "-n 1 -o @scratch/folder --stream ipc://@scratch/folder", 2, "",
                    "in the place of the output folder", "sensors=none"});
    for (const std::string mode : {"async", "continuous"}) {
        // A stop the detector refuses comes after every frame has arrived.
        rows.push_back({"failed stop " + mode, tv + "exposure-time=0 -n 5 -o @out --mode " + mode, 1,
                        "written:    5 frames", "could not be stopped", fastSimulator + ";fail=Acquisition_Abort:7"});
        // The writer falls behind at once: asynchronous delivery drops (the camera skips none), the
        // synchronous modes wait.
        rows.push_back({"one frame buffer " + mode, tv + "exposure-time=0 --buffer 4k -n 100 --frame-counter sim-pattern "
                        "-o @out --mode " + mode, 0, mode == "async" ? "written:    100 frames|0 skipped"
                        : "written:    100 frames|dropped:    0", "", "sensors=64x32;readout_ns_per_pixel=0"});
    }
    for (const std::string mode : {"continuous", "single", "async", "buffered"}) {
        rows.push_back({"roi " + mode, tv + "exposure-time=0 -n 5 -o @out --mode " + mode + roi, 0,
                        "repeated:   0|mode:       " + mode});
        // A camera that never delivers (external trigger, no pulse) ends within --timeout; a frame
        // that comes after --duration is not kept.
        rows.push_back({"no frame " + mode, tv + "trigger-source=external --timeout 0.5 -o @out --mode " + mode, 1, "",
                        "No frame arrived within 0.5 s of the start|--timeout"});
        rows.push_back({"frame after the duration " + mode, tv + "exposure-time=4 --duration 0.2 --mode " + mode, 0,
                        "frames:     0 of", "no frame arrived within --duration 0.2 s"});
        // The duration ends the run, not the frame under way: it would come after it anyway.
        rows.push_back({"duration shorter than the exposure " + mode,
                        tv + "exposure-time=4000 --duration 0.5 --mode " + mode, 0,
                        mode == "async" ? "frames:     0 of" : "frames:     0 of|discarded:  1 frame",
                        "no frame arrived within --duration 0.5 s"});
    }
    // Frame numbers run across the pattern's 16-bit wrap-around, which is no disorder.
    for (const std::string &format : formats)
        rows.push_back({"format " + format, tv + "exposure-time=0 --mode async -n 6 --frame-counter sim-pattern -o @out" +
                        roi + " --format " + format, 0, "order:      0 out of order (not written), 0 skipped|written:    6 "
                        "frames", "", fastSimulator + ";first_frame=65533"});
    // The disk fills up halfway: the message names the file and the system's reason.
    for (const std::string &format : formats)
        rows.push_back({"full disk " + format, tv + "exposure-time=0 --mode continuous -n 400 -o @out --format " + format,
                        1, "unwritten:", "Cannot write `@out/|No space left on device", fastSimulator, {}, 11, true});
#ifdef VALGRIND_PATH
    // Leaks hide on the failure paths as much as on the good ones.
    for (const std::string name : {"roi async", "roi continuous", "roi buffered", "failed stop async", "format hdf5",
                                   "frame after the duration continuous", "frame after the duration buffered",
                                   "value roi-width=abc",
                                   "output @scratch/plain-file/out"}) {
        rows.push_back(*std::find_if(rows.begin(), rows.end(), [&](const Invocation &row) { return row.name == name; }));
        rows.back().name += " under valgrind";
        // So slowed down, the grabs of a detector without exposure time lie more than half the
        // 16-bit frame numbers of the pattern apart, which then read as out of order.
        if (const size_t at = rows.back().command.find("exposure-time=0 "); at != std::string::npos)
            rows.back().command.replace(at, 15, "exposure-time=0.01");
        rows.back().wrapper = {VALGRIND_PATH, "--leak-check=full", "--errors-for-leak-kinds=definite,indirect",
                               "--error-exitcode=99"};
    }
#endif
    // clang-format on
    return rows;
}

class RecordRun : public testing::TestWithParam<Invocation> {};

// Whatever the run, the folder holds exactly the frames the report counts, whole, in order, and
// only the recording's files; in asynchronous mode the gaps in the frame numbers are the drops.
TEST_P(RecordRun, EndsAsTheRowSays)
{
    const Invocation &row = GetParam();
    TemporaryFolder output, scratch;
    std::ofstream(scratch.file("plain-file")) << "not a folder";
    std::ofstream(scratch.file("Messung-\u00e4")) << "not a folder";
    mkdir(scratch.file("read-only").c_str(), 0500);
    mkdir(scratch.file("plugins").c_str(), 0700);
    const std::string plugin = std::string(getenv("UCA_CAMERA_PATH")) + "/libucatessaravolt.so";
    for (const char *name : {"libucatessaravolt.so", "libucatessaravolt.so.2"})
        std::filesystem::create_symlink(plugin, scratch.file("plugins/") + name);
    close(bindSocket(scratch.file("stale-socket"), SOCK_STREAM, -1));
    HeldSockets held{{bindSocket(scratch.file(liveSockets[0]), SOCK_DGRAM, -1),
                      bindSocket(scratch.file(liveSockets[1]), SOCK_SEQPACKET, 1),
                      bindSocket(scratch.file(liveSockets[2]), SOCK_STREAM, 0)}};
    held.fillBacklog(scratch.file(liveSockets[2]));
    std::filesystem::create_directory_symlink(output.path(), scratch.file("out-link"));
    const auto scratchBefore = scratch.entries();
    auto expand = [&](std::string text) {
        for (const auto &[mark, path] : {std::pair{std::string("@out"), output.path()},
                                         std::pair{std::string("@scratch"), scratch.path()}}) {
            if (const size_t at = text.find(mark); at != std::string::npos)
                text.replace(at, mark.size(), path);
        }
        return text;
    };
    std::vector<std::string> arguments;
    for (const std::string &argument : split(row.command, ' '))
        arguments.push_back(expand(argument));
    // A small file system of its own (needs root to mount).
    if (row.smallDisk && mount("tmpfs", output.path().c_str(), "tmpfs", 0, "size=12m") != 0)
        GTEST_SKIP() << "cannot mount a small file system here";
    const std::unique_ptr<const std::string, void (*)(const std::string *)> unmount(
        row.smallDisk ? &output.path() : nullptr,
        [](const std::string *path) { umount2(path->c_str(), MNT_DETACH); });
    std::vector<std::string> wrapper;
    for (const std::string &argument : row.wrapper)
        wrapper.push_back(expand(argument));
    const auto run = runRecord(arguments, row.simulator, std::chrono::seconds(100), wrapper);

    EXPECT_EQ(run.exitStatus, row.status) << run.err;
    EXPECT_EQ(contentsOf(scratch.file("plain-file")), "not a folder");
    for (const std::string &name : liveSockets)
        EXPECT_TRUE(std::filesystem::is_socket(scratch.file(name))) << name << " removed";
    for (const std::string &name : scratch.entries())
        EXPECT_TRUE(std::binary_search(scratchBefore.begin(), scratchBefore.end(), name))
            << name << " left";
    for (const auto &[parts, text] : {std::pair{row.out, run.out}, std::pair{row.err, run.err}}) {
        for (const std::string &part : split(parts, '|'))
            EXPECT_EQ(contains(text, expand(part.substr(part[0] == '!'))), part[0] != '!')
                << part << " in:\n"
                << text;
    }
    EXPECT_TRUE(hiddenEntries(output).empty());
    const long written = reportedCount(run.out), dropped = reportedCount(run.out, "dropped");
    if (written <= 0 && row.framesAtLeast == 0) {
        EXPECT_TRUE(output.entries().empty());
        return;
    }
    const std::string format = contains(row.command, "--format ") ? arguments.back() : "tiff";
    const auto recording = readRecording(format, output);
    ASSERT_TRUE(recording.has_value());
    EXPECT_TRUE(recording->frames.size() >= row.framesAtLeast &&
                (written < 0 || long(recording->frames.size()) == written))
        << recording->frames.size() << " frames on disk; the report:\n"
        << run.out;
    const bool inRoi = contains(row.command, "roi-height=50");
    const long missing = expectPatternFrames(*recording, inRoi ? 10 : 0, inRoi ? 20 : 0);
    if (contains(row.command, "--mode async") && written >= 0) {
        EXPECT_EQ(missing, dropped) << "gaps in the frame numbers against the reported drops";
        EXPECT_EQ(contains(run.out, "writer too slow"), dropped > 0) << run.out;
    }
    EXPECT_TRUE(!inRoi || (recording->width == 100 && recording->height == 50));

    std::vector<std::string> files{".uca-record"};
    if (format == "hdf5") {
        EXPECT_EQ(recording->complete, row.status == 0);
        files.push_back("frames.h5");
    } else {
        // Each page says which frame it is, when it came, its exposure and what was done to its
        // pixels (this camera's frames are raw); its pixels are 0.2 mm.
        for (size_t i = 0; i < recording->descriptions.size(); ++i)
            EXPECT_TRUE(recording->descriptions[i].rfind(
                            "frame=" + std::to_string(i + 1) + "\ntime=20", 0) == 0 &&
                        contains(recording->descriptions[i], "\ncorrections=none\n") &&
                        !contains(recording->descriptions[i], "calibration_file="))
                << recording->descriptions[i];
        EXPECT_FLOAT_EQ(recording->pixelsPerCm, 50);
        for (unsigned i = 1; format == "tiff" && i <= recording->frames.size(); ++i)
            files.push_back(frameName(i));
        if (format == "multitiff")
            files.push_back("frames.tif");
    }
    if (row.status == 0)
        files.push_back("preview.png");
    std::sort(files.begin(), files.end());
    EXPECT_EQ(output.entries(), files);
    if (row.status != 0)
        return;
    // A contrast-stretched 8-bit picture of the last frame.
    png_image preview{};
    preview.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&preview, output.file("preview.png").c_str()));
    EXPECT_EQ(std::tuple(preview.format, preview.width, preview.height),
              std::tuple(uint32_t{PNG_FORMAT_GRAY}, recording->width, recording->height));
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(preview));
    ASSERT_TRUE(png_image_finish_read(&preview, nullptr, pixels.data(), 0, nullptr));
    const auto [darkest, brightest] = std::minmax_element(pixels.begin(), pixels.end());
    EXPECT_EQ(std::pair(int(*darkest), int(*brightest)), std::pair(0, 255));
}

void PrintTo(const Invocation &row, std::ostream *os)
{
    *os << row.command;
}

INSTANTIATE_TEST_SUITE_P(Every, RecordRun, testing::ValuesIn(runs()),
                         [](const testing::TestParamInfo<Invocation> &param) {
                             std::string name = param.param.name;
                             for (char &c : name)
                                 c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             return name;
                         });

// A second recording into the same folder never mixes with the first: refused, or with
// --overwrite the first goes whole once the second has its first frame; a run that fails before
// leaves it as it was. Only what the first wrote goes: the user's files stay, a planted link is
// replaced, never written through, and a file named as a frame that no record accounts for is
// refused.
TEST(RecordOutput, AnEarlierRecordingIsRefusedOrReplacedWhole)
{
    TemporaryFolder output, elsewhere;
    std::ofstream(elsewhere.file("victim")) << "precious";
    auto record = [&](const std::string &frames, std::vector<std::string> more = {},
                      const std::string &simulator = fastSimulator) {
        more.insert(more.begin(), {"tessaravolt", "exposure-time=0", "roi-width=" + frames + "0",
                                   "-n", frames, "-o", output.path()});
        return runRecord(more, simulator);
    };
    std::vector<std::string> theirs{"frame-flatfield.tif", "frames.h5 (good run)", "frames.h5.bak",
                                    "preview.png.orig"};
    ASSERT_EQ(record("6").exitStatus, 0);
    for (const std::string &name : theirs)
        std::ofstream(output.file(name)) << "the user's";
    const auto before = output.entries();
    const auto refused = record("3");
    EXPECT_TRUE(refused.exitStatus == 2 && contains(refused.err, "already holds a recording") &&
                contains(refused.err, "--overwrite"))
        << refused.err;
    for (const auto &[more, simulator] :
         std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--overwrite", "roi-x0=300"}, fastSimulator},
             {{"--overwrite", "--mode", "buffered", "num-buffers=0"}, fastSimulator},
             {{"--overwrite"}, fastSimulator + ";fail=Acquisition_Acquire_Image:9"}}) {
        const auto failed = record("3", more, simulator);
        EXPECT_NE(failed.exitStatus, 0) << simulator;
        EXPECT_EQ(output.entries(), before) << failed.err;
    }
    EXPECT_EQ(readRecording("tiff", output)->frames.size(), 6u);

    std::filesystem::remove(output.file(frameName(1)));
    std::filesystem::create_symlink(elsewhere.file("victim"), output.file(frameName(1)));
    const auto replaced = record("3", {"--overwrite"});
    ASSERT_EQ(replaced.exitStatus, 0) << replaced.err;
    theirs.insert(theirs.end(),
                  {".uca-record", frameName(1), frameName(2), frameName(3), "preview.png"});
    std::sort(theirs.begin(), theirs.end());
    EXPECT_EQ(output.entries(), theirs);
    EXPECT_EQ(readRecording("tiff", output)->width, 30u);
    EXPECT_FALSE(std::filesystem::is_symlink(output.file(frameName(1))));
    std::ifstream victim(elsewhere.file("victim"));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(victim), {}), "precious");

    std::ofstream(output.file(frameName(9))) << "not from the record";
    const auto planted = output.entries();
    const auto unaccounted = record("3", {"--overwrite"});
    EXPECT_TRUE(unaccounted.exitStatus == 2 && contains(unaccounted.err, "no record") &&
                contains(unaccounted.err, frameName(9)))
        << unaccounted.err;
    EXPECT_EQ(output.entries(), planted);

    // A file holding series added by runs of their own (darks, flats) is more than one recording:
    // --overwrite in another format, which would replace it whole, is refused and it stays.
    TemporaryFolder calibration;
    ASSERT_EQ(runRecord({"tessaravolt", "exposure-time=0", "-n", "2", "--format", "hdf5",
                         "--series", "dark", "-o", calibration.path()},
                        fastSimulator)
                  .exitStatus,
              0);
    // A series replaced alone is told once it is, unless quiet.
    for (const std::string &told :
         {"replaced the earlier dark series of `" + calibration.file("frames.h5") + "' (2 frames)",
          std::string()}) {
        std::vector<std::string> arguments{
            "tessaravolt", "exposure-time=0", "-n",   "1",  "--format",
            "hdf5",        "--series",        "dark", "-o", calibration.path(),
            "--overwrite"};
        if (told.empty())
            arguments.push_back("-q");
        const auto again = runRecord(arguments, fastSimulator);
        EXPECT_EQ(again.exitStatus, 0) << again.err;
        EXPECT_EQ(contains(again.err, told.empty() ? "replaced" : told), !told.empty())
            << again.err;
    }
    const auto darks = calibration.entries();
    const auto whole = record("3", {"--overwrite", "-o", calibration.path()});
    EXPECT_TRUE(whole.exitStatus == 2 && contains(whole.err, "frames.h5") &&
                contains(whole.err, "--series NAME"))
        << whole.err;
    EXPECT_EQ(calibration.entries(), darks);
}

// One recording per folder at a time: a second is refused at once, with or without --overwrite,
// naming the first, which goes on untouched. A lock its holder left behind is taken over.
TEST(RecordOutput, ASecondRecordingIntoTheSameFolderIsRefusedAtOnce)
{
    TemporaryFolder output;
    RunningRecord first({"tessaravolt", "exposure-time=0.02", "-n", "0", "-o", output.path()},
                        fastSimulator);
    ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(output.file(frameName(2))); },
                          std::chrono::seconds(60)));
    for (const char *overwrite : {"-q", "--overwrite"}) {
        const auto second =
            runRecord({"tessaravolt", "-n", "1", "-o", output.path(), overwrite}, fastSimulator);
        EXPECT_EQ(second.exitStatus, 2) << second.err;
        EXPECT_TRUE(contains(second.err, "in use by another recording (uca-record process " +
                                             std::to_string(first.pid()) + " "))
            << second.err;
    }
    first.sendSignal(SIGINT);
    const auto run = first.finish(std::chrono::seconds(60));
    ASSERT_EQ(run.exitStatus, 130) << run.err;
    EXPECT_EQ(static_cast<long>(readRecording("tiff", output)->frames.size()),
              reportedCount(run.out));

    std::ofstream(output.file(".uca-record.lock")) << "process 999999 on elsewhere, started then";
    const auto after =
        runRecord({"tessaravolt", "-n", "1", "-o", output.path(), "--overwrite"}, fastSimulator);
    EXPECT_EQ(after.exitStatus, 0) << after.err;
    EXPECT_TRUE(contains(after.err, "taking over the lock") &&
                contains(after.err, "process 999999 on elsewhere"))
        << after.err;
    EXPECT_TRUE(hiddenEntries(output).empty());
}

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
    // Options of a run with --overwrite over an earlier recording (for --series, beside a series of
    // projections), which the signal stops during its first exposure of 3 s.
    std::string overwrite = "";
};

// Every file in `folder`, hidden ones included, with its bytes.
std::map<std::string, std::string> snapshot(const TemporaryFolder &folder)
{
    std::map<std::string, std::string> files;
    for (const std::string &name : folder.entries())
        files[name] = contentsOf(folder.file(name));
    return files;
}

// The frames the folder's record says its files hold, or -1.
long recordedFrames(const TemporaryFolder &folder)
{
    std::ifstream record(folder.file(".uca-record"));
    for (std::string line; std::getline(record, line);) {
        if (line.rfind("frames=", 0) == 0)
            return std::stol(line.substr(7));
    }
    return -1;
}

// A stop before the first frame: nothing is recorded, and the earlier recording stays byte for
// byte, whether its files would have been replaced whole or a series added to a copy of them.
void expectEarlierKeptAtASignal(int signalNumber, const std::string &format,
                                const std::string &overwrite)
{
    TemporaryFolder output;
    std::vector<std::string> options = split(overwrite, ' '), earlier = options;
    earlier.erase(std::find(earlier.begin(), earlier.end(), "--overwrite"));
    auto record = [&](const std::string &exposure, const std::string &frames,
                      const std::vector<std::string> &more) {
        std::vector<std::string> arguments{
            "tessaravolt", "exposure-time=" + exposure, "-n", frames, "--format", format, "-o",
            output.path()};
        arguments.insert(arguments.end(), more.begin(), more.end());
        return arguments;
    };
    ASSERT_EQ(runRecord(record("0", "5", earlier), fastSimulator).exitStatus, 0);
    if (contains(overwrite, "--series")) {
        ASSERT_EQ(runRecord(record("0", "2", {}), fastSimulator).exitStatus, 0);
    }
    const auto before = snapshot(output);
    RunningRecord late(record("3", "3", options), fastSimulator);
    // The camera has started; its first frame is 3 s away.
    ASSERT_TRUE(waitUntil([&] { return contains(late.errors(), "Start recording"); },
                          std::chrono::seconds(60)));
    late.sendSignal(signalNumber);
    const auto run = late.finish(std::chrono::seconds(60));
    EXPECT_EQ(run.exitStatus, 128 + signalNumber) << run.err;
    EXPECT_TRUE(contains(run.err,
                         "before the first frame; nothing was recorded, and the folder is as "
                         "it was"))
        << run.err;
    EXPECT_EQ(reportedCount(run.out), 0) << run.out;
    // Whether it came within the grace or not, the first frame is said to be discarded, and so
    // says the stopping line.
    EXPECT_TRUE(
        contains(run.err, "stopping: no frame came before the stop and none is kept after it") &&
        contains(run.out, "discarded:  1 frame"))
        << run.err << run.out;
    EXPECT_TRUE(snapshot(output) == before) << "the earlier recording changed:\n" << run.err;
}

class RecordSignals : public testing::TestWithParam<Ending> {};

// The first signal stops the recording: every frame received is written, the files are whole, the
// report says how many, and the exit status is the signal's; one that comes before the first
// frame leaves an earlier recording as it was, also with --overwrite. A second signal quits: the
// files are closed with the frames written so far and open in any reader, and nothing hidden is
// left. SIGKILL ends it at once: what it wrote stays readable, and the next run names what was
// left and says how to open, keep or discard it; with --overwrite it discards exactly that.
TEST_P(RecordSignals, EndTheRecordingWithTheSignalsStatus)
{
    const auto &[signalNumber, format, twice, overwrite] = GetParam();
    if (!overwrite.empty())
        return expectEarlierKeptAtASignal(signalNumber, format, overwrite);
    const bool cutShort = signalNumber == SIGKILL;
    TemporaryFolder output;
    RunningRecord record({"tessaravolt",
                          cutShort || twice ? "exposure-time=2" : "exposure-time=0.005", "--mode",
                          cutShort || twice ? "continuous" : "async", "-n", "0", "--format", format,
                          "-o", output.path()},
                         fastSimulator);
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
    if (twice) {
        ASSERT_TRUE(contains(run.err, "Quit at a second signal")) << "ended before it:\n"
                                                                  << run.err;
        // Opened as an ordinary reader does (for HDF5, not as a SWMR reader).
        const auto recording = readRecording(format, output);
        ASSERT_TRUE(recording.has_value());
        EXPECT_EQ(std::tuple(long(recording->frames.size()) >= 2, recordedFrames(output),
                             reportedCount(run.out), hiddenEntries(output)),
                  std::tuple(true, long(recording->frames.size()), long(recording->frames.size()),
                             std::vector<std::string>{}))
            << run.out;
        EXPECT_EQ(expectPatternFrames(*recording, 0, 0), 0);
        return;
    }
    if (!cutShort) {
        EXPECT_TRUE(contains(run.err, "finishing the current frame") &&
                    contains(run.err, "Signal again to quit at once"))
            << run.err;
        const auto recording = readRecording(format, output);
        ASSERT_TRUE(recording.has_value());
        // Every frame received is written.
        EXPECT_EQ(std::tuple(reportedCount(run.out) >= 3, reportedCount(run.out, "frames"),
                             long(recording->frames.size()), recording->complete,
                             hiddenEntries(output).size()),
                  std::tuple(true, reportedCount(run.out), reportedCount(run.out),
                             format == "hdf5" ? 1 : -1, 0ul))
            << run.out;
        EXPECT_EQ(expectPatternFrames(*recording, 0, 0), 0);
        return;
    }
    ASSERT_FALSE(contains(run.out, "written:")) << "ended before the kill:\n" << run.out;
    std::vector<std::string> again{"tessaravolt", "-n", "1",          "--format",
                                   format,        "-o", output.path()};
    const auto next = runRecord(again, fastSimulator);
    EXPECT_EQ(next.exitStatus, 2);
    EXPECT_TRUE(
        contains(next.err, "cut short left (uca-record process " + std::to_string(pid) + " ") &&
        contains(next.err, "To keep it") && contains(next.err, "give --overwrite"))
        << next.err;
    // A file HDF5 readers open only once its writer's mark is cleared says how.
    EXPECT_EQ(contains(next.err, "`h5clear -s " + output.file("frames.h5") + "'"), format == "hdf5")
        << next.err;
    std::optional<Recording> left;
    if (format == "multitiff") {
        const auto hidden = hiddenEntries(output);
        ASSERT_EQ(hidden.size(), 1u);
        EXPECT_TRUE(contains(next.err, hidden[0] +
                                           " (the frames written before the end; rename it to "
                                           "frames.tif to read it)"))
            << next.err;
        left = readRecording(format, output.file(hidden[0]));
    } else {
        left = readRecording(format, format == "tiff" ? output.path() : output.file("frames.h5"),
                             true);
    }
    ASSERT_TRUE(left.has_value());
    EXPECT_GE(left->frames.size(), 2u);
    expectPatternFrames(*left, 0, 0);

    again.push_back("--overwrite");
    EXPECT_EQ(runRecord(again, fastSimulator).exitStatus, 0);
    EXPECT_EQ(std::pair(hiddenEntries(output).size(), readRecording(format, output)->frames.size()),
              std::pair(0ul, 1ul));
}

INSTANTIATE_TEST_SUITE_P(
    Each, RecordSignals,
    testing::Values(Ending{SIGINT, "tiff"}, Ending{SIGTERM, "tiff"}, Ending{SIGHUP, "tiff"},
                    Ending{SIGINT, "multitiff"}, Ending{SIGTERM, "hdf5"},
                    Ending{SIGINT, "hdf5", true}, Ending{SIGINT, "multitiff", true},
                    Ending{SIGKILL, "multitiff"}, Ending{SIGKILL, "tiff"}, Ending{SIGKILL, "hdf5"},
                    Ending{SIGINT, "tiff", false, "--overwrite"},
                    Ending{SIGTERM, "hdf5", false, "--series dark --overwrite"},
                    Ending{SIGHUP, "tiff", false, "--mode async --overwrite"}),
    [](const testing::TestParamInfo<Ending> &param) {
        std::string name = std::string(param.param.twice ? "Second" : "") +
                           sigabbrev_np(param.param.signal) + "_" + param.param.format;
        if (!param.param.overwrite.empty())
            name += contains(param.param.overwrite, "--series")
                        ? "_before_the_first_frame_of_a_series"
                        : "_before_the_first_frame";
        if (contains(param.param.overwrite, "async"))
            name += "_async";
        return name;
    });

// libuca's buffered stop waits for the frame its read thread grabs, whatever the exposure: the
// stop leaves it after the grace, and the report says so. The first frame waits for a stream
// consumer that never comes, so that the grab thread is out of the camera and the read thread
// seconds into the second exposure when the signal comes.
TEST(RecordSignals, ABufferedStopLeavesTheFrameUnderExposure)
{
    TemporaryFolder output, scratch;
    RunningRecord record({"tessaravolt", "exposure-time=6", "--mode", "buffered", "--buffer", "64K",
                          "--stream", "ipc://" + scratch.file("s"), "--stream-policy", "block",
                          "-n", "0", "-o", output.path()},
                         fastSimulator);
    ASSERT_TRUE(waitUntil([&] { return bytesIn(output) >= frameBytes; }, std::chrono::seconds(60)));
    record.sendSignal(SIGINT);
    const auto run = record.finish(std::chrono::seconds(60));
    EXPECT_EQ(std::tuple(run.exitStatus, reportedCount(run.out),
                         contains(run.out, "discarded:  1 frame, not complete")),
              std::tuple(130, 1l, true))
        << run.out << run.err;
}

// In asynchronous mode too a stop keeps the frame under exposure, the next callback's, if it comes
// within the grace, and says it discarded it if not: with a 4 s exposure, a signal at once after
// the first frame is on disk comes seconds before the second frame; one 3.75 s later, a quarter
// second before it, leaving the camera 1.25 s to be late.
TEST(RecordSignals, AnAsynchronousStopWaitsForTheFrameUnderExposure)
{
    for (const double wait : {0.0, 3.75}) {
        TemporaryFolder output;
        RunningRecord record(
            {"tessaravolt", "exposure-time=4", "--mode", "async", "-n", "0", "-o", output.path()},
            fastSimulator);
        ASSERT_TRUE(
            waitUntil([&] { return bytesIn(output) >= frameBytes; }, std::chrono::seconds(60)));
        std::this_thread::sleep_for(std::chrono::duration<double>(wait));
        record.sendSignal(SIGINT);
        const auto run = record.finish(std::chrono::seconds(60));
        const long frames = reportedCount(run.out, "frames");
        EXPECT_EQ(std::pair(run.exitStatus, reportedCount(run.out)), std::pair(130, frames))
            << run.out << run.err;
        if (wait > 0) {
            EXPECT_GE(frames, 2) << run.out << run.err;
        } else {
            EXPECT_TRUE(frames == 1 && contains(run.out, "discarded:  1 frame, not complete"))
                << run.out << run.err;
        }
    }
}

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
    EXPECT_EQ(reportedCount(run.out), 2) << run.out;
}

// --overwrite on a nearly full disk: the first frame, which cannot be written beside the earlier
// recording, is refused before anything goes, saying what it needs; the earlier recording stays
// byte for byte, the record included.
TEST(RecordFullDisk, AnOverwriteWhoseFirstFrameDoesNotFitKeepsTheEarlierRecording)
{
    for (const std::string format : {"tiff", "multitiff", "hdf5"}) {
        TemporaryFolder disk;
        if (mount("tmpfs", disk.path().c_str(), "tmpfs", 0, "size=2m") != 0)
            GTEST_SKIP() << "cannot mount a small file system here";
        const std::unique_ptr<const std::string, void (*)(const std::string *)> unmount(
            &disk.path(), [](const std::string *path) { umount2(path->c_str(), MNT_DETACH); });
        const std::string output = disk.file("d");
        ASSERT_EQ(runRecord({"tessaravolt", "exposure-time=0", "roi-width=64", "roi-height=64",
                             "-n", "3", "--format", "tiff", "-o", output},
                            fastSimulator)
                      .exitStatus,
                  0);
        // All but 40 kB of the disk taken by a file of the user's.
        const auto space = std::filesystem::space(disk.path());
        std::ofstream(disk.file("filler")) << std::string(space.available - 40000, 'x');
        std::map<std::string, std::string> before;
        for (const std::string &name : sortedEntries(output))
            before[name] = contentsOf(output + "/" + name);
        const auto run = runRecord({"tessaravolt", "exposure-time=0", "-n", "3", "--format", format,
                                    "--overwrite", "-o", output},
                                   "sensors=1024x1024;readout_ns_per_pixel=0");
        EXPECT_EQ(run.exitStatus, 1) << format;
        EXPECT_TRUE(contains(run.err, "The earlier recording is kept as it was") &&
                    contains(run.err, "MB") && !contains(run.err, "removed"))
            << run.err;
        std::map<std::string, std::string> after;
        for (const std::string &name : sortedEntries(output))
            after[name] = contentsOf(output + "/" + name);
        EXPECT_TRUE(after == before) << format << ": the earlier recording changed";
    }
}

// A kill while --overwrite removes the earlier recording's files leaves the rest as what a run cut
// short left, which the next run names and --overwrite discards, not as a whole earlier recording
// nor as files no record accounts for.
TEST(RecordSignals, AKillWhileTheEarlierRecordingGoesLeavesItsRestAccountedFor)
{
    TemporaryFolder output;
    const std::string tiny = "sensors=16x16;readout_ns_per_pixel=0";
    ASSERT_EQ(runRecord({"tessaravolt", "exposure-time=0", "-n", "3000", "-o", output.path()}, tiny)
                  .exitStatus,
              0);
    const auto entries = [&] {
        return std::distance(std::filesystem::directory_iterator(output.path()),
                             std::filesystem::directory_iterator());
    };
    const auto before = entries();
    RunningRecord replacing(
        {"tessaravolt", "exposure-time=0.5", "-n", "1", "--overwrite", "-o", output.path()}, tiny);
    // Killed once the first file has gone, while the others go or soon after.
    ASSERT_TRUE(waitUntil([&] { return entries() < before; }, std::chrono::seconds(60)));
    replacing.sendSignal(SIGKILL);
    replacing.finish(std::chrono::seconds(60));
    const auto next = runRecord({"tessaravolt", "-n", "1", "-o", output.path()}, tiny);
    EXPECT_TRUE(next.exitStatus == 2 && contains(next.err, "what a recording cut short left"))
        << next.err;
    const auto discarding =
        runRecord({"tessaravolt", "-n", "1", "--overwrite", "-o", output.path()}, tiny);
    // The new frame, its preview and the record.
    EXPECT_EQ(std::tuple(discarding.exitStatus, entries()), std::tuple(0, 3l)) << discarding.err;
}

// A stop during the copy that adds a series to a large file gives the copy the stop's grace; one
// not done by then goes, the file stays byte for byte, the message says the series was not added,
// and the report counts the frames received as discarded.
TEST(RecordSignals, AStopDuringTheCopyThatAddsASeriesLeavesTheFileAsItWas)
{
    TemporaryFolder output;
    const std::string large = "sensors=2048x2048;readout_ns_per_pixel=0";
    // 256 MB: copying it takes long beside the few milliseconds the signal takes to arrive.
    ASSERT_EQ(runRecord({"tessaravolt", "exposure-time=0.001", "-n", "32", "--format", "hdf5",
                         "--series", "data", "-o", output.path()},
                        large)
                  .exitStatus,
              0);
    const auto file = contentsOf(output.file("frames.h5"));
    RunningRecord adding({"tessaravolt", "exposure-time=0.001", "-n", "0", "--format", "hdf5",
                          "--series", "dark", "-o", output.path()},
                         large);
    // The copy has begun.
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto hidden = hiddenEntries(output);
            return std::any_of(hidden.begin(), hidden.end(), [](const std::string &name) {
                return name.rfind(".frames.h5.", 0) == 0;
            });
        },
        std::chrono::seconds(120)));
    adding.sendSignal(SIGINT);
    const auto run = adding.finish(std::chrono::seconds(120));
    EXPECT_EQ(run.exitStatus, 130) << run.err;
    // A disk fast enough finishes the copy within the grace: the series is then added whole.
    const bool duringCopy =
        contains(run.err, "during the copy of `" + output.file("frames.h5") +
                              "' that adds the dark series: the series was not added");
    EXPECT_EQ(std::tuple(hiddenEntries(output), recordedFrames(output) > 0,
                         contentsOf(output.file("frames.h5")) == file),
              std::tuple(std::vector<std::string>{}, !duringCopy, duringCopy))
        << run.err;
    // Every frame received is written, or said to be given up with the series.
    EXPECT_EQ(reportedCount(run.out, "frames"),
              reportedCount(run.out) + (duringCopy ? reportedCount(run.out, "discarded") : 0))
        << run.out;
}

// The buffer is taken as frames need it: a 2 GiB buffer costs no more memory than a 64 MiB one by
// the first frame (so the first frame does not wait for it) nor after many frames through a writer
// that keeps up, beyond the frames that waited to be written. Under ThreadSanitizer a touched
// frame costs up to five times its size with its shadow.
TEST(RecordMemory, TheBufferIsTakenAsFramesNeedIt)
{
    auto peaksWith = [](const std::string &buffer) {
        TemporaryFolder output;
        RunningRecord record({"tessaravolt", "exposure-time=0.02", "--buffer", buffer, "-n", "0",
                              "-o", output.path()},
                             "sensors=1024x1024;readout_ns_per_pixel=0");
        std::vector<long> peaks; // at the first frame, after 100, frames that waited at most
        for (const unsigned frames : {1, 100}) {
            const bool there =
                waitUntil([&] { return std::filesystem::exists(output.file(frameName(frames))); },
                          std::chrono::seconds(120));
            // The most memory the process has held so far, in KiB, as the kernel counts it.
            std::ifstream status("/proc/" + std::to_string(record.pid()) + "/status");
            std::string line;
            while (std::getline(status, line) && line.rfind("VmHWM:", 0) != 0) {
            }
            peaks.push_back(there && !line.empty() ? std::stol(line.substr(6)) : -1);
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

} // namespace
} // namespace TessaraVoltTest
