// SPDX-License-Identifier: LGPL-2.1-or-later
// Every XISL call the driver makes, made to fail where it is made: discovery, set-up, each frame,
// stop, trigger and release. The camera must not crash or hang, must leave no handle open, must
// log exactly what the driver logs for that call, and must tell its caller where it can.
#include "stress-fixture.h"

#include <algorithm>
#include <future>

namespace TessaraVoltTest {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr XislStatus injected = 77;
const std::string injectedError = "Error 77 ";

XislSimSensor sensor(uint32_t promId)
{
    return XislSimSensor{promId, 14, 14, 2, sensorSide, sensorSide};
}

struct DiscoveryFault {
    const char *function;
    unsigned nth; // which call fails: the sensor it is made for
    const char *message;
};

void PrintTo(const DiscoveryFault &fault, std::ostream *out)
{
    *out << fault.function << " call " << fault.nth;
}

class DiscoveryFaultTest : public SimulatorTest,
                           public ::testing::WithParamInterface<DiscoveryFault> {};

// Three sensors, so a fault can hit the first, a middle and the last one.
TEST_P(DiscoveryFaultTest, BecomesTheCreationErrorAndClosesWhatWasOpened)
{
    const DiscoveryFault fault = GetParam();
    const XislSimSensor sensors[] = {sensor(1), sensor(2), sensor(3)};
    ASSERT_EQ(xisl_sim_set_sensors(sensors, 3), 0);
    ASSERT_EQ(xisl_sim_fail(fault.function, injected, fault.nth), 0);

    GError *error = nullptr;
    CameraPtr camera = createCamera(&error);
    const ErrorPtr owned(error);

    ASSERT_FALSE(camera);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, UCA_CAMERA_ERROR);
    EXPECT_STREQ(error->message, fault.message);
    EXPECT_EQ(errorLines(), std::vector<std::string>{fault.message});
    expectDetectorReleased();
}

INSTANTIATE_TEST_SUITE_P(
    EachPlace, DiscoveryFaultTest,
    ::testing::Values(
        DiscoveryFault{"Acquisition_EnumSensors", 1, "Unable to enumerate sensors"},
        DiscoveryFault{"Acquisition_GetNextSensor", 1, "Unable to get next sensor"},
        DiscoveryFault{"Acquisition_GetNextSensor", 3, "Unable to get next sensor"},
        DiscoveryFault{"Acquisition_GetHwHeaderInfo", 1, "Unable to get hardware header info"},
        DiscoveryFault{"Acquisition_GetHwHeaderInfo", 2, "Unable to get hardware header info"},
        DiscoveryFault{"Acquisition_GetHwHeaderInfo", 3, "Unable to get hardware header info"},
        DiscoveryFault{"Acquisition_GetHwHeaderInfoEx", 1,
                       "Unable to get extended hardware header info"},
        DiscoveryFault{"Acquisition_GetHwHeaderInfoEx", 3,
                       "Unable to get extended hardware header info"}),
    [](const ::testing::TestParamInfo<DiscoveryFault> &fault) {
        return std::string(fault.param.function).substr(std::strlen("Acquisition_")) + "Call" +
               std::to_string(fault.param.nth);
    });

using CreationFaultTest = SimulatorTest;

// After discovery the camera reads the kept detector's frame size; a failed read must not become
// a camera with a 0 x 0 sensor.
TEST_F(CreationFaultTest, FailedFrameSizeReadIsNotACamera)
{
    const XislSimSensor only = sensor(1);
    ASSERT_EQ(xisl_sim_set_sensors(&only, 1), 0);
    ASSERT_EQ(xisl_sim_fail("Acquisition_GetHwHeaderInfo", injected, 2),
              0); // the first is discovery's
    GError *error = nullptr;
    CameraPtr camera = createCamera(&error);
    const ErrorPtr owned(error);

    if (camera) {
        guint width = 0, height = 0;
        g_object_get(camera.get(), "sensor-width", &width, "sensor-height", &height, nullptr);
        ADD_FAILURE() << "created with a " << width << "x" << height << " sensor";
    } else {
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain, UCA_CAMERA_ERROR);
    }
    camera.reset();
    expectDetectorReleased();
}

// A sensor skipped for its old header is closed at once; a failing close must not stop discovery.
TEST_F(CreationFaultTest, FailedCloseOfASkippedSensor)
{
    const XislSimSensor sensors[] = {{1, 13, 13, 2, 32, 32}, sensor(2)};
    ASSERT_EQ(xisl_sim_set_sensors(sensors, 2), 0);
    ASSERT_EQ(xisl_sim_fail("Acquisition_Close", injected, 1), 0);
    GError *error = nullptr;
    CameraPtr camera = createCamera(&error);
    const ErrorPtr owned(error);
    ASSERT_TRUE(camera) << error->message;
    EXPECT_TRUE(errorLines().empty());
    camera.reset();
    // The simulator keeps a handle whose close failed open; only the kept one must be closed.
    EXPECT_EQ(counters().openHandles, 1u);
}

// How the client must see a fault on every call of a function during a recording.
enum class Expect {
    Frames,       // the fault is harmless: frames still arrive
    NoFrames,     // nothing arrives; a grab says so with an error within its bound
    RefusedStart, // start of recording fails with an error
    Refused,      // XISL refused to start: start fails, or the single-frame grab, as a device error
    Either,       // the simulator decides; the outcome must only be sound
};

struct AcquisitionFault {
    const char *function;
    Expect expect;
    bool logged; // the driver logs "Error {0} " for this call's status
};

struct FaultCase {
    AcquisitionFault fault;
    Mode mode;
};

void PrintTo(const FaultCase &faultCase, std::ostream *out)
{
    *out << faultCase.fault.function << " in " << modeName(faultCase.mode);
}

class AcquisitionFaultTest : public SimulatorTest, public ::testing::WithParamInterface<FaultCase> {
protected:
    struct Attempt {
        ErrorPtr startError;
        bool frameArrived = false;
        ErrorPtr grabError;
        ErrorPtr stopError;
    };

    // Start, try to get one frame, stop; every step bounded.
    static Attempt record(UcaCamera *camera, Mode mode, DeliveryCounter &deliveries)
    {
        Attempt attempt;
        GError *error = nullptr;
        uca_camera_start_recording(camera, &error);
        attempt.startError.reset(error);
        if (attempt.startError)
            return attempt;

        if (mode == Mode::Asynchronous) {
            attempt.frameArrived = deliveries.waitFor(deliveries.value() + 1, 1s);
        } else {
            std::vector<uint16_t> pixels(size_t{sensorSide} * sensorSide);
            const auto started = Clock::now();
            attempt.frameArrived = uca_camera_grab(camera, pixels.data(), &error);
            attempt.grabError.reset(error);
            EXPECT_LT(Clock::now() - started, 6s) << "the grab's bound";
            if (attempt.frameArrived) {
                EXPECT_TRUE(frameNumberOf(pixels.data(), {0, 0, sensorSide, sensorSide}))
                    << "a grab that succeeded must deliver a whole frame";
            } else {
                EXPECT_TRUE(attempt.grabError) << "a failed grab must say why";
            }
        }
        error = nullptr;
        uca_camera_stop_recording(camera, &error);
        attempt.stopError.reset(error);
        if (!attempt.stopError) {
            const uint64_t callbacks = counters().endOfFrameCallbacks;
            EXPECT_NE(xisl_sim_wait_frames(callbacks + 2, 300), 0)
                << "frames still arrive after a successful stop";
        }
        return attempt;
    }
};

TEST_P(AcquisitionFaultTest, EveryCallFailsWhileRecording)
{
    const FaultCase param = GetParam();
    CameraPtr camera = createFastCamera();
    ASSERT_TRUE(camera);
    selectMode(camera.get(), param.mode);
    DeliveryCounter deliveries;
    uca_camera_set_grab_func(camera.get(), countDelivery, &deliveries);
    detectorLog().clear();

    ASSERT_EQ(xisl_sim_fail(param.fault.function, injected, 0), 0);
    const Attempt faulty = record(camera.get(), param.mode, deliveries);
    xisl_sim_clear_faults();

    switch (param.fault.expect) {
    case Expect::Frames:
        EXPECT_FALSE(faulty.startError);
        EXPECT_TRUE(faulty.frameArrived);
        break;
    case Expect::NoFrames:
        EXPECT_FALSE(faulty.frameArrived);
        if (param.mode != Mode::Asynchronous && !faulty.startError) {
            ASSERT_TRUE(faulty.grabError);
            EXPECT_EQ(faulty.grabError->code, UCA_CAMERA_ERROR_TIMEOUT)
                << faulty.grabError->message;
        }
        break;
    case Expect::RefusedStart:
        ASSERT_TRUE(faulty.startError);
        EXPECT_EQ(faulty.startError->domain, UCA_CAMERA_ERROR);
        EXPECT_FALSE(uca_camera_is_recording(camera.get()));
        break;
    case Expect::Refused:
        EXPECT_FALSE(faulty.frameArrived);
        if (faulty.startError) {
            EXPECT_EQ(faulty.startError->code, UCA_CAMERA_ERROR_DEVICE)
                << faulty.startError->message;
            EXPECT_FALSE(uca_camera_is_recording(camera.get()));
        } else {
            EXPECT_EQ(param.mode, Mode::SingleFrame) << "a refused stream started";
            ASSERT_TRUE(faulty.grabError);
            EXPECT_EQ(faulty.grabError->code, UCA_CAMERA_ERROR_DEVICE) << faulty.grabError->message;
        }
        break;
    case Expect::Either:
        break;
    }

    const std::vector<std::string> errors = errorLines();
    if (param.fault.logged) {
        EXPECT_FALSE(errors.empty()) << "the driver logs this call's status";
        for (const std::string &line : errors)
            EXPECT_EQ(line, injectedError);
    } else {
        EXPECT_TRUE(errors.empty()) << "unexpected: " << errors.front();
    }

    // Once the fault is gone the same camera records again.
    if (uca_camera_is_recording(camera.get())) {
        GError *error = nullptr;
        uca_camera_stop_recording(camera.get(), &error);
        ErrorPtr owned(error);
        ASSERT_FALSE(owned)
            << "still recording after a stop that failed, and stopping again fails: "
            << owned->message;
    }
    const Attempt healthy = record(camera.get(), param.mode, deliveries);
    EXPECT_FALSE(healthy.startError) << healthy.startError->message;
    EXPECT_TRUE(healthy.frameArrived);
    EXPECT_FALSE(healthy.stopError);

    camera.reset();
    expectDetectorReleased();
}

const AcquisitionFault acquisitionFaults[] = {
    {"Acquisition_GetHwHeaderInfo", Expect::RefusedStart, false}, // no frame size: no region fits
    {"Acquisition_DefineDestBuffers", Expect::Refused, false},
    {"Acquisition_SetAcqData", Expect::Refused, false},
    {"Acquisition_SetCallbacksAndMessages", Expect::Refused, false},
    {"Acquisition_SetCameraGain", Expect::Frames, false},
    {"Acquisition_SetFrameSyncMode", Expect::Either, true},
    {"Acquisition_SetTimerSync", Expect::Either, true},
    {"Acquisition_Acquire_Image", Expect::Refused, false},
    {"Acquisition_GetAcqData", Expect::NoFrames, false},
    {"Acquisition_GetLatestFrameHeader", Expect::Frames, true},
    {"Acquisition_GetActFrame", Expect::Either, false},
    {"Acquisition_SetReady", Expect::Either, false},
    {"Acquisition_Abort", Expect::Frames, false},
};

std::vector<FaultCase> allFaultCases()
{
    std::vector<FaultCase> cases;
    for (const AcquisitionFault &fault : acquisitionFaults)
        for (Mode mode : {Mode::Asynchronous, Mode::Continuous, Mode::SingleFrame})
            cases.push_back({fault, mode});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(
    EachCallEachMode, AcquisitionFaultTest, ::testing::ValuesIn(allFaultCases()),
    [](const ::testing::TestParamInfo<FaultCase> &faultCase) {
        return std::string(faultCase.param.fault.function).substr(std::strlen("Acquisition_")) +
               "In" + modeName(faultCase.param.mode);
    });

class FrameFaultTest : public SimulatorTest, public ::testing::WithParamInterface<const char *> {};

// One frame's call fails; the stream goes on, later grabs get newer, whole frames, and every frame
// goes back to XISL but the one whose hand-back failed.
TEST_P(FrameFaultTest, OneFailingFrameDoesNotStopTheStream)
{
    CameraPtr camera = createFastCamera();
    ASSERT_TRUE(camera);
    ASSERT_EQ(xisl_sim_fail(GetParam(), injected, 1), 0);
    GError *error = nullptr;
    uca_camera_start_recording(camera.get(), &error);
    ASSERT_EQ(error, nullptr) << error->message;

    std::vector<uint16_t> pixels(size_t{sensorSide} * sensorSide);
    int32_t previous = -1;
    for (int i = 0; i < 5; i++) {
        ASSERT_TRUE(uca_camera_grab(camera.get(), pixels.data(), &error)) << error->message;
        const std::optional<uint32_t> found =
            frameNumberOf(pixels.data(), {0, 0, sensorSide, sensorSide});
        ASSERT_TRUE(found);
        const auto number = static_cast<int32_t>(*found);
        EXPECT_GT(number, previous) << "a grab returned an older frame";
        previous = number;
    }
    uca_camera_stop_recording(camera.get(), &error);
    ASSERT_EQ(error, nullptr);
    camera.reset();
    expectDetectorReleased();
    EXPECT_EQ(counters().framesNotHandedBack,
              std::string(GetParam()) == "Acquisition_SetReady" ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(PerFrameCalls, FrameFaultTest,
                         ::testing::Values("Acquisition_GetAcqData",
                                           "Acquisition_GetLatestFrameHeader",
                                           "Acquisition_GetActFrame", "Acquisition_SetReady"),
                         [](const ::testing::TestParamInfo<const char *> &call) {
                             return std::string(call.param).substr(std::strlen("Acquisition_"));
                         });

using ControlFaultTest = SimulatorTest;

// A refused software trigger produces no frame and reports nothing; the next one works.
TEST_F(ControlFaultTest, FailedSoftwareTrigger)
{
    xisl_sim_set_manual(1);
    CameraPtr camera = createFastCamera();
    ASSERT_TRUE(camera);
    g_object_set(camera.get(), "trigger-source", UCA_CAMERA_TRIGGER_SOURCE_SOFTWARE,
                 "transfer-asynchronously", TRUE, nullptr);
    DeliveryCounter deliveries;
    uca_camera_set_grab_func(camera.get(), countDelivery, &deliveries);
    GError *error = nullptr;
    uca_camera_start_recording(camera.get(), &error);
    ASSERT_EQ(error, nullptr) << error->message;

    ASSERT_EQ(xisl_sim_fail("Acquisition_SetFrameSync", injected, 0), 0);
    for (int i = 0; i < 3; i++)
        uca_camera_trigger(camera.get(), nullptr);
    EXPECT_FALSE(deliveries.waitFor(1, 200ms));
    xisl_sim_clear_faults();
    uca_camera_trigger(camera.get(), nullptr);
    EXPECT_TRUE(deliveries.waitFor(1, 5s));
    EXPECT_TRUE(errorLines().empty());

    uca_camera_stop_recording(camera.get(), &error);
    ASSERT_EQ(error, nullptr);
    camera.reset();
    expectDetectorReleased();
}

// Released while streaming with every abort failing: closing must still end the stream, and no
// callback may reach the freed camera.
TEST_F(ControlFaultTest, ReleaseWhileStreamingWithFailingAbort)
{
    for (Mode mode : {Mode::Asynchronous, Mode::Continuous}) {
        CameraPtr camera = createFastCamera();
        ASSERT_TRUE(camera);
        selectMode(camera.get(), mode);
        DeliveryCounter deliveries;
        uca_camera_set_grab_func(camera.get(), countDelivery, &deliveries);
        GError *error = nullptr;
        uca_camera_start_recording(camera.get(), &error);
        ASSERT_EQ(error, nullptr) << error->message;
        ASSERT_EQ(xisl_sim_wait_frames(counters().endOfFrameCallbacks + 2, 5000), 0);
        ASSERT_EQ(xisl_sim_fail("Acquisition_Abort", injected, 0), 0);
        camera.reset();
        xisl_sim_clear_faults();
        expectDetectorReleased();
    }
}

} // namespace
} // namespace TessaraVoltTest
