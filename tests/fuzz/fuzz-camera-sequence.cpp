// SPDX-License-Identifier: LGPL-2.1-or-later
// One camera driven through a sequence of operations the input chooses: any name=value settings
// through libuca's parser, starts and stops in every readout mode (libuca's buffered mode
// included), grabs, triggers, libuca's readout calls, binning changes, a grab callback that stops
// the recording or drops the camera from inside, destruction and re-creation, and pairs of
// operations at the same time on two threads. The simulated detector's faults come from the same
// input: any XISL call may fail on its nth use. After each sequence the simulator's rules must
// hold.
//
// Each operation's parameters are read from the input before it runs, on the main thread, so
// that an input means the same sequence whichever thread runs what.
#include "fuzz-support.h"
#include "sim-pattern.h"
#include "xisl-functions.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace TessaraVoltFuzz {
namespace {

using namespace std::chrono_literals;
using Action = std::function<void()>;
using TessaraVoltTest::Roi;

constexpr uint32_t largestSide = 48;
// Settings that set how long a legitimate wait lasts are kept this short when in range.
constexpr gdouble longestExposure = 0.002;
constexpr gdouble longestFrameTimeout = 0.02;
constexpr guint mostBuffers = 64;

// The order is the input's: a regression input in the corpus names operations by their number.
enum class Op {
    Set,
    Read,
    Mode,
    Callback,
    Start,
    Stop,
    Grab,
    Trigger,
    Pulse,
    Step,
    Binning,
    Readout,
    Manual,
    Fault,
    Feed,
    Concurrently,
    HandOver,
    Recreate
};
// What libuca's grab callback does with a frame besides counting it; the last: no callback.
enum class Reaction { Count, Stop, Trigger, Write, None };

// The handle of the detector discovery opened last (from the call log), or null: the camera's
// when one sensor is usable.
HACQDESC detectorHandle()
{
    HACQDESC handle = nullptr;
    XislSimCall call{};
    for (size_t i = 0; xisl_sim_get_call(i, &call) == 0; i++)
        if (std::strcmp(call.function, "Acquisition_GetHwHeaderInfoEx") == 0)
            handle = call.handle;
    return handle;
}

Roi roiOf(UcaCamera *camera)
{
    Roi roi{};
    g_object_get(camera, "roi-x0", &roi.x0, "roi-y0", &roi.y0, "roi-width", &roi.width,
                 "roi-height", &roi.height, nullptr);
    return roi;
}

// The pixels are exactly the region `roi` of one frame of the simulator's pattern.
void checkRegion(const uint16_t *pixels, const Roi &roi)
{
    FUZZ_CHECK(TessaraVoltTest::frameNumberOf(pixels, roi),
               "no whole frame of the region %ux%u at (%u, %u)", roi.width, roi.height, roi.x0,
               roi.y0);
}

// Shared with the callback on XISL's thread: every member is atomic, thread-safe or guarded by
// `mutex`.
struct Callback {
    Callback() { g_weak_ref_init(&camera, nullptr); }
    ~Callback() { g_weak_ref_clear(&camera); }
    Callback(const Callback &) = delete;
    Callback &operator=(const Callback &) = delete;

    // Weak: a callback must not use a camera its owner has dropped. GObject's own calls hold a
    // reference for a moment, so the last one can go on the callback's thread, from under a
    // borrowed pointer.
    GWeakRef camera;
    std::atomic<Reaction> reaction{Reaction::Count};
    std::atomic<unsigned> countdown{0};           // frames until a stop from inside
    std::atomic<UcaCamera *> handedOver{nullptr}; // a reference the callback drops
    std::atomic<bool> inside{false};
    std::mutex mutex;
    std::condition_variable dropped; // signals `handedOver` taken, and then `dropping` ended
    bool dropping = false;           // mutex: the callback took the reference and drops it now
};

// Each frame must be exactly the region of interest, which no write changes while recording.
void onFrame(gpointer pixels, gpointer user_data)
{
    auto *callback = static_cast<Callback *>(user_data);
    FUZZ_CHECK(!callback->inside.exchange(true), "libuca's grab callback overlapped itself");
    // None: the camera is being dropped, and its disposal waits for this callback to return.
    if (auto *camera = static_cast<UcaCamera *>(g_weak_ref_get(&callback->camera))) {
        checkRegion(static_cast<const uint16_t *>(pixels), roiOf(camera));
        const Reaction reaction = callback->reaction;
        if (reaction == Reaction::Stop && callback->countdown.fetch_sub(1) == 1)
            uca_camera_stop_recording(camera, nullptr);
        else if (reaction == Reaction::Trigger)
            uca_camera_trigger(camera, nullptr);
        else if (reaction == Reaction::Write) // refused while recording, but for the exposure
            g_object_set(camera, "exposure-time", longestExposure / 2, "roi-x0", 1u, nullptr);
        // Possibly the last reference, when the owner dropped it meanwhile: the camera goes here.
        g_object_unref(camera);
    }
    callback->inside = false;
    std::unique_lock<std::mutex> lock(callback->mutex);
    if (UcaCamera *owned = callback->handedOver.exchange(nullptr)) {
        callback->dropping = true;
        lock.unlock();
        g_object_unref(owned);
        lock.lock();
        callback->dropping = false;
        callback->dropped.notify_all();
    }
}

// A buffer for one frame of the region. A region larger than the sensor cannot be recording
// (start refuses it, and no write changes it while recording), so a grab must not write at all;
// the sensor's size then keeps the buffer small, and a write beyond it shows.
std::vector<uint16_t> frameBuffer(UcaCamera *camera, const Roi &roi)
{
    guint width = 0, height = 0;
    g_object_get(camera, "sensor-width", &width, "sensor-height", &height, nullptr);
    return std::vector<uint16_t>(std::min(size_t{roi.width} * roi.height, size_t{width} * height));
}

// name=value settings, one a line, as tools take them from their command line, through libuca's
// parser. Then the settings a wait depends on are made short again and the ring small: a run must
// try many sequences, not wait or allocate for long.
void setFromText(UcaCamera *camera, const std::string &text)
{
    gchar **settings = g_strsplit(text.c_str(), "\n", 8);
    GError *error = nullptr;
    const gboolean applied =
        uca_camera_parse_arg_props(camera, settings, g_strv_length(settings), &error);
    FUZZ_CHECK(applied == (error == nullptr), "the parser returned %d, error %p", applied,
               static_cast<void *>(error));
    g_clear_error(&error);
    g_strfreev(settings);
    gdouble exposure = 0, timeout = 0;
    guint buffers = 0;
    g_object_get(camera, "exposure-time", &exposure, "frame-timeout", &timeout, "num-buffers",
                 &buffers, nullptr);
    g_object_set(camera, "exposure-time", std::min(exposure, longestExposure), "frame-timeout",
                 std::min(timeout, longestFrameTimeout), "num-buffers",
                 std::min(buffers, mostBuffers), nullptr);
}

struct Sequence {
    explicit Sequence(FuzzedDataProvider &input) : bytes(input) {}
    FuzzedDataProvider &bytes;
    CameraPtr camera;
    HACQDESC handle = nullptr; // the camera's detector
    Callback callback;
    XislStatus nextStatus = 0x7000;
    // Cameras this sequence made that are not yet finalised: each must be gone before the next is
    // made, or two cameras would share the simulator and the callback.
    std::atomic<unsigned> alive{0};
    // Set once the main thread's half of a pair has returned: a feeding helper stops.
    std::atomic<bool> pairDone{false};

    ~Sequence()
    {
        if (UcaCamera *owned = callback.handedOver.exchange(nullptr))
            g_object_unref(owned);
    }

    void run()
    {
        xisl_sim_reset();
        const uint32_t width = bytes.ConsumeIntegralInRange(1u, largestSide);
        const uint32_t height = bytes.ConsumeIntegralInRange(1u, largestSide);
        // None, an old one that discovery skips, it and a usable one, or (most often) a usable one.
        const XislSimSensor both[] = {{2, 13, 13, 1, width, height}, {1, 14, 14, 1, width, height}};
        const int sensors = bytes.ConsumeIntegralInRange(0, 7);
        xisl_sim_set_sensors(sensors > 2 ? &both[1] : both, sensors > 2 ? 1 : sensors);
        constexpr uint32_t readouts[] = {0, 0, 0, 30, 300}, windDowns[] = {0, 0, 0, 200, 2000};
        xisl_sim_set_readout_ns_per_pixel(readouts[bytes.ConsumeIntegralInRange(0, 4)]);
        xisl_sim_set_wind_down(windDowns[bytes.ConsumeIntegralInRange(0, 4)]);
        xisl_sim_set_manual(bytes.ConsumeIntegralInRange(0, 3) == 0);
        for (int faults = bytes.ConsumeIntegralInRange(0, 2); faults > 0; faults--)
            injectFault();
        createCamera();
        for (unsigned step = 0; step < 64 && bytes.remaining_bytes() > 0; step++) {
            const auto op = static_cast<Op>(bytes.ConsumeIntegralInRange(0, int(Op::Recreate)));
            if (op == Op::Concurrently) {
                runConcurrently();
            } else if (op == Op::HandOver) {
                handOver();
            } else if (op == Op::Recreate) {
                dropCamera();
                createCamera();
            } else if (const Action action = decode(op, false)) {
                action();
            }
        }
        dropCamera();
        checkSimulatorRules();
    }

    // The sequence's reference goes, and with it the camera: a callback still returning may hold
    // the last reference for a moment, but no camera may live on into the next one's time.
    void dropCamera()
    {
        camera.reset();
        for (int waited = 0; alive > 0 && waited < 10000; waited++)
            std::this_thread::sleep_for(1ms);
        FUZZ_CHECK(alive == 0, "a dropped camera was not finalised within 10 s");
    }

    void injectFault()
    {
        const auto function =
            bytes.ConsumeIntegralInRange<size_t>(0, XislSim::kFunctionNames.size() - 1);
        // The nth call from now on fails; 0: every call.
        xisl_sim_fail(XislSim::kFunctionNames[function].data(), nextStatus++,
                      bytes.ConsumeIntegralInRange(0u, 32u));
    }

    void createCamera()
    {
        camera = TessaraVoltFuzz::createCamera(nullptr);
        handle = detectorHandle();
        g_weak_ref_set(&callback.camera, camera.get());
        if (!camera)
            return;
        alive++;
        g_object_weak_ref(
            G_OBJECT(camera.get()),
            [](gpointer data, GObject *) {
                static_cast<std::atomic<unsigned> *>(data)->fetch_sub(1);
            },
            &alive);
        uca_camera_set_grab_func(camera.get(), onFrame, &callback);
        // A short cycle and frame time-out from the start: grabs that get no frame end soon.
        g_object_set(camera.get(), "exposure-time", longestExposure / 4, "frame-timeout",
                     longestFrameTimeout, nullptr);
    }

    // One operation on the helper thread, the next on this one, at the same time. Operations that
    // replace the camera do not pair: the other one uses it.
    void runConcurrently()
    {
        const Action onHelper =
            decode(static_cast<Op>(bytes.ConsumeIntegralInRange(0, int(Op::Feed))), true);
        const Action onMain =
            decode(static_cast<Op>(bytes.ConsumeIntegralInRange(0, int(Op::Feed))), true);
        if (!onHelper || !onMain)
            return;
        pairDone = false;
        // Unbounded here: libFuzzer's time-out ends a hang and keeps the input.
        std::future<void> helper = std::async(std::launch::async, onHelper);
        onMain();
        pairDone = true;
        helper.wait();
    }

    // The grab callback gets the last reference and drops it with the next frame; when no frame
    // comes soon (none comes without a recording), the camera is taken back.
    void handOver()
    {
        if (!camera)
            return;
        const bool recording = uca_camera_is_recording(camera.get());
        callback.handedOver = camera.release();
        UcaCamera *back = nullptr;
        {
            std::unique_lock<std::mutex> lock(callback.mutex);
            if (recording)
                callback.dropped.wait_for(lock, 20ms,
                                          [this] { return !callback.handedOver.load(); });
            back = callback.handedOver.exchange(nullptr);
            // Taken by the callback: its drop, which closes the detector, ends before the
            // sequence goes on, or the handle counts as left open. Unbounded: libFuzzer's
            // time-out ends a hang.
            callback.dropped.wait(lock, [this] { return !callback.dropping; });
        }
        // Not under the lock: a drop here waits for the callback, which takes it.
        camera.reset(back);
        if (!camera) {
            dropCamera();
            createCamera();
        }
    }

    // The operation `op` with its parameters read now, to run later on any thread; null when it
    // needs a camera and there is none.
    Action decode(Op op, bool paired)
    {
        UcaCamera *cam = camera.get();
        switch (op) {
        case Op::Fault:
            return [this] { injectFault(); };
        case Op::Manual:
            return [manual = bytes.ConsumeBool()] { xisl_sim_set_manual(manual); };
        case Op::Pulse:
            return [handle = handle] { xisl_sim_pulse(handle); };
        case Op::Step:
            return [handle = handle, frames = bytes.ConsumeIntegralInRange(1u, 3u)] {
                xisl_sim_step(handle, frames, 20);
            };
        case Op::Feed: // for a grab waiting on the other thread; alone, a few of each
            return [this, cam, handle = handle, paired] {
                for (unsigned round = 0; round < (paired ? 500u : 3u) && !(paired && pairDone);
                     round++) {
                    if (cam)
                        uca_camera_trigger(cam, nullptr);
                    xisl_sim_pulse(handle);
                    xisl_sim_step(handle, 1, 5);
                    // Pacing, not synchronisation: the grab on the other thread ends by its
                    // deadline.
                    std::this_thread::sleep_for(100us);
                }
            };
        default:
            break;
        }
        if (!cam)
            return nullptr;
        switch (op) {
        case Op::Set: // its text from the input's front, all else from its back
            return [cam, text = bytes.ConsumeRandomLengthString(256)] { setFromText(cam, text); };
        case Op::Read:
            return [cam] { checkPropertiesReadable(cam); };
        case Op::Mode:
            return [cam, choice = unsigned{bytes.ConsumeIntegral<uint8_t>()}] {
                g_object_set(cam, "transfer-asynchronously", gboolean{(choice & 1) != 0},
                             "grab-from-continuous", gboolean{(choice & 2) != 0}, "buffered",
                             gboolean{(choice & 4) != 0}, "num-buffers", 1 + (choice >> 3) % 8,
                             nullptr);
            };
        case Op::Callback: {
            const auto reaction =
                static_cast<Reaction>(bytes.ConsumeIntegralInRange(0, int(Reaction::None)));
            return [this, cam, reaction, countdown = bytes.ConsumeIntegralInRange(1u, 8u)] {
                // No callback keeps the reaction for the next camera's.
                if (reaction != Reaction::None) {
                    callback.countdown = countdown;
                    callback.reaction = reaction;
                }
                uca_camera_set_grab_func(cam, reaction == Reaction::None ? nullptr : onFrame,
                                         reaction == Reaction::None ? nullptr : &callback);
            };
        }
        case Op::Start:
            return [cam] { uca_camera_start_recording(cam, nullptr); };
        case Op::Stop:
            return [cam] { uca_camera_stop_recording(cam, nullptr); };
        case Op::Grab:
            return [cam] {
                const Roi roi = roiOf(cam);
                std::vector<uint16_t> pixels = frameBuffer(cam, roi);
                GError *error = nullptr;
                if (uca_camera_grab(cam, pixels.data(), &error))
                    checkRegion(pixels.data(), roi);
                g_clear_error(&error);
            };
        case Op::Trigger:
            return [cam] { uca_camera_trigger(cam, nullptr); };
        case Op::Binning:
            return [cam, factor = bytes.ConsumeIntegralInRange(0u, 4u)] {
                g_object_set(cam, "sensor-horizontal-binning", factor, nullptr);
            };
        default: // libuca's readout calls: this camera keeps no frames, so libuca refuses them
            return [cam, call = bytes.ConsumeIntegralInRange(0, 2)] {
                const ExpectedCriticals refused;
                std::vector<uint16_t> pixels = frameBuffer(cam, roiOf(cam));
                if (call == 0)
                    uca_camera_start_readout(cam, nullptr);
                else if (call == 1)
                    uca_camera_stop_readout(cam, nullptr);
                else
                    uca_camera_readout(cam, pixels.data(), 0, nullptr);
            };
        }
    }
};

} // namespace
} // namespace TessaraVoltFuzz

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    TessaraVoltFuzz::prepareProcess(argc, argv, true);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider bytes(data, size);
    TessaraVoltFuzz::Sequence(bytes).run();
    return 0;
}
