/* SPDX-License-Identifier: LGPL-2.1-or-later */
// What bench-record checks of the frames it times: whole pattern frames in order, and when each
// reached it.
#pragma once

#include <xisl-sim.h>

#include "sim-pattern.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

using Clock = std::chrono::steady_clock;

// Checks that each full frame is the pattern of one frame number and that the numbers go up.
// One thread at a time calls check().
class FrameChecker {
public:
    FrameChecker(uint32_t width, uint32_t height, bool expectEveryFrame)
        : width_(width), height_(height), expectEveryFrame_(expectEveryFrame)
    {
    }

    void check(const uint16_t *pixels)
    {
        const uint16_t n = TessaraVoltTest::patternFrameNumber(pixels[0], 0, 0);
        const size_t last = static_cast<size_t>(width_) * height_ - 1;
        const size_t middle = static_cast<size_t>(height_ / 2) * width_ + width_ / 2;
        if (pixels[last] != TessaraVoltTest::patternPixel(width_ - 1, height_ - 1, n) ||
            pixels[middle] != TessaraVoltTest::patternPixel(width_ / 2, height_ / 2, n))
            ++corrupt;

        if (frames > 0) {
            const uint16_t step = static_cast<uint16_t>(n - previous_);
            if (step == 0)
                ++repeated;
            else if (step >= 0x8000)
                ++outOfOrder;
            else if (expectEveryFrame_ && step != 1)
                ++skipped;
        }
        previous_ = n;
        ++frames;
    }

    bool sound() const { return corrupt == 0 && repeated == 0 && outOfOrder == 0 && skipped == 0; }

    uint64_t frames = 0;
    uint64_t corrupt = 0;
    uint64_t repeated = 0;
    uint64_t outOfOrder = 0;
    uint64_t skipped = 0; // only counted where every frame is expected

private:
    uint32_t width_;
    uint32_t height_;
    bool expectEveryFrame_;
    uint16_t previous_ = 0;
};

// When each frame reached the benchmark, by its frame number. Filled without allocating, on
// whichever thread frames reach the benchmark, one frame at a time.
class LatencyLog {
public:
    explicit LatencyLog(size_t capacity) { samples_.reserve(capacity); }

    void add(const uint16_t *pixels, Clock::time_point reached)
    {
        if (samples_.size() < samples_.capacity())
            samples_.push_back({TessaraVoltTest::patternFrameNumber(pixels[0], 0, 0), reached});
    }

    // Microseconds from the start of each frame's end-of-frame callback to its arrival, for the
    // samples from `first` on. The simulator numbers frames from 1 after each reset and the
    // pattern keeps 16 bits of it; frames only go up, so the full number follows.
    std::vector<double> microseconds(size_t first) const
    {
        std::vector<double> result;
        uint32_t frame = 0;
        for (size_t i = 0; i < samples_.size(); ++i) {
            frame += static_cast<uint16_t>(samples_[i].frame - static_cast<uint16_t>(frame));
            uint64_t began = 0;
            if (i < first || xisl_sim_frame_callback_time(frame, &began) != 0)
                continue;
            const auto reached = std::chrono::duration_cast<std::chrono::nanoseconds>(
                samples_[i].reached.time_since_epoch());
            result.push_back((static_cast<double>(reached.count()) - began) / 1000);
        }
        return result;
    }

private:
    struct Sample {
        uint16_t frame;
        Clock::time_point reached;
    };
    std::vector<Sample> samples_;
};
