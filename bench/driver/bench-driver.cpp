// SPDX-License-Identifier: LGPL-2.1-or-later
// Frames per second through the driver on the simulated detector at cycle time 0, beside a plain
// memcpy of one frame measured in the same run: a continuous stream whose consumer copies every
// frame out (one copy per frame, as asynchronous transfer does), and single-frame grabs.
//
// The machine may be shared, so the driver and the copy are measured in alternating short
// windows; the table shows the best window of each and the median of the paired ratios.
#include "discovery.h"
#include "readout.h"
#include "xisl-sim.h"

#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kWindow = std::chrono::milliseconds(250);
constexpr int kRounds = 8;

double perSecond(uint64_t count, Clock::time_point start)
{
    return static_cast<double>(count) / std::chrono::duration<double>(Clock::now() - start).count();
}

double continuousRate(TessaraVolt::Readout &readout, size_t pixelCount)
{
    std::atomic<uint64_t> frames{0};
    readout.start(TessaraVolt::ReadoutMode::Transfer,
                  {pixelCount, [&](const TessaraVolt::Image &image, uint16_t *buffer) {
                       std::memcpy(buffer, image.pixels,
                                   image.size.pixelCount() * sizeof(uint16_t));
                       frames.fetch_add(1, std::memory_order_relaxed);
                   }});
    const uint64_t before = frames.load();
    const Clock::time_point start = Clock::now();
    std::this_thread::sleep_for(kWindow);
    const double rate = perSecond(frames.load() - before, start);
    readout.stop();
    return rate;
}

double singleRate(TessaraVolt::Readout &readout, std::vector<uint16_t> &copy)
{
    readout.start(TessaraVolt::ReadoutMode::SingleFrames);
    const TessaraVolt::FrameConsumer deliver = [&](const TessaraVolt::Image &image) {
        std::memcpy(copy.data(), image.pixels, image.size.pixelCount() * sizeof(uint16_t));
    };
    uint64_t frames = 0;
    const Clock::time_point start = Clock::now();
    while (Clock::now() - start < kWindow) {
        if (readout.grab(deliver) != TessaraVolt::FrameWait::Arrived)
            break;
        ++frames;
    }
    readout.stop();
    return perSecond(frames, start);
}

double memcpyRate(std::vector<uint16_t> &source, std::vector<uint16_t> &target)
{
    uint64_t copies = 0;
    const Clock::time_point start = Clock::now();
    while (Clock::now() - start < kWindow) {
        std::memcpy(target.data(), source.data(), source.size() * sizeof(uint16_t));
        source[copies % source.size()] = target[(copies * 7) % target.size()]; // observable
        ++copies;
    }
    return perSecond(copies, start);
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main()
{
    // The driver logs every set-up; a silent host logger keeps the table readable.
    spdlog::register_logger(std::make_shared<spdlog::logger>(
        "Detector", std::make_shared<spdlog::sinks::null_sink_mt>()));
    std::printf("%-11s %-11s %12s %12s %13s\n", "frame", "mode", "driver fps", "memcpy fps",
                "median ratio");
    for (uint32_t side : {1024u, 2048u}) {
        xisl_sim_reset();
        const XislSimSensor sensor{1, 14, 14, 1, side, side};
        xisl_sim_set_sensors(&sensor, 1);
        xisl_sim_set_readout_ns_per_pixel(0);
        xisl_sim_set_call_log(0);
        auto detectors = TessaraVolt::findDetectors();
        if (detectors.empty()) {
            std::fprintf(stderr, "no simulated sensor\n");
            return 1;
        }
        TessaraVolt::Readout readout(std::move(detectors.front()));
        readout.getDetector().setExposureTime(std::chrono::seconds(0));
        std::vector<uint16_t> source(static_cast<size_t>(side) * side, 1);
        std::vector<uint16_t> target(source.size(), 2);
        const std::pair<const char *, std::function<double()>> modes[] = {
            {"continuous", [&] { return continuousRate(readout, source.size()); }},
            {"single", [&] { return singleRate(readout, target); }},
        };
        for (const auto &[name, measure] : modes) {
            double bestDriver = 0.0;
            double bestCopy = 0.0;
            std::vector<double> ratios;
            for (int round = 0; round < kRounds; ++round) {
                const double driver = measure();
                const double copy = memcpyRate(source, target);
                bestDriver = std::max(bestDriver, driver);
                bestCopy = std::max(bestCopy, copy);
                ratios.push_back(driver / copy);
            }
            std::printf("%4ux%-6u %-11s %12.1f %12.1f %13.2f\n", side, side, name, bestDriver,
                        bestCopy, median(ratios));
        }
    }
    xisl_sim_reset();
    return 0;
}
