/* SPDX-License-Identifier: LGPL-2.1-or-later */
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace TessaraVolt {

struct FrameSize {
    uint32_t width = 0;  // pixels per row
    uint32_t height = 0; // rows

    size_t pixelCount() const { return size_t{width} * height; }
};

// The most pixels a frame may have, 2^32 - 1 (8 GiB), far beyond any detector's: a larger one is
// refused before anything is allocated for it.
constexpr size_t largestFramePixels = UINT32_MAX;

static_assert(sizeof(FrameSize) == 8, "two unsigned 32-bit numbers");

// A non-owning view of one frame: rows of `size.width` pixels, back to back. Valid only as long
// as the owner of the pixels says.
struct Image {
    const uint16_t *pixels = nullptr;
    FrameSize size;
};

// Called on XISL's callback thread, one frame at a time.
using FrameConsumer = std::function<void(const Image &)>;

using Clock = std::chrono::steady_clock;

// When a wait for a frame gives up. Asked again once it has passed: a software trigger may have
// moved it later meanwhile.
using FrameDeadline = std::function<Clock::time_point()>;

// How a request for a frame ended.
enum class FrameWait {
    Arrived,
    TimedOut,
    Cancelled,    // the acquisition was stopped or the owner is going away
    Refused,      // the detector refused to start the acquisition for this frame
    NotRecording, // no readout runs
    Transferring, // frames go to the transfer consumer, not to requests
};

struct FrameResult {
    FrameWait status = FrameWait::Cancelled;
    Image image; // meaningful only when status is FrameWait::Arrived
};

} // namespace TessaraVolt
