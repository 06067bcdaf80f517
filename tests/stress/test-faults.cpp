// SPDX-License-Identifier: LGPL-2.1-or-later
// Every XISL call the driver makes, made to fail where it is made: discovery, set-up, each frame,
// stop, trigger and release. The camera must not crash or hang, must leave no handle open, must
// log exactly what the driver logs for that call, and must tell its caller where it can.
#include "stress-fixture.h"

#include <cstring>

namespace TessaraVoltTest {
namespace {

using namespace std::chrono_literals;

constexpr XislStatus injected = 77;

using CreationFaultTest = SimulatorTest;

// Discovery's own failures become creation errors as the plug-in's tests check; after discovery
// the camera reads the kept detector's frame size, and a failed read must not become a camera with
// a 0 x 0 sensor.
TEST_F(CreationFaultTest, FailedFrameSizeRead)
{
    ASSERT_EQ(xisl_sim_fail("Acquisition_GetHwHeaderInfo", injected, 2), 0);
    GError *error = nullptr;
    CameraPtr camera = createCamera(&error);
    const ErrorPtr owned(error);
    EXPECT_TRUE(!camera && error && error->domain == UCA_CAMERA_ERROR);
    expectDetectorReleased();
}

// How the client must see a fault on every call of a function during a recording.
enum class Expect {
    Frames,       // the fault is harmless: frames still arrive
    NoFrames,     // nothing arrives; a grab says so with a time-out within its bound
    RefusedStart, // start of recording fails with an error
    Refused,      // XISL refused to start: start fails, or the single-frame grab, as a device error
    Either,       // the simulator decides; the outcome must only be sound
};

struct AcquisitionFault {
    const char *function;
    Expect expect;
    bool logged; // the driver logs "Error {0} " for this call's status
};

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

struct FaultCase {
    AcquisitionFault fault;
    Mode mode;
};

// What one recording came to: start, one frame within its bound, stop.
struct Attempt {
    ErrorPtr startError;
    bool frameArrived = false;
    ErrorPtr grabError;
    ErrorPtr stopError;
};

Attempt record(UcaCamera *camera, Mode mode, DeliveryCounter &deliveries)
{
    Attempt attempt;
    GError *error = nullptr;
    uca_camera_start_recording(camera, &error);
    attempt.startError.reset(std::exchange(error, nullptr));
    if (attempt.startError)
        return attempt;
    if (mode == Mode::Asynchronous) {
        attempt.frameArrived = deliveries.waitFor(deliveries.count + 1, 1s);
    } else {
        std::vector<uint16_t> pixels(size_t{sensorSide} * sensorSide);
        attempt.frameArrived = uca_camera_grab(camera, pixels.data(), &error);
        attempt.grabError.reset(std::exchange(error, nullptr));
        EXPECT_TRUE(attempt.frameArrived ? bool(frameNumberOf(pixels.data(), wholeFrame))
                                         : bool(attempt.grabError))
            << "a grab either delivers a whole frame or says why not";
    }
    uca_camera_stop_recording(camera, &error);
    attempt.stopError.reset(error);
    EXPECT_TRUE(attempt.stopError ||
                xisl_sim_wait_frames(counters().endOfFrameCallbacks + 2, 300) != 0)
        << "frames still arrive after a successful stop";
    return attempt;
}

class AcquisitionFaultTest : public SimulatorTest,
                             public ::testing::WithParamInterface<FaultCase> {};

TEST_P(AcquisitionFaultTest, EveryCallFailsWhileRecording)
{
    const FaultCase param = GetParam();
    CameraPtr camera = createFastCamera();
    ASSERT_TRUE(camera);
    selectMode(camera.get(), param.mode);
    DeliveryCounter deliveries;
    uca_camera_set_grab_func(camera.get(), DeliveryCounter::add, &deliveries);
    detectorLog().clear();
    ASSERT_EQ(xisl_sim_fail(param.fault.function, injected, 0), 0);
    const Attempt faulty = record(camera.get(), param.mode, deliveries);
    xisl_sim_clear_faults();
    const Expect expect = param.fault.expect;
    const GError *reported = faulty.startError ? faulty.startError.get() : faulty.grabError.get();
    const bool grabbing = param.mode != Mode::Asynchronous;
    EXPECT_TRUE(expect != Expect::Frames || (!faulty.startError && faulty.frameArrived));
    EXPECT_TRUE((expect != Expect::NoFrames && expect != Expect::Refused) || !faulty.frameArrived);
    EXPECT_TRUE(expect != Expect::NoFrames || !grabbing || faulty.startError ||
                (reported && reported->code == UCA_CAMERA_ERROR_TIMEOUT));
    EXPECT_TRUE(expect != Expect::RefusedStart ||
                (faulty.startError && faulty.startError->domain == UCA_CAMERA_ERROR));
    // A refused stream never starts; only the single-frame grab may report the refusal.
    EXPECT_TRUE(expect != Expect::Refused ||
                (reported && reported->code == UCA_CAMERA_ERROR_DEVICE &&
                 (faulty.startError || param.mode == Mode::SingleFrame)));
    EXPECT_TRUE(!faulty.startError || !uca_camera_is_recording(camera.get()));
    const std::vector<std::string> errors = errorLines();
    EXPECT_EQ(errors,
              std::vector<std::string>(param.fault.logged ? std::max<size_t>(errors.size(), 1) : 0,
                                       "Error 77 "));

    // A stop that failed leaves the camera recording, and stopping again succeeds; then the same
    // camera records again.
    ASSERT_TRUE(!uca_camera_is_recording(camera.get()) || stopRecording(camera.get()))
        << "still recording after a stop that failed, and stopping again fails";
    const Attempt healthy = record(camera.get(), param.mode, deliveries);
    EXPECT_TRUE(!healthy.startError && healthy.frameArrived && !healthy.stopError);
    // Released while recording with the call failing: closing must still end the stream, and no
    // callback may reach the freed camera.
    ASSERT_TRUE(startRecording(camera.get()));
    ASSERT_EQ(xisl_sim_fail(param.fault.function, injected, 0), 0);
    camera.reset();
    xisl_sim_clear_faults();
    expectDetectorReleased();
}

std::vector<FaultCase> allFaultCases()
{
    std::vector<FaultCase> cases;
    for (const AcquisitionFault &fault : acquisitionFaults)
        for (Mode mode : {Mode::Asynchronous, Mode::Continuous, Mode::SingleFrame})
            cases.push_back({fault, mode});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(EachCallEachMode, AcquisitionFaultTest,
                         ::testing::ValuesIn(allFaultCases()),
                         [](const ::testing::TestParamInfo<FaultCase> &faultCase) {
                             return std::string(faultCase.param.fault.function +
                                                std::strlen("Acquisition_")) +
                                    "In" + modeNames[int(faultCase.param.mode)];
                         });

} // namespace
} // namespace TessaraVoltTest
