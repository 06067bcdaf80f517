// SPDX-License-Identifier: LGPL-2.1-or-later
// The XISL calls and the simulator's control interface, with C linkage, over the one Simulator.
#include "xisl-sim.h"

#include "sim-content.h"
#include "simulator.h"

using XislSim::Function;
using XislSim::Simulator;

namespace {

Simulator &sim()
{
    return Simulator::getInstance();
}

} // namespace

extern "C" {

// Acquisition_EnumSensors and the other XISL calls, each forwarded to its Simulator call.
#define XISL_CALL(name, parameters, forward)                                                       \
    XislStatus XISL_API Acquisition_##name parameters                                              \
    {                                                                                              \
        return sim().forward;                                                                      \
    }
#include "xisl-calls.def"
#undef XISL_CALL

void xisl_sim_reset(void)
{
    sim().reset();
}

int xisl_sim_configure(const char *settings)
{
    return sim().configure(settings);
}

int xisl_sim_set_sensors(const XislSimSensor *sensors, size_t count)
{
    return sim().setSensors(sensors, count);
}

int xisl_sim_set_content(XislSimContent content)
{
    return sim().setContent(content);
}

void xisl_sim_set_seed(uint32_t seed)
{
    sim().setSeed(seed);
}

void xisl_sim_set_readout_ns_per_pixel(uint32_t nanoseconds)
{
    sim().setReadoutNsPerPixel(nanoseconds);
}

void xisl_sim_set_wind_down(uint32_t microseconds)
{
    sim().setWindDown(microseconds);
}

void xisl_sim_set_first_frame_number(uint32_t first)
{
    sim().setFirstFrameNumber(first);
}

void xisl_sim_set_beam(uint32_t counts)
{
    sim().setBeam(counts);
}

int xisl_sim_get_scene(HACQDESC handle, XislSimScene *scene)
{
    return sim().getScene(handle, scene);
}

uint16_t xisl_sim_pixel(const XislSimScene *scene, uint32_t x, uint32_t y, uint32_t n)
{
    return scene && XislSim::isValid(*scene) ? XislSim::pixel(*scene, x, y, n) : 0;
}

int xisl_sim_render(const XislSimScene *scene, uint32_t n, uint16_t *frame)
{
    return sim().render(scene, n, frame);
}

int xisl_sim_pixel_truth(const XislSimScene *scene, uint32_t x, uint32_t y,
                         XislSimPixelTruth *truth)
{
    if (!scene || !truth || !XislSim::isValid(*scene) ||
        scene->content == XISL_SIM_CONTENT_PATTERN || x >= XislSim::frameWidth(*scene) ||
        y >= XislSim::frameHeight(*scene))
        return XISL_SIM_ERROR_ARGUMENT;
    *truth = XislSim::pixelTruth(*scene, x, y);
    return 0;
}

int xisl_sim_fail(const char *function, XislStatus status, unsigned nth)
{
    return sim().fail(function, status, nth);
}

void xisl_sim_clear_faults(void)
{
    sim().clearFaults();
}

void xisl_sim_set_manual(int manual)
{
    sim().setManual(manual != 0);
}

int xisl_sim_step(HACQDESC handle, unsigned frames, unsigned timeout_ms)
{
    return sim().step(handle, frames, timeout_ms);
}

int xisl_sim_pulse(HACQDESC handle)
{
    return sim().pulse(handle);
}

int xisl_sim_wait_frames(uint64_t count, unsigned timeout_ms)
{
    return sim().waitFrames(count, timeout_ms);
}

int xisl_sim_wait_idle(HACQDESC handle, unsigned timeout_ms)
{
    return sim().waitIdle(handle, timeout_ms);
}

int xisl_sim_frame_callback_time(uint32_t frame, uint64_t *nanoseconds)
{
    return sim().frameCallbackTime(frame, nanoseconds);
}

void xisl_sim_set_call_log(int enabled)
{
    sim().setCallLog(enabled != 0);
}

size_t xisl_sim_call_count(void)
{
    return sim().getCallCount();
}

int xisl_sim_get_call(size_t index, XislSimCall *call)
{
    return sim().getCall(index, call);
}

void xisl_sim_clear_call_log(void)
{
    sim().clearCallLog();
}

void xisl_sim_get_counters(XislSimCounters *counters)
{
    sim().getCounters(counters);
}

} // extern "C"
