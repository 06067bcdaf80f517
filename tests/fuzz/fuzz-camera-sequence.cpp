// SPDX-License-Identifier: LGPL-2.1-or-later
// One camera driven through a sequence of operations the input chooses: any property set to any
// value, starts and stops in every readout mode (libuca's buffered mode included), grabs,
// triggers, libuca's readout calls, binning changes, a grab callback that stops the recording or
// drops the camera from inside, destruction and re-creation, and pairs of operations at the same
// time on two threads. The simulated detector's faults come from the same input: any XISL call
// may fail on its nth use. After each sequence the simulator's rules must hold, and no operation
// may outlast its bound.
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
#include <limits>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace TessaraVoltFuzz {
namespace {

using namespace std::chrono_literals;
using TessaraVoltTest::frameNumberOf;
using Action = std::function<void()>;

constexpr unsigned longestSequence = 64;
constexpr uint32_t largestSide = 48;
// Settings that set how long a legitimate wait lasts are kept this short when in range.
constexpr gdouble longestExposure = 0.002;
constexpr gdouble longestFrameTimeout = 0.02;
constexpr guint mostBuffers = 64;
constexpr XislStatus firstInjectedStatus = 0x7000;

enum class Op {
    SetProperty,
    ReadProperties,
    SelectMode,
    SetCallback,
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
    Concurrently, // the two operations after it, one on the helper thread
    HandOver,     // the grab callback drops the camera from inside
    Recreate,
};
constexpr int opCount = static_cast<int>(Op::Recreate) + 1;

// What libuca's grab callback does with a frame besides counting it.
enum class Reaction { Count, Stop, Trigger, Write };
constexpr int reactionCount = 4;

// Shared with the callback on XISL's thread: every member is atomic or guarded by `mutex`.
struct Callback {
    std::atomic<UcaCamera *> camera{nullptr}; // the camera the callback acts on
    std::atomic<int> reaction{static_cast<int>(Reaction::Count)};
    std::atomic<unsigned> countdown{0};           // frames until a stop from inside
    std::atomic<UcaCamera *> handedOver{nullptr}; // a reference the callback drops
    std::atomic<bool> inside{false};
    std::mutex mutex;
    std::condition_variable dropped; // signals `handedOver` taken by the callback
};

void onFrame(gpointer, gpointer user_data)
{
    auto *callback = static_cast<Callback *>(user_data);
    FUZZ_CHECK(!callback->inside.exchange(true), "libuca's grab callback overlapped itself");
    UcaCamera *camera = callback->camera;
    const auto reaction = static_cast<Reaction>(callback->reaction.load());
    if (reaction == Reaction::Stop && callback->countdown.fetch_sub(1) == 1)
        uca_camera_stop_recording(camera, nullptr);
    else if (reaction == Reaction::Trigger)
        uca_camera_trigger(camera, nullptr);
    else if (reaction == Reaction::Write) // refused while recording, but for the exposure
        g_object_set(camera, "exposure-time", longestExposure / 2, "roi-x0", 1u, nullptr);
    callback->inside = false;
    if (UcaCamera *owned = callback->handedOver.exchange(nullptr)) {
        g_object_unref(owned);
        std::lock_guard<std::mutex> lock(callback->mutex);
        callback->dropped.notify_all();
    }
}

// A buffer for one frame of the region. A region larger than the sensor cannot be recording
// (start refuses it, and no write changes it while recording), so a grab must not write at all;
// the sensor's size then keeps the buffer small, and a write beyond it shows.
std::vector<uint16_t> frameBuffer(UcaCamera *camera, const Roi &roi)
{
    guint width = 0;
    guint height = 0;
    g_object_get(camera, "sensor-width", &width, "sensor-height", &height, nullptr);
    return std::vector<uint16_t>(std::min(size_t{roi.width} * roi.height, size_t{width} * height));
}

// The range's edges, one beyond each (below a minimum of 0 wraps to the largest), small ones near
// the sensor's size, or any.
guint anyUint(const GParamSpecUInt *spec, FuzzedDataProvider &bytes)
{
    const int kind = bytes.ConsumeIntegralInRange(0, 5);
    if (kind == 4)
        return bytes.ConsumeIntegralInRange<guint>(0, 2 * largestSide);
    const guint edges[] = {spec->minimum, spec->maximum, spec->minimum - 1, spec->maximum + 1};
    return kind < 4 ? edges[kind] : bytes.ConsumeIntegral<guint>();
}

gdouble anyDouble(FuzzedDataProvider &bytes)
{
    // 0, a negative, NaN, infinities, a short exposure, the largest, or any.
    const int kind = bytes.ConsumeIntegralInRange(0, 7);
    if (kind == 1 || kind == 5) {
        const gdouble probability = bytes.ConsumeProbability<gdouble>();
        return kind == 1 ? -probability : probability * longestExposure;
    }
    if (kind == 7)
        return bytes.ConsumeFloatingPoint<gdouble>();
    constexpr gdouble infinity = std::numeric_limits<gdouble>::infinity();
    const gdouble fixed[] = {
        0.0, 0.0, std::numeric_limits<gdouble>::quiet_NaN(), infinity, -infinity, 0.0, G_MAXDOUBLE};
    return fixed[kind];
}

// In-range values of the settings a wait depends on stay short (GLib still refuses the others),
// and the ring stays small: a run must try many sequences, not wait or allocate for long.
void keepShort(GParamSpec *pspec, GValue *value)
{
    const std::string name = pspec->name;
    if (G_IS_PARAM_SPEC_UINT(pspec) && name == "num-buffers") {
        if (g_value_get_uint(value) > mostBuffers &&
            g_value_get_uint(value) <= G_PARAM_SPEC_UINT(pspec)->maximum)
            g_value_set_uint(value, mostBuffers);
        return;
    }
    if (!G_IS_PARAM_SPEC_DOUBLE(pspec))
        return;
    const GParamSpecDouble *range = G_PARAM_SPEC_DOUBLE(pspec);
    const gdouble seconds = g_value_get_double(value);
    if (!(seconds >= range->minimum && seconds <= range->maximum))
        return;
    if (name == "exposure-time")
        g_value_set_double(value, std::min(seconds, longestExposure));
    else if (name == "frame-timeout")
        g_value_set_double(value, std::min(seconds, longestFrameTimeout));
    else if (name == "frames-per-second")
        g_value_set_double(value, std::max(seconds, 1.0 / longestExposure));
}

using ValuePtr = std::shared_ptr<GValue>;

ValuePtr anyValue(GParamSpec *pspec, FuzzedDataProvider &bytes)
{
    ValuePtr value(g_new0(GValue, 1), [](GValue *unset) {
        g_value_unset(unset);
        g_free(unset);
    });
    g_value_init(value.get(), pspec->value_type);
    if (G_IS_PARAM_SPEC_BOOLEAN(pspec)) {
        g_value_set_boolean(value.get(), bytes.ConsumeBool());
    } else if (G_IS_PARAM_SPEC_UINT(pspec)) {
        g_value_set_uint(value.get(), anyUint(G_PARAM_SPEC_UINT(pspec), bytes));
    } else if (G_IS_PARAM_SPEC_DOUBLE(pspec)) {
        g_value_set_double(value.get(), anyDouble(bytes));
    } else if (G_IS_PARAM_SPEC_ENUM(pspec)) {
        const GEnumClass *values = G_PARAM_SPEC_ENUM(pspec)->enum_class;
        g_value_set_enum(
            value.get(),
            bytes.ConsumeBool()
                ? values->values[bytes.ConsumeIntegralInRange<guint>(0, values->n_values - 1)].value
                : bytes.ConsumeIntegral<gint>());
    } else {
        return nullptr; // the camera has no other writable kind
    }
    keepShort(pspec, value.get());
    return value;
}

class Sequence {
public:
    explicit Sequence(FuzzedDataProvider &bytes) : bytes_(bytes) {}
    ~Sequence();
    Sequence(const Sequence &) = delete;
    Sequence &operator=(const Sequence &) = delete;

    void run();

private:
    void prepareSimulator();
    void createCamera();
    void injectFault();
    // The operation `op` with its parameters read now, to run later on any thread; null when it
    // needs a camera and there is none.
    Action decode(Op op, bool paired);
    Action decodeProperty();
    Action decodeFeed(bool paired);
    void runConcurrently();
    void handOver();

    FuzzedDataProvider &bytes_;
    CameraPtr camera_;
    HACQDESC handle_ = nullptr; // the camera's detector
    Callback callback_;
    std::vector<GParamSpec *> writable_; // of the camera's class, by name
    XislStatus nextStatus_ = firstInjectedStatus;
    // Set once the main thread's half of a pair has returned: a feeding helper stops.
    std::atomic<bool> pairDone_{false};
};

Sequence::~Sequence()
{
    if (UcaCamera *owned = callback_.handedOver.exchange(nullptr))
        g_object_unref(owned);
}

void Sequence::prepareSimulator()
{
    xisl_sim_reset();
    const uint32_t width = bytes_.ConsumeIntegralInRange<uint32_t>(1, largestSide);
    const uint32_t height = bytes_.ConsumeIntegralInRange<uint32_t>(1, largestSide);
    // None, an old one that discovery skips, it and a usable one, or (most often) a usable one.
    const XislSimSensor both[] = {{2, 13, 13, 1, width, height}, {1, 14, 14, 1, width, height}};
    const int kind = bytes_.ConsumeIntegralInRange(0, 7);
    xisl_sim_set_sensors(kind > 2 ? &both[1] : both, kind > 2 ? 1 : kind);
    constexpr uint32_t readouts[] = {0, 0, 0, 30, 300};
    xisl_sim_set_readout_ns_per_pixel(readouts[bytes_.ConsumeIntegralInRange(0, 4)]);
    constexpr uint32_t windDowns[] = {0, 0, 0, 200, 2000};
    xisl_sim_set_wind_down(windDowns[bytes_.ConsumeIntegralInRange(0, 4)]);
    xisl_sim_set_manual(bytes_.ConsumeIntegralInRange(0, 3) == 0);
    for (int faults = bytes_.ConsumeIntegralInRange(0, 2); faults > 0; faults--)
        injectFault();
}

void Sequence::injectFault()
{
    const auto function =
        bytes_.ConsumeIntegralInRange<size_t>(0, XislSim::kFunctionNames.size() - 1);
    // The nth call from now on fails; 0: every call.
    xisl_sim_fail(XislSim::kFunctionNames[function].data(), nextStatus_++,
                  bytes_.ConsumeIntegralInRange(0u, 32u));
}

void Sequence::createCamera()
{
    camera_ = TessaraVoltFuzz::createCamera(nullptr);
    handle_ = detectorHandle();
    callback_.camera = camera_.get();
    if (!camera_)
        return;
    uca_camera_set_grab_func(camera_.get(), onFrame, &callback_);
    // A short cycle and frame time-out from the start: grabs that get no frame end soon.
    g_object_set(camera_.get(), "exposure-time", longestExposure / 4, "frame-timeout",
                 longestFrameTimeout, nullptr);
    if (!writable_.empty())
        return;
    guint count = 0;
    GParamSpec **pspecs = g_object_class_list_properties(G_OBJECT_GET_CLASS(camera_.get()), &count);
    for (guint i = 0; i < count; i++)
        if ((pspecs[i]->flags & G_PARAM_WRITABLE) && !(pspecs[i]->flags & G_PARAM_CONSTRUCT_ONLY))
            writable_.push_back(pspecs[i]);
    g_free(pspecs);
    std::sort(writable_.begin(), writable_.end(),
              [](GParamSpec *a, GParamSpec *b) { return std::strcmp(a->name, b->name) < 0; });
}

void Sequence::run()
{
    prepareSimulator();
    createCamera();
    for (unsigned step = 1; step <= longestSequence && bytes_.remaining_bytes() > 0; step++) {
        const Op op = static_cast<Op>(bytes_.ConsumeIntegralInRange(0, opCount - 1));
        if (op == Op::Concurrently) {
            runConcurrently();
        } else if (op == Op::HandOver) {
            handOver();
        } else if (op == Op::Recreate) {
            camera_.reset();
            createCamera();
        } else if (const Action action = decode(op, false)) {
            action();
        }
    }
    camera_.reset();
    checkSimulatorRules();
}

// One operation on the helper thread, the next on this one, at the same time. Operations that
// replace the camera do not pair: the other one uses it.
void Sequence::runConcurrently()
{
    const auto simple = [this] {
        return decode(static_cast<Op>(bytes_.ConsumeIntegralInRange(0, static_cast<int>(Op::Feed))),
                      true);
    };
    const Action onHelper = simple();
    const Action onMain = simple();
    if (!onHelper || !onMain)
        return;
    pairDone_ = false;
    // Unbounded here: libFuzzer's time-out ends a hang and keeps the input.
    std::future<void> helper = std::async(std::launch::async, onHelper);
    onMain();
    pairDone_ = true;
    helper.wait();
}

// The grab callback gets the last reference and drops it with the next frame; when no frame
// comes soon (none comes without a recording), the camera is taken back.
void Sequence::handOver()
{
    if (!camera_)
        return;
    const bool recording = uca_camera_is_recording(camera_.get());
    callback_.handedOver = camera_.release();
    if (recording) {
        std::unique_lock<std::mutex> lock(callback_.mutex);
        callback_.dropped.wait_for(lock, 20ms, [this] { return !callback_.handedOver.load(); });
    }
    camera_.reset(callback_.handedOver.exchange(nullptr));
    if (!camera_)
        createCamera();
}

Action Sequence::decode(Op op, bool paired)
{
    if (op == Op::Fault)
        return [this] { injectFault(); };
    if (op == Op::Manual)
        return [manual = bytes_.ConsumeBool()] { xisl_sim_set_manual(manual); };
    if (op == Op::Pulse)
        return [handle = handle_] { xisl_sim_pulse(handle); };
    if (op == Op::Step) {
        return [handle = handle_, frames = bytes_.ConsumeIntegralInRange(1u, 3u)] {
            xisl_sim_step(handle, frames, 20);
        };
    }
    if (op == Op::Feed)
        return decodeFeed(paired);
    if (!camera_)
        return nullptr;
    UcaCamera *camera = camera_.get();
    switch (op) {
    case Op::SetProperty:
        return decodeProperty();
    case Op::ReadProperties:
        return [camera] { checkPropertiesReadable(camera); };
    case Op::SelectMode:
        return [camera, choice = unsigned{bytes_.ConsumeIntegral<uint8_t>()}] {
            g_object_set(camera, "transfer-asynchronously", gboolean{(choice & 1) != 0},
                         "grab-from-continuous", gboolean{(choice & 2) != 0}, "buffered",
                         gboolean{(choice & 4) != 0}, "num-buffers", 1 + (choice >> 3) % 8,
                         nullptr);
        };
    case Op::SetCallback: {
        const int reaction = bytes_.ConsumeIntegralInRange(0, reactionCount);
        return [this, camera, reaction, countdown = bytes_.ConsumeIntegralInRange(1u, 8u)] {
            // The last choice: no callback, the reaction kept for the next camera's.
            if (reaction < reactionCount) {
                callback_.countdown = countdown;
                callback_.reaction = reaction;
            }
            uca_camera_set_grab_func(camera, reaction == reactionCount ? nullptr : onFrame,
                                     reaction == reactionCount ? nullptr : &callback_);
        };
    }
    case Op::Start:
        return [camera] { uca_camera_start_recording(camera, nullptr); };
    case Op::Stop:
        return [camera] { uca_camera_stop_recording(camera, nullptr); };
    case Op::Grab:
        return [camera] {
            const Roi roi = roiOf(camera);
            std::vector<uint16_t> pixels = frameBuffer(camera, roi);
            GError *error = nullptr;
            if (uca_camera_grab(camera, pixels.data(), &error))
                FUZZ_CHECK(frameNumberOf(pixels.data(), roi),
                           "a grab returned no whole frame of the region %ux%u at (%u, %u)",
                           roi.width, roi.height, roi.x0, roi.y0);
            g_clear_error(&error);
        };
    case Op::Trigger:
        return [camera] { uca_camera_trigger(camera, nullptr); };
    case Op::Binning:
        return [camera, factor = bytes_.ConsumeIntegralInRange(0u, 4u)] {
            g_object_set(camera, "sensor-horizontal-binning", factor, nullptr);
        };
    case Op::Readout:
        // This camera keeps no frames of its own, so libuca refuses these as programming errors.
        return [camera, call = bytes_.ConsumeIntegralInRange(0, 2)] {
            const ExpectedCriticals refused;
            std::vector<uint16_t> pixels = frameBuffer(camera, roiOf(camera));
            if (call == 0)
                uca_camera_start_readout(camera, nullptr);
            else if (call == 1)
                uca_camera_stop_readout(camera, nullptr);
            else
                uca_camera_readout(camera, pixels.data(), 0, nullptr);
        };
    default:
        return nullptr;
    }
}

Action Sequence::decodeProperty()
{
    GParamSpec *pspec = writable_[bytes_.ConsumeIntegralInRange<size_t>(0, writable_.size() - 1)];
    const ValuePtr value = anyValue(pspec, bytes_);
    if (!value)
        return nullptr;
    return [camera = camera_.get(), name = pspec->name, value] {
        g_object_set_property(G_OBJECT(camera), name, value.get());
    };
}

// Triggers, pulses and steps, for a grab waiting on the other thread; alone, a few of each.
Action Sequence::decodeFeed(bool paired)
{
    return [this, camera = camera_.get(), handle = handle_, paired] {
        for (unsigned round = 0; round < (paired ? 500u : 3u) && !(paired && pairDone_); round++) {
            if (camera)
                uca_camera_trigger(camera, nullptr);
            xisl_sim_pulse(handle);
            xisl_sim_step(handle, 1, 5);
            // Pacing, not synchronisation: the grab on the other thread ends by its deadline.
            std::this_thread::sleep_for(100us);
        }
    };
}

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
