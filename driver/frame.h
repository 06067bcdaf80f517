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

// A rectangle of a frame, in the frame's (binned) pixels: what a consumer copies out of it.
struct Region {
    uint32_t x0 = 0;
    uint32_t y0 = 0;
    uint32_t width = 0;
    uint32_t height = 0;

    size_t pixelCount() const { return size_t{width} * height; }
    // Not empty and inside the frame, summed in 64 bits: an offset near 2^32 must not wrap.
    bool fits(const FrameSize &frame) const
    {
        return width > 0 && height > 0 && uint64_t{x0} + width <= frame.width &&
               uint64_t{y0} + height <= frame.height;
    }
};

inline bool operator==(const Region &a, const Region &b)
{
    return a.x0 == b.x0 && a.y0 == b.y0 && a.width == b.width && a.height == b.height;
}

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
