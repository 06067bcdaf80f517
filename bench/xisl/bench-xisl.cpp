// SPDX-License-Identifier: LGPL-2.1-or-later
// Frames per second of the simulated detector at cycle time 0, beside a plain memcpy of one frame:
// the simulator must not be what limits a benchmark of the code above it.
//
// The machine may be shared, so the two are measured in alternating short windows and compared
// round by round; the table shows the best window of each and the median of the paired ratios.
#include "xisl-sim.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kWindow = std::chrono::milliseconds(250);
constexpr int kRounds = 8;

void XISL_CALLBACK handBack(HACQDESC handle)
{
    Acquisition_SetReady(handle, 1);
}

void XISL_CALLBACK ignore(HACQDESC) {}

uint64_t callbacksSoFar()
{
    XislSimCounters counters{};
    xisl_sim_get_counters(&counters);
    return counters.endOfFrameCallbacks;
}

// One square sensor, readout 0, no call log, three buffer frames, a callback that only hands
// the frame back, timer cycle 0.
class Detector {
public:
    Detector(uint32_t side, XislSimContent content) : buffer_(3 * static_cast<size_t>(side) * side)
    {
        xisl_sim_reset();
        XislSimSensor sensor{1, 14, 14, 1, side, side};
        xisl_sim_set_sensors(&sensor, 1);
        xisl_sim_set_readout_ns_per_pixel(0);
        xisl_sim_set_call_log(0);
        xisl_sim_set_content(content);
        UINT count = 0;
        ACQDESCPOS cursor = 0;
        Acquisition_EnumSensors(&count, 1, 0);
        Acquisition_GetNextSensor(&cursor, &handle_);
        DWORD cycle = 0;
        Acquisition_DefineDestBuffers(handle_, buffer_.data(), 3, side, side);
        Acquisition_SetCallbacksAndMessages(handle_, nullptr, 0, 0, handBack, ignore);
        Acquisition_SetFrameSyncMode(handle_, XISL_SYNC_INTERNAL_TIMER);
        Acquisition_SetTimerSync(handle_, &cycle);
    }
    Detector(const Detector &) = delete;
    Detector &operator=(const Detector &) = delete;
    ~Detector() { Acquisition_Close(handle_); }

    bool usable() const { return handle_ != nullptr; }

    // Frames per second of a continuous acquisition over one window, after a warm-up that has
    // touched every buffer frame.
    double rate()
    {
        Acquisition_Acquire_Image(handle_, 3, 0, XISL_ACQ_CONTINUOUS, nullptr, nullptr, nullptr);
        xisl_sim_wait_frames(callbacksSoFar() + 3, 10000);
        const uint64_t before = callbacksSoFar();
        const Clock::time_point start = Clock::now();
        std::this_thread::sleep_for(kWindow);
        const uint64_t after = callbacksSoFar();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        Acquisition_Abort(handle_);
        return static_cast<double>(after - before) / seconds;
    }

private:
    std::vector<unsigned short> buffer_;
    HACQDESC handle_ = nullptr;
};

double memcpyRate(std::vector<unsigned char> &source, std::vector<unsigned char> &target)
{
    const size_t bytes = source.size();
    uint64_t copies = 0;
    const Clock::time_point start = Clock::now();
    Clock::time_point now = start;
    while (now - start < kWindow) {
        std::memcpy(target.data(), source.data(), bytes);
        source[copies % bytes] = target[(copies * 7) % bytes]; // keeps every copy observable
        ++copies;
        now = Clock::now();
    }
    return static_cast<double>(copies) / std::chrono::duration<double>(now - start).count();
}

// The pattern is exact; phantom and flat are drawn from the panel's maps with noise.
const std::pair<XislSimContent, const char *> contents[] = {
    {XISL_SIM_CONTENT_PATTERN, "pattern"},
    {XISL_SIM_CONTENT_PHANTOM, "phantom"},
    {XISL_SIM_CONTENT_FLAT, "flat"},
};

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main()
{
    std::printf("Simulator set to timer cycle 0 and readout 0: frames as fast as the machine "
                "allows, not a real detector's timing.\n\n");
    std::printf("%-11s %-8s %12s %12s %13s %10s\n", "frame", "content", "sim fps", "memcpy fps",
                "median ratio", "sim GB/s");
    for (uint32_t side : {1024u, 2048u}) {
        const size_t bytes = static_cast<size_t>(side) * side * sizeof(uint16_t);
        std::vector<unsigned char> source(bytes, 1);
        std::vector<unsigned char> target(bytes, 2);
        for (const auto &[content, name] : contents) {
            Detector detector(side, content);
            if (!detector.usable()) {
                std::fprintf(stderr, "no simulated sensor\n");
                return 1;
            }
            double bestSimulator = 0.0;
            double bestCopy = 0.0;
            std::vector<double> ratios;
            for (int round = 0; round < kRounds; ++round) {
                const double simulator = detector.rate();
                const double copy = memcpyRate(source, target);
                bestSimulator = std::max(bestSimulator, simulator);
                bestCopy = std::max(bestCopy, copy);
                ratios.push_back(simulator / copy);
            }
            std::printf("%4ux%-6u %-8s %12.1f %12.1f %13.2f %10.2f\n", side, side, name,
                        bestSimulator, bestCopy, median(ratios),
                        bestSimulator * static_cast<double>(bytes) / 1e9);
        }
    }
    xisl_sim_reset();
    return 0;
}
