// SPDX-License-Identifier: LGPL-2.1-or-later
// Frame rate of the tessaravolt camera in each recording mode on the simulated detector at cycle
// time 0 and readout 0, without and with correction, against the limit set by the memory copies
// the mode needs, and frame
// latency: from the start of the simulator's end-of-frame callback to a grab's return or to the
// asynchronous callback's entry. It also checks what the numbers rely on: every frame is a whole
// pattern frame, frame numbers only go up, asynchronous delivery loses nothing, the steady state
// allocates nothing, and resident memory stays flat.
//
// Usage: bench-record [--frames N] [--runs N] [--soak-frames N [--soak-mode MODE] [--soak-size
// PIXELS]]

#include "allocation-counter.h"
#include "copy-bound.h"
#include "frame-checks.h"
#include "identity-calibration.h"

#include <glib/gstdio.h>
#include <uca/uca-plugin-manager.h>
#include <xisl-sim.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

enum class Mode { Async, Continuous, Single, Buffered };

struct ModeInfo {
    Mode mode;
    const char *name;
    WorkingSet buffers; // what the mode's frames cycle through
    double target;      // least acceptable share of the fair bound
};

// The driver's continuous acquisition cycles through 3 frames, a single grab's through 1; libuca's
// ring holds num-buffers (4 by default) readable blocks and the one being filled.
constexpr ModeInfo modeInfos[] = {
    {Mode::Async, "async", {3, 0}, 0.9},           // ROI copy into the transfer buffer
    {Mode::Continuous, "continuous", {3, 0}, 0.9}, // ROI copy straight into the caller's buffer
    {Mode::Single, "single", {1, 0}, 0.9},         // the same from a one-frame acquisition
    {Mode::Buffered, "buffered", {3, 5}, 0.9},     // as continuous, through libuca's ring
};

const ModeInfo &modeInfo(const std::string &name)
{
    for (const ModeInfo &info : modeInfos) {
        if (name == info.name)
            return info;
    }
    throw std::runtime_error("unknown mode " + name);
}

struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
using ManagerPtr = std::unique_ptr<UcaPluginManager, GObjectUnref>;
using CameraPtr = std::unique_ptr<UcaCamera, GObjectUnref>;

struct GErrorFree {
    void operator()(GError *error) const { g_error_free(error); }
};

void throwOnError(GError *error, const char *what)
{
    if (error == nullptr)
        return;
    std::unique_ptr<GError, GErrorFree> owned(error);
    throw std::runtime_error(std::string(what) + ": " + owned->message);
}

double seconds(Clock::duration duration)
{
    return std::chrono::duration<double>(duration).count();
}

// Resident set size in KiB, read without touching the heap.
long residentKiB()
{
    char text[128] = {};
    const int fd = open("/proc/self/statm", O_RDONLY);
    if (fd < 0)
        return -1;
    const ssize_t length = read(fd, text, sizeof text - 1);
    close(fd);
    long total = 0, resident = 0;
    if (length <= 0 || sscanf(text, "%ld %ld", &total, &resident) != 2)
        return -1;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

constexpr double latencyGoalMicroseconds = 50; // median at 1024 x 1024, ROI copy included
constexpr double correctedTarget = 0.8;        // least rate with correction, of the rate without

struct RunResult {
    double framesPerSecond = 0;
    uint64_t measuredFrames = 0;
    std::optional<uint64_t> allocations; // during the measured frames
    FrameChecker checker{0, 0, false};
    uint64_t delivered = 0;          // frames that reached the benchmark
    uint64_t simulatorCallbacks = 0; // end-of-frame callbacks the simulator ran
    uint64_t simulatorFrames = 0;    // frames the simulator produced
    long residentStartKiB = 0, residentMiddleKiB = 0, residentEndKiB = 0;
    std::vector<double> latencies; // microseconds, of the measured frames
};

std::optional<uint64_t> difference(std::optional<uint64_t> before, std::optional<uint64_t> after)
{
    if (!before || !after)
        return std::nullopt;
    return *after - *before;
}

void resetSimulator(uint32_t size)
{
    xisl_sim_reset();
    const XislSimSensor sensor{1, 14, 14, 1, size, size};
    xisl_sim_set_sensors(&sensor, 1);
    xisl_sim_set_readout_ns_per_pixel(0);
    xisl_sim_set_content(XISL_SIM_CONTENT_PATTERN);
    xisl_sim_set_call_log(0);
}

// With a calibration, every correction is on.
CameraPtr openCamera(UcaPluginManager &manager, Mode mode, const std::string &calibration)
{
    GError *error = nullptr;
    CameraPtr camera(uca_plugin_manager_get_camerah(&manager, "tessaravolt", nullptr, &error));
    throwOnError(error, "cannot open the tessaravolt camera");
    g_object_set(camera.get(), "exposure-time", 0.0, "transfer-asynchronously", mode == Mode::Async,
                 "buffered", mode == Mode::Buffered, "grab-from-continuous", mode != Mode::Single,
                 nullptr);
    if (!calibration.empty())
        g_object_set(camera.get(), "calibration-file", calibration.c_str(), "offset-correction",
                     TRUE, "gain-correction", TRUE, "defect-correction", TRUE, nullptr);
    return camera;
}

// Corrected frames must really have been corrected.
void checkCorrected(UcaCamera &camera)
{
    gchar *status = nullptr;
    g_object_get(&camera, "calibration-status", &status, nullptr);
    const std::string text = status ? status : "";
    g_free(status);
    if (text.find("fits the current settings; frames get: offset, gain, defects") ==
        std::string::npos)
        throw std::runtime_error("the calibration did not serve: " + text);
}

// Milestones of a run, by the number of frames delivered so far: where measuring starts and
// ends, and where resident memory is sampled.
struct Milestones {
    uint64_t warmUp;
    uint64_t total;

    uint64_t middle() const { return warmUp + (total - warmUp) / 2; }
};

class Progress {
public:
    void reached(uint64_t frame, const Milestones &milestones)
    {
        if (frame == milestones.warmUp) {
            allocationsAtStart = allocationCount();
            start = Clock::now();
            resident[0] = residentKiB();
        }
        if (frame == milestones.middle())
            resident[1] = residentKiB();
        if (frame == milestones.total) {
            end = Clock::now();
            allocationsAtEnd = allocationCount();
            resident[2] = residentKiB();
        }
    }

    void fill(RunResult &result, const Milestones &milestones) const
    {
        result.measuredFrames = milestones.total - milestones.warmUp;
        result.framesPerSecond = result.measuredFrames / seconds(end - start);
        result.allocations = difference(allocationsAtStart, allocationsAtEnd);
        result.residentStartKiB = resident[0];
        result.residentMiddleKiB = resident[1];
        result.residentEndKiB = resident[2];
    }

private:
    Clock::time_point start, end;
    std::optional<uint64_t> allocationsAtStart, allocationsAtEnd;
    long resident[3] = {};
};

// Start and stop of recording as one scope.
class Recording {
public:
    explicit Recording(UcaCamera &camera) : camera_(camera)
    {
        GError *error = nullptr;
        uca_camera_start_recording(&camera_, &error);
        throwOnError(error, "cannot start recording");
    }
    ~Recording()
    {
        GError *error = nullptr;
        uca_camera_stop_recording(&camera_, &error);
        if (error != nullptr) {
            fprintf(stderr, "cannot stop recording: %s\n", error->message);
            g_error_free(error);
        }
    }
    Recording(const Recording &) = delete;
    Recording &operator=(const Recording &) = delete;

private:
    UcaCamera &camera_;
};

RunResult runSynchronous(UcaCamera &camera, uint32_t size, const Milestones &milestones,
                         size_t latencySamples)
{
    std::vector<uint16_t> frame(static_cast<size_t>(size) * size, 1); // touched before timing
    RunResult result;
    result.checker = FrameChecker(size, size, false);
    Progress progress;
    LatencyLog latency(latencySamples);
    {
        Recording recording(camera);
        for (uint64_t i = 1; i <= milestones.total; ++i) {
            GError *error = nullptr;
            if (!uca_camera_grab(&camera, frame.data(), &error))
                throwOnError(error ? error
                                   : g_error_new_literal(UCA_CAMERA_ERROR, 0, "grab failed"),
                             "grab");
            latency.add(frame.data(), Clock::now());
            result.checker.check(frame.data());
            progress.reached(i, milestones);
        }
    }
    progress.fill(result, milestones);
    result.latencies = latency.microseconds(milestones.warmUp);
    return result;
}

// Shared between the simulator's callback thread, which delivers, and the benchmark's thread,
// which waits. `checker` and `progress` are touched only by the callback thread until recording
// has stopped; `mutex` guards the wake-up of the waiting thread.
struct AsyncState {
    AsyncState(uint32_t size, const Milestones &m, size_t latencySamples)
        : checker(size, size, true), milestones(m), latency(latencySamples)
    {
    }

    FrameChecker checker;
    Progress progress;
    const Milestones milestones;
    LatencyLog latency;
    std::atomic<uint64_t> delivered{0};
    std::mutex mutex;
    std::condition_variable done;
};

void onAsyncFrame(gpointer data, gpointer userData)
{
    const Clock::time_point entered = Clock::now();
    auto &state = *static_cast<AsyncState *>(userData);
    state.latency.add(static_cast<const uint16_t *>(data), entered);
    state.checker.check(static_cast<const uint16_t *>(data));
    const uint64_t frame = state.delivered.fetch_add(1) + 1;
    state.progress.reached(frame, state.milestones);
    if (frame == state.milestones.total) {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.done.notify_all();
    }
}

RunResult runAsync(UcaCamera &camera, uint32_t size, const Milestones &milestones,
                   size_t latencySamples)
{
    auto state = std::make_unique<AsyncState>(size, milestones, latencySamples);
    uca_camera_set_grab_func(&camera, onAsyncFrame, state.get());
    bool finished = false;
    {
        Recording recording(camera);
        std::unique_lock<std::mutex> lock(state->mutex);
        finished = state->done.wait_for(lock, std::chrono::seconds(600), [&state, &milestones] {
            return state->delivered.load() >= milestones.total;
        });
    }
    uca_camera_set_grab_func(&camera, nullptr, nullptr);
    if (!finished)
        throw std::runtime_error("asynchronous frames stopped coming");

    RunResult result;
    state->progress.fill(result, milestones);
    result.checker = state->checker;
    result.delivered = state->delivered.load();
    result.latencies = state->latency.microseconds(milestones.warmUp);
    return result;
}

// Latency samples are kept only where asked for: a soak must not grow a sample list.
RunResult runMode(UcaPluginManager &manager, Mode mode, uint32_t size, const Milestones &milestones,
                  bool measureLatency, const std::string &calibration = {})
{
    resetSimulator(size);
    CameraPtr camera = openCamera(manager, mode, calibration);
    // Buffered grabs return frames libuca's ring took earlier: their age is not the camera's.
    const size_t latencySamples = measureLatency && mode != Mode::Buffered ? milestones.total : 0;
    RunResult result = mode == Mode::Async
                           ? runAsync(*camera, size, milestones, latencySamples)
                           : runSynchronous(*camera, size, milestones, latencySamples);
    if (mode != Mode::Async)
        result.delivered = milestones.total;
    if (!calibration.empty())
        checkCorrected(*camera);
    XislSimCounters counters{};
    xisl_sim_get_counters(&counters);
    result.simulatorCallbacks = counters.endOfFrameCallbacks;
    result.simulatorFrames = counters.framesProduced;
    return result;
}

std::string orderText(const RunResult &result)
{
    const FrameChecker &c = result.checker;
    if (c.sound())
        return "ok";
    return std::to_string(c.corrupt) + " corrupt, " + std::to_string(c.repeated) + " repeated, " +
           std::to_string(c.outOfOrder) + " out of order, " + std::to_string(c.skipped) +
           " skipped";
}

std::string allocationText(const RunResult &result)
{
    if (!result.allocations)
        return "n/a";
    char text[64];
    snprintf(text, sizeof text, "%llu in %llu frames",
             static_cast<unsigned long long>(*result.allocations),
             static_cast<unsigned long long>(result.measuredFrames));
    return text;
}

// The best of a few runs: the machine is shared, and the best run shows what the code can do.
// Checks hold only when every run passes them.
struct Measurement {
    RunResult best;
    bool framesSound = true;
    bool lostNothing = true;
    std::optional<uint64_t> mostAllocations;
    std::vector<double> latencies; // microseconds, of every run
};

bool lostNothing(Mode mode, const RunResult &result)
{
    return mode != Mode::Async || result.delivered == result.simulatorCallbacks;
}

Measurement measure(UcaPluginManager &manager, Mode mode, uint32_t size,
                    const Milestones &milestones, unsigned runs, const std::string &calibration)
{
    Measurement measurement;
    for (unsigned run = 0; run < runs; ++run) {
        RunResult result = runMode(manager, mode, size, milestones, true, calibration);
        measurement.latencies.insert(measurement.latencies.end(), result.latencies.begin(),
                                     result.latencies.end());
        measurement.framesSound = measurement.framesSound && result.checker.sound();
        measurement.lostNothing = measurement.lostNothing && lostNothing(mode, result);
        if (result.allocations)
            measurement.mostAllocations =
                std::max(measurement.mostAllocations.value_or(0), *result.allocations);
        if (run == 0 || result.framesPerSecond > measurement.best.framesPerSecond ||
            !result.checker.sound() || !lostNothing(mode, result))
            measurement.best = result;
    }
    measurement.best.allocations = measurement.mostAllocations;
    return measurement;
}

// Median and 99th percentile, or "-" when there are no samples.
std::string latencyText(std::vector<double> samples, bool goal)
{
    if (samples.empty())
        return "- | -";
    std::sort(samples.begin(), samples.end());
    const double median = samples[samples.size() / 2];
    const double p99 = samples[(samples.size() * 99 + 99) / 100 - 1];
    const char *verdict = "";
    if (goal)
        verdict = median <= latencyGoalMicroseconds ? " (goal met)" : " (goal MISSED)";
    char text[96];
    snprintf(text, sizeof text, "%.1f%s | %.1f", median, verdict, p99);
    return text;
}

// The fair bound of one mode with memcpy and with non-temporal copies, for the table after the
// main one.
struct StreamingRow {
    uint32_t size;
    const char *mode;
    double memcpyBound;
    double streamingBound;
};

void printStreamingTable(const std::vector<StreamingRow> &rows)
{
    printf(
        "\nNon-temporal copies as a candidate: the fair bound with every copy of the mode done "
        "with stores that bypass the cache, against memcpy (also measured after each mode).\n\n");
    printf("| frame | mode | fair bound, memcpy | fair bound, non-temporal copies | change |\n");
    printf("|---|---|---:|---:|---:|\n");
    for (const StreamingRow &row : rows)
        printf("| %ux%u | %s | %.0f | %.0f | %+.0f%% |\n", row.size, row.size, row.mode,
               row.memcpyBound, row.streamingBound,
               100 * (row.streamingBound / row.memcpyBound - 1));
}

// The limits one mode is measured against, measured right after it.
struct Bounds {
    double cached; // frames per second
    double fair;
    double calibrated; // the fair bound with the calibration read beside the frame
};

// One row of the table; false when a check failed.
bool printRow(uint32_t size, const ModeInfo &info, const Bounds &bounds,
              const Measurement &measurement, std::optional<double> uncorrectedRate)
{
    const RunResult &result = measurement.best;
    const size_t bytes = size_t{size} * size * 2;
    const double ratio = result.framesPerSecond / bounds.fair;
    const bool allocationFree = !result.allocations || *result.allocations == 0;
    std::string order = orderText(result);
    if (!measurement.lostNothing)
        order += ", delivered " + std::to_string(result.delivered) + " of " +
                 std::to_string(result.simulatorCallbacks);
    char corrected[64] = "no";
    char calibrated[48] = " | ";
    if (uncorrectedRate) {
        snprintf(corrected, sizeof corrected, "yes: %.2f of uncorrected (target %.1f %s)",
                 result.framesPerSecond / *uncorrectedRate, correctedTarget,
                 result.framesPerSecond / *uncorrectedRate >= correctedTarget ? "met" : "MISSED");
        snprintf(calibrated, sizeof calibrated, "%.0f | %.2f", bounds.calibrated,
                 result.framesPerSecond / bounds.calibrated);
    }
    printf("| %ux%u | %s | %s | %.0f | %.0f | %u | %u, %u | %.0f | %.2f | %.0f | %.2f | %.1f %s | "
           "%s | %s | %s | %s | %.2f |\n",
           size, size, info.name, corrected, result.framesPerSecond,
           result.framesPerSecond * bytes / 1e6, copyPasses(info.buffers),
           info.buffers.acquisitionFrames, info.buffers.ringBlocks, bounds.cached,
           result.framesPerSecond / bounds.cached, bounds.fair, ratio, info.target,
           ratio >= info.target ? "met" : "MISSED", calibrated,
           latencyText(measurement.latencies, size == 1024).c_str(), allocationText(result).c_str(),
           order.c_str(), static_cast<double>(result.simulatorFrames) / result.delivered);
    fflush(stdout);
    return measurement.framesSound && measurement.lostNothing && allocationFree;
}

// A folder of its own for the calibrations, removed with them.
class CalibrationFolder {
public:
    CalibrationFolder() : path_(g_dir_make_tmp("bench-record-XXXXXX", nullptr))
    {
        if (path_ == nullptr)
            throw std::runtime_error("cannot make a folder for the calibrations");
    }
    ~CalibrationFolder()
    {
        for (const std::string &file : files_)
            g_remove(file.c_str());
        g_rmdir(path_);
        g_free(path_);
    }
    CalibrationFolder(const CalibrationFolder &) = delete;
    CalibrationFolder &operator=(const CalibrationFolder &) = delete;

    std::string identityCalibration(uint32_t side)
    {
        files_.push_back(writeIdentityCalibration(path_, side));
        return files_.back();
    }

private:
    gchar *path_;
    std::vector<std::string> files_;
};

// Runs every mode at every size, without and with correction, and prints the table; false when a
// check failed.
bool runTable(UcaPluginManager &manager, uint64_t framesAt1024, unsigned runs)
{
    bool sound = true;
    printf("Simulator at timer cycle 0 (exposure-time 0) and readout 0: frames come as fast as the "
           "machine allows, not at a real detector's pace.\n");
    printf("Best of %u runs per mode. Two limits, measured in the same run, after each mode:\n"
           "- cached bound = memcpy rate of one reused frame / frame size / passes (the "
           "simulator's write and the copies), a frame that never leaves the cache;\n"
           "- fair bound = the mode's passes alone over buffers laid out as the mode's: the "
           "simulator's writer into the next of its acquisition frames, then each copy into the "
           "next buffer of its stage (ring, destination), best of several batches;\n"
           "- fair bound with calibration, for corrected runs = the fair bound with the region's "
           "copy also reading 4 bytes of calibration a pixel, as the corrected copy does, with no "
           "more arithmetic than it takes to use them: what memory allows a corrected copy.\n",
           runs);
    printf("Corrected: offset, gain and defect correction on, with a calibration that keeps the "
           "pattern's good pixels as they are and patches a defective column and one pixel in "
           "2048.\n");
    printf("Latency: from the start of the simulator's end-of-frame callback to the grab's return "
           "(async: to the grab callback's entry), ROI copy included, over the measured frames of "
           "all runs; goal: median at most %.0f us at 1024x1024. The memcpy row's latency is one "
           "whole-frame copy, the floor of a whole-frame ROI's latency.\n\n",
           latencyGoalMicroseconds);
    printf("| frame | mode | corrected | frames/s | MB/s | passes | buffers (acquisition, ring) | "
           "cached bound | ratio | fair bound | ratio | target (fair) | fair bound with "
           "calibration | ratio | latency median us | "
           "latency p99 us | allocations (steady state) | frame order | simulator frames per "
           "frame |\n");
    printf(
        "|---|---|---|---:|---:|---:|---|---:|---:|---:|---:|---|---:|---:|---:|---:|---|---|---:|"
        "\n");

    CalibrationFolder folder;
    std::vector<StreamingRow> streaming;
    for (uint32_t size : {1024u, 2048u}) {
        const size_t bytes = static_cast<size_t>(size) * size * 2;
        const uint64_t frames =
            std::max<uint64_t>(framesAt1024 * 1024 * 1024 / (uint64_t{size} * size), 50);
        const Milestones milestones{frames / 5, frames / 5 + frames};
        const std::string calibration = folder.identityCalibration(size);
        double rate = cachedCopyRate(bytes);

        for (const ModeInfo &info : modeInfos) {
            const Measurement plain = measure(manager, info.mode, size, milestones, runs, {});
            const Measurement corrected =
                measure(manager, info.mode, size, milestones, runs, calibration);
            rate = std::max(rate, cachedCopyRate(bytes));
            const Bounds bounds{rate / bytes / copyPasses(info.buffers),
                                fairBoundRate(info.buffers, size, CopyKind::Memcpy),
                                fairBoundRate(info.buffers, size, CopyKind::Calibrated)};
            streaming.push_back(
                StreamingRow{size, info.name, bounds.fair,
                             fairBoundRate(info.buffers, size, CopyKind::NonTemporal)});
            sound = printRow(size, info, bounds, plain, std::nullopt) && sound;
            sound = printRow(size, info, bounds, corrected, plain.best.framesPerSecond) && sound;
        }
        // A whole-frame ROI copy is part of every latency: this is its floor.
        printf(
            "| %ux%u | memcpy of one frame | | %.0f | %.0f | 1 | | | | | | | | | %.1f | | | | |\n",
            size, size, rate / bytes, rate / 1e6, 1e6 * bytes / rate);
    }
    printStreamingTable(streaming);
    return sound;
}

bool runSoak(UcaPluginManager &manager, const ModeInfo &info, uint32_t size, uint64_t frames)
{
    const Milestones milestones{std::min<uint64_t>(1000, frames / 10), frames};
    const RunResult result = runMode(manager, info.mode, size, milestones, false);
    const long growth = result.residentEndKiB - result.residentStartKiB;
    // Flat: growth stays within noise that does not scale with the number of frames.
    const bool flat = growth < 1024;
    const bool complete = lostNothing(info.mode, result);

    printf("soak: %s, %ux%u, %llu frames at %.0f frames/s\n", info.name, size, size,
           static_cast<unsigned long long>(frames), result.framesPerSecond);
    printf("resident memory: start %ld KiB, middle %ld KiB, end %ld KiB (%+ld KiB): %s\n",
           result.residentStartKiB, result.residentMiddleKiB, result.residentEndKiB, growth,
           flat ? "flat" : "GROWING");
    printf("allocations: %s; frame order: %s\n", allocationText(result).c_str(),
           orderText(result).c_str());
    if (info.mode == Mode::Async)
        printf("asynchronous delivery: %llu frames produced, %llu end-of-frame callbacks, %llu "
               "delivered: %s\n",
               static_cast<unsigned long long>(result.simulatorFrames),
               static_cast<unsigned long long>(result.simulatorCallbacks),
               static_cast<unsigned long long>(result.delivered),
               complete ? "none lost" : "FRAMES LOST");
    return flat && complete && result.checker.sound() &&
           (!result.allocations || *result.allocations == 0);
}

struct Options {
    uint64_t framesAt1024 = 1000;
    unsigned runs = 3;
    uint64_t soakFrames = 0;
    std::string soakMode = "async";
    uint32_t soakSize = 1024;
};

uint64_t number(const char *text)
{
    char *end = nullptr;
    const unsigned long long value = strtoull(text, &end, 10);
    if (text[0] == '\0' || *end != '\0' || value == 0)
        throw std::runtime_error(std::string("not a positive number: ") + text);
    return value;
}

Options parseOptions(int argc, char **argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc)
            throw std::runtime_error("usage: bench-record [--frames N] [--runs N] [--soak-frames N "
                                     "[--soak-mode MODE] [--soak-size PIXELS]]");
        const char *value = argv[++i];
        if (option == "--frames")
            options.framesAt1024 = number(value);
        else if (option == "--runs")
            options.runs = static_cast<unsigned>(number(value));
        else if (option == "--soak-frames")
            options.soakFrames = number(value);
        else if (option == "--soak-mode")
            options.soakMode = modeInfo(value).name;
        else if (option == "--soak-size")
            options.soakSize = static_cast<uint32_t>(number(value));
        else
            throw std::runtime_error("unknown option " + option);
    }
    return options;
}

std::string cpuModel()
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.rfind("model name", 0) == 0)
            return line.substr(line.find(':') + 2);
    }
    return "unknown";
}

} // namespace

int main(int argc, char **argv)
{
    try {
        const Options options = parseOptions(argc, argv);
        ManagerPtr manager(uca_plugin_manager_new());
        uca_plugin_manager_add_path(manager.get(), PLUGIN_DIR);
        printf("Machine: %ld cores, %s\n\n", sysconf(_SC_NPROCESSORS_ONLN), cpuModel().c_str());

        const bool sound = options.soakFrames > 0
                               ? runSoak(*manager, modeInfo(options.soakMode), options.soakSize,
                                         options.soakFrames)
                               : runTable(*manager, options.framesAt1024, options.runs);
        xisl_sim_reset();
        return sound ? 0 : 1;
    } catch (const std::exception &error) {
        fprintf(stderr, "bench-record: %s\n", error.what());
        return 2;
    }
}
