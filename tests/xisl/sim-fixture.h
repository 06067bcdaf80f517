/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Shared pieces of the simulated detector's tests: a fixture that resets the simulator, and a
// recorder that the callbacks find through the handle's acquisition data, as the driver does.
#pragma once

#include "sim-support.h"

#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace TessaraVoltTest {

constexpr auto kTimeout = std::chrono::seconds(10);
constexpr unsigned kTimeoutMs = 10000;

struct FrameRecord {
    DWORD acquired = 0;
    DWORD bufferFrame = 0;
    std::thread::id thread;
};

// What the callbacks of one handle saw; safe to read once the frames were stepped or waited for.
// Its callbacks lock `mutex` only to record.
struct Recorder {
    std::mutex mutex;
    std::vector<FrameRecord> frames; // guarded by mutex
    std::vector<char> events;        // 'F' end of frame, 'A' end of acquisition; mutex
    // Runs on the callback thread after the frame is recorded, before the hand-back.
    std::function<void(HACQDESC, size_t frameIndex)> onFrame;
    // Runs on the callback thread after the end of acquisition is recorded.
    std::function<void(HACQDESC)> onEndOfAcquisition;

    static void XISL_CALLBACK endOfFrame(HACQDESC handle);
    static void XISL_CALLBACK endOfAcquisition(HACQDESC handle);
};

// A 3-frame destination buffer with the recorder's callbacks registered.
struct Acquisition {
    HACQDESC handle = nullptr;
    std::vector<unsigned short> buffer;
    uint32_t width = 0;
    uint32_t height = 0;

    const unsigned short *slot(uint32_t index) const
    {
        return buffer.data() + static_cast<size_t>(index) * width * height;
    }
};

class SimTest : public SimulatorFixture {
protected:
    void TearDown() override
    {
        expectCallbacksInOrder();
        xisl_sim_reset();
    }

    static void useSensor(uint32_t width, uint32_t height);
    // Enumerates and opens the first sensor.
    static HACQDESC openFirst();
    // Opens the first sensor, sets its binning and registers `frames` buffer frames and the
    // recorder's callbacks.
    static Acquisition prepare(Recorder &recorder, uint32_t frames = 3,
                               WORD binning = XISL_BINNING_NONE);
    static XislStatus start(HACQDESC handle, UINT option, UINT frames = 3)
    {
        return Acquisition_Acquire_Image(handle, frames, 0, option, nullptr, nullptr, nullptr);
    }
};

} // namespace TessaraVoltTest
