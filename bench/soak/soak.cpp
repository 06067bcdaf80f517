// SPDX-License-Identifier: LGPL-2.1-or-later
// Streams from the tessaravolt camera on the simulated detector for a long time and reports, at
// every interval, what a client received: frames, frames the stream dropped between grabs,
// frames repeated or out of order, frames whose pixels are not the pattern, failed grabs, and
// the process's resident memory. Frame n is recognised from pixel (0, 0) = 17 n mod 2^16 of the
// full-frame region of interest.
//
// Usage: soak [--duration SECONDS] [--interval SECONDS] [--mode continuous|async]
//             [--exposure SECONDS]
// Exit status 0 when nothing was repeated, out of order, corrupted or failed.

#include <uca/uca-plugin-manager.h>
#include <xisl-sim.h>

#include "sim-pattern.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    double durationSeconds = 3600;
    double intervalSeconds = 60;
    bool asynchronous = false;
    double exposureSeconds = 0; // the readout time of a frame sets the pace
};

Options parseOptions(int argc, char **argv)
{
    Options options;
    for (int i = 1; i < argc; i++) {
        const std::string name = argv[i];
        if (i + 1 >= argc)
            throw std::runtime_error("missing value for " + name);
        const std::string value = argv[++i];
        if (name == "--duration")
            options.durationSeconds = std::stod(value);
        else if (name == "--interval")
            options.intervalSeconds = std::stod(value);
        else if (name == "--exposure")
            options.exposureSeconds = std::stod(value);
        else if (name == "--mode" && (value == "continuous" || value == "async"))
            options.asynchronous = value == "async";
        else
            throw std::runtime_error("unknown option " + name + " " + value);
    }
    return options;
}

using TessaraVoltTest::patternFrameNumber;
using TessaraVoltTest::patternPixel;

// What the client saw; the receiving thread writes, the reporting thread reads.
struct Tally {
    std::atomic<uint64_t> frames{0};
    std::atomic<uint64_t> skipped{0}; // frames of the stream that no grab took
    std::atomic<uint64_t> repeated{0};
    std::atomic<uint64_t> outOfOrder{0};
    std::atomic<uint64_t> corrupted{0};
    std::atomic<uint64_t> failedGrabs{0};

    uint64_t losses() const { return repeated + outOfOrder + corrupted + failedGrabs; }
};

// Checks one full frame and files it. Called by one thread at a time.
class FrameChecker {
public:
    FrameChecker(Tally &into, uint32_t frameWidth, uint32_t frameHeight)
        : tally(into), width(frameWidth), height(frameHeight)
    {
    }

    void check(const uint16_t *pixels)
    {
        const uint16_t n = patternFrameNumber(pixels[0], 0, 0);
        for (uint32_t y = 0; y < height; y++) {
            for (uint32_t x = 0; x < width; x++) {
                if (pixels[size_t{y} * width + x] != patternPixel(x, y, n)) {
                    tally.corrupted++;
                    return;
                }
            }
        }
        if (seenAny) {
            const uint16_t step = static_cast<uint16_t>(n - previous);
            if (step == 0)
                tally.repeated++;
            else if (step >= 0x8000)
                tally.outOfOrder++;
            else
                tally.skipped += step - 1u;
        }
        seenAny = true;
        previous = n;
        tally.frames++;
    }

private:
    Tally &tally;
    const uint32_t width;
    const uint32_t height;
    bool seenAny = false;
    uint16_t previous = 0;
};

double residentMebibytes()
{
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) /
           (1024.0 * 1024.0);
}

struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};

struct AsyncClient {
    FrameChecker *checker;
    static void onFrame(gpointer pixels, gpointer user)
    {
        static_cast<AsyncClient *>(user)->checker->check(static_cast<const uint16_t *>(pixels));
    }
};

// Prints one line per interval and remembers the resident memory of the first and the last.
class Reporter {
public:
    explicit Reporter(const Tally &from) : tally(from) {}

    void printLine(double elapsed)
    {
        const uint64_t frames = tally.frames;
        const double rate = static_cast<double>(frames - lastFrames) / (elapsed - lastElapsed);
        const double resident = residentMebibytes();
        if (firstResident < 0)
            firstResident = resident;
        std::printf(
            "t=%6.0f s frames=%10llu fps=%6.1f skipped=%llu repeated=%llu out-of-order=%llu "
            "corrupted=%llu failed-grabs=%llu rss=%.1f MiB\n",
            elapsed, static_cast<unsigned long long>(frames), rate,
            static_cast<unsigned long long>(tally.skipped.load()),
            static_cast<unsigned long long>(tally.repeated.load()),
            static_cast<unsigned long long>(tally.outOfOrder.load()),
            static_cast<unsigned long long>(tally.corrupted.load()),
            static_cast<unsigned long long>(tally.failedGrabs.load()), resident);
        std::fflush(stdout);
        lastFrames = frames;
        lastElapsed = elapsed;
        lastResident = resident;
    }

    double residentGrowth() const { return lastResident - firstResident; }

private:
    const Tally &tally;
    uint64_t lastFrames = 0;
    double lastElapsed = 0;
    double firstResident = -1;
    double lastResident = 0;
};

int run(const Options &options)
{
    // The simulator's call log grows with every call until it is full; it would hide a leak.
    xisl_sim_set_call_log(0);
    std::unique_ptr<UcaPluginManager, GObjectUnref> manager(uca_plugin_manager_new());
    uca_plugin_manager_add_path(manager.get(), PLUGIN_DIR);
    GError *error = nullptr;
    std::unique_ptr<UcaCamera, GObjectUnref> camera(
        uca_plugin_manager_get_camera(manager.get(), "tessaravolt", &error, nullptr, nullptr));
    if (!camera) {
        std::fprintf(stderr, "no camera: %s\n", error ? error->message : "unknown error");
        g_clear_error(&error);
        return 1;
    }

    guint width = 0, height = 0;
    g_object_set(camera.get(), "exposure-time", options.exposureSeconds, "transfer-asynchronously",
                 gboolean{options.asynchronous}, nullptr);
    g_object_get(camera.get(), "roi-width", &width, "roi-height", &height, nullptr);
    std::printf("soak: %s mode, %ux%u frames, %.0f s, a line every %.0f s; exposure %g s and the "
                "simulator's default readout time set the pace\n",
                options.asynchronous ? "async" : "continuous", width, height,
                options.durationSeconds, options.intervalSeconds, options.exposureSeconds);

    Tally tally;
    FrameChecker checker(tally, width, height);
    AsyncClient client{&checker};
    uca_camera_set_grab_func(camera.get(), AsyncClient::onFrame, &client);
    uca_camera_start_recording(camera.get(), &error);
    if (error) {
        std::fprintf(stderr, "start failed: %s\n", error->message);
        g_clear_error(&error);
        return 1;
    }

    Reporter reporter(tally);
    std::vector<uint16_t> pixels(size_t{width} * height);
    const auto started = Clock::now();
    const auto end = started + std::chrono::duration<double>(options.durationSeconds);
    auto nextReport = started + std::chrono::duration<double>(options.intervalSeconds);
    std::mutex idle;
    std::condition_variable neverSignalled; // the async mode only waits for the next report
    while (Clock::now() < end) {
        if (options.asynchronous) {
            std::unique_lock<std::mutex> lock(idle);
            neverSignalled.wait_until(lock, std::min(nextReport, end));
        } else if (uca_camera_grab(camera.get(), pixels.data(), &error)) {
            checker.check(pixels.data());
        } else {
            tally.failedGrabs++;
            std::fprintf(stderr, "grab failed: %s\n", error ? error->message : "no error");
            g_clear_error(&error);
        }
        const auto now = Clock::now();
        if (now >= nextReport || now >= end) {
            reporter.printLine(std::chrono::duration<double>(now - started).count());
            nextReport += std::chrono::duration<double>(options.intervalSeconds);
        }
    }

    uca_camera_stop_recording(camera.get(), &error);
    if (error) {
        std::fprintf(stderr, "stop failed: %s\n", error->message);
        g_clear_error(&error);
        tally.failedGrabs++;
    }
    camera.reset();
    XislSimCounters counters{};
    xisl_sim_get_counters(&counters);
    std::printf("summary: frames=%llu losses=%llu rss-growth=%.1f MiB frames-not-handed-back=%llu "
                "callbacks-after-close=%llu open-handles=%u\n",
                static_cast<unsigned long long>(tally.frames.load()),
                static_cast<unsigned long long>(tally.losses()), reporter.residentGrowth(),
                static_cast<unsigned long long>(counters.framesNotHandedBack),
                static_cast<unsigned long long>(counters.callbacksAfterClose),
                counters.openHandles);
    const bool clean =
        tally.losses() == 0 && counters.callbacksAfterClose == 0 && counters.openHandles == 0;
    return clean ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    try {
        return run(parseOptions(argc, argv));
    } catch (const std::exception &e) {
        std::fprintf(stderr, "soak: %s\n", e.what());
        return 2;
    }
}
